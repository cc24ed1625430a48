// The console watch: the marker search on its own, and the watches over a
// real pseudo-terminal with the loader's text sent from its far end.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "download/download.h"
#include "tests/support/pty_link_test.h"

namespace {

using namespace std::chrono_literals;

struct SearchCase {
    const char* text;
    std::vector<const char*> markers;
    int found;
};

TEST(MarkerSearch, LowestStartWinsAndListOrderBreaksTies) {
    const SearchCase cases[] = {
        {"xxCCCCCyy", {kStartMarker}, 0},
        {"xxCCCCyy", {kStartMarker}, -1},
        {"CCCC", {kStartMarker}, -1},
        // Both verdicts present: the earlier one decides, whatever the order.
        {"..._burn_SSU_image:Start to write flash... Image_parseSSU: software isn't match!",
         {kRefusalMarker, kBurningMarker, kCompletionMarker}, 2},
        {"Image_parseSSU: software isn't match! _burn_SSU_image:Start to write flash...",
         {kRefusalMarker, kBurningMarker, kCompletionMarker}, 0},
        // Same start: the list's order decides.
        {"abcdef", {"abcd", "abc"}, 0},
        {"abcdef", {"abc", "abcd"}, 0},
        {"abcdef", {"bcd", "abcz", "abcdef"}, 2},
        // Case matters; no folding of spaces.
        {"1. Upgrade Application with SSU", {kMenuMarker}, -1},
        {"1.  upgrade Application with SSU", {kMenuMarker}, -1},
        {"1.  Upgrade Application with SSU", {kMenuMarker}, 0},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(MarkerSearch(reinterpret_cast<const unsigned char*>(c.text), std::strlen(c.text), c.markers), c.found);
    }
    // Bytes at and past the end take part in no comparison.
    const char* text = "xxCCCCC";
    EXPECT_EQ(MarkerSearch(reinterpret_cast<const unsigned char*>(text), 6, std::vector<const char*>{kStartMarker}), -1);
}

// A watch over an open pty, the loader's side played by the test.
class WatchTest : public PtyLinkTest {
protected:
    // Sends text and waits until the reader has put all of it in the ring.
    void Arrive(const std::string& text) {
        std::size_t before = RxRingCount();
        m_pty.Send(text);
        for (int i = 0; i < 500 && RxRingCount() < before + text.size(); ++i) {
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_EQ(RxRingCount(), before + text.size());
    }
    // Sends more text than the ring holds while a watch takes it: a kilobyte
    // at a time, once the reader has received the last one and the ring is
    // half empty, since a full ring drops what comes.
    void Stream(const std::string& text) {
        SerialLink& link = SerialDefaultLink();
        link.CaptureConsole(1 << 20);
        std::size_t arrived = 0;
        for (std::size_t at = 0; at < text.size(); at += 1024) {
            for (int i = 0; i < 5000; ++i) {
                arrived += link.TakeConsole().size();
                if (arrived >= at && RxRingCount() <= 4096) {
                    break;
                }
                std::this_thread::sleep_for(1ms);
            }
            m_pty.Send(text.data() + at, std::min<std::size_t>(1024, text.size() - at));
        }
        link.CaptureConsole(0);
    }
    WatchResult Watch(WatchUse use) {
        return WatchConsole(use, window, Link(), [](FrontEnd& f) { f.SetStatus("Please wait ! Burning image"); });
    }

    ConsoleWindow window;
};

TEST_F(WatchTest, MarkersAreFoundAtTheirLastByte) {
    // The menu as the first 32 bytes: the first poll takes all that has
    // arrived, and finds it with byte 32.
    Arrive(std::string(kMenuMarker) + "\r\n");
    EXPECT_EQ(Watch(WatchUse::Sync), WatchResult::Menu);
    auto spaces = m_pty.Receive(100, 300ms);
    EXPECT_EQ(spaces, std::vector<unsigned char>(1, 0x20)) << "one poll for all that has arrived";
    EXPECT_EQ(RxRingCount(), 2u);
    RxRingReset();

    // Five C's in a row; four and a break do not count.
    Arrive("CCCCxCCCCCCC");
    EXPECT_EQ(Watch(WatchUse::Start), WatchResult::Start);
    EXPECT_EQ(RxRingCount(), 2u);
    RxRingReset();

    // A verdict that is the last text the loader sends is still seen.
    Arrive(std::string("boot log\r\n") + kRefusalMarker);
    EXPECT_EQ(Watch(WatchUse::Verdict), WatchResult::Refusal);

    const std::string rest = std::string("\r\n") + kRefusalMarker + "\r\n";
    Arrive(std::string(kCompletionMarker) + rest);
    EXPECT_EQ(Watch(WatchUse::Verdict), WatchResult::Completion);
    EXPECT_EQ(RxRingCount(), rest.size());
    RxRingReset();

    // After the burning marker the verdict is still found, and said so.
    Arrive(std::string(kBurningMarker) + "\r\n" + kBurningMarker + "\r\nflash 10%\r\n" + kRefusalMarker);
    EXPECT_EQ(Watch(WatchUse::Verdict), WatchResult::Refusal);
    EXPECT_EQ(front.Events("status:"),
              (std::vector<std::string>{"Please wait ! Burning image", "Please wait ! Burning image"}));
}

TEST_F(WatchTest, MarkerStraddlingTheWindowWrapIsFound) {
    // The marker's first 38 bytes at the very end of the full window, its
    // last byte after the wrap: a keep one byte short would lose it.
    const std::size_t lastByteAfterWrap = kConsoleWindowSize - (std::strlen(kCompletionMarker) - 1);
    for (std::size_t before : {lastByteAfterWrap - 1, lastByteAfterWrap, kConsoleWindowSize - 20,
                               kConsoleWindowSize - 1, kConsoleWindowSize, 2 * kConsoleWindowSize - 5}) {
        SCOPED_TRACE(before);
        RxRingReset();
        Arrive(std::string(before, '.') + kCompletionMarker + "\r\n");
        EXPECT_EQ(Watch(WatchUse::Verdict), WatchResult::Completion);
        EXPECT_EQ(RxRingCount(), 2u) << "found with its last byte";
    }
}

// The sync watch sends a space at every poll and gives up on poll 6001.
// Old text left in the window from before never counts.
TEST_F(WatchTest, SyncWatchTimesOutAfter6001PollsAndSyncBytes) {
    for (std::size_t at = 0; at + 40 < kConsoleWindowSize; at += 40) {
        std::memcpy(window.bytes + at, kMenuMarker, std::strlen(kMenuMarker));
    }
    std::atomic<std::size_t> spaces{0};
    std::atomic<bool> stop{false};
    std::thread counter([&] {
        while (!stop) {
            for (unsigned char byte : m_pty.Receive(4096, 20ms)) {
                spaces += byte == 0x20 ? 1 : 0;
            }
        }
    });
    Arrive("no menu here");
    EXPECT_EQ(Watch(WatchUse::Sync), WatchResult::TimeOut);
    std::this_thread::sleep_for(300ms);
    stop = true;
    counter.join();
    EXPECT_EQ(spaces.load(), kSyncPollLimit + 1);
}

// A listening watch takes at most 20001 bytes, however fast they come, and
// times out no sooner than 20000 ms after it began: the fifth C arrives as
// byte 20002, stays in the ring, and the watch runs its full time.
TEST_F(WatchTest, StartWatchTakes20001BytesAtMostAndTimesOutNoSoonerThan20s) {
    std::memcpy(window.bytes + 100, "CCCCCCCCCC", 10);
    const auto start = std::chrono::steady_clock::now();
    std::thread box([this] { Stream(std::string(kStartPollLimit - 3, '.') + "CCCCC"); });
    EXPECT_EQ(Watch(WatchUse::Start), WatchResult::TimeOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20s);
    box.join();
    EXPECT_EQ(RxRingCount(), 1u) << "byte 20002 is not taken";
    EXPECT_TRUE(m_pty.Receive(1, 100ms).empty()) << "the start watch sends nothing";
}

// The burning marker starts both bounds afresh, the byte that completed it
// the first of 20001: 15000 bytes before it do not shorten what follows, and
// the time-out comes no sooner than 20 s after it.
TEST_F(WatchTest, BurningMarkerRestartsTheVerdictBudget) {
    std::chrono::steady_clock::time_point burningSent;
    std::thread box([&] {
        Stream(std::string(15000, '.'));
        std::this_thread::sleep_for(2s);
        burningSent = std::chrono::steady_clock::now();
        m_pty.Send(kBurningMarker);
        Stream(std::string(kVerdictPollLimit - 38, '.') + kCompletionMarker);
    });
    EXPECT_EQ(Watch(WatchUse::Verdict), WatchResult::TimeOut);
    const auto end = std::chrono::steady_clock::now();
    box.join();
    EXPECT_GE(end - burningSent, 20s);
    EXPECT_EQ(RxRingCount(), 1u) << "the completion marker's last byte is not taken";
    EXPECT_EQ(front.Events("status:"), std::vector<std::string>{"Please wait ! Burning image"});
}

TEST_F(WatchTest, PortClosedOrCancelEndsAWatch) {
    // A cancel reaches a watch that is waiting on a silent box.
    std::thread operatorStops([this] {
        std::this_thread::sleep_for(200ms);
        front.cancel = true;
    });
    EXPECT_EQ(Watch(WatchUse::Verdict), WatchResult::Cancelled);
    operatorStops.join();
    front.cancel = false;

    LinkContext link = Link();
    g_bStopThread = 1;
    SerialClose(front.hComm);
    EXPECT_EQ(WatchConsole(WatchUse::Sync, window, link, [](FrontEnd&) {}), WatchResult::PortGone);
    EXPECT_TRUE(m_pty.Receive(1, 100ms).empty()) << "no sync byte through a closed port";
    // Open again: the same descriptor number may come back, but a watch that
    // started on the old port does not take it for its own.
    g_bStopThread = 0;
    ASSERT_EQ(SerialOpen(&front.hComm, m_pty.Path().c_str()), 0);
    EXPECT_EQ(WatchConsole(WatchUse::Start, window, link, [](FrontEnd&) {}), WatchResult::PortGone);
}

}  // namespace
