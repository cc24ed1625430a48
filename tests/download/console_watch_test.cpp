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
    WatchResult Watch(WatchUse use, unsigned* pPolls) {
        return WatchConsole(use, window, Link(), [](FrontEnd& f) { f.SetStatus("Please wait ! Burning image"); }, pPolls);
    }

    ConsoleWindow window;
};

TEST_F(WatchTest, MarkersAreFoundAtTheirLastByte) {
    unsigned polls = 0;
    // The menu as the first 32 bytes: found by the poll that takes byte 32.
    Arrive(kMenuMarker);
    EXPECT_EQ(Watch(WatchUse::Sync, &polls), WatchResult::Menu);
    EXPECT_EQ(polls, 32u);
    auto spaces = m_pty.Receive(100, 300ms);
    EXPECT_EQ(spaces, std::vector<unsigned char>(32, 0x20)) << "one sync byte per poll";

    // Five C's in a row; four and a break do not count.
    Arrive("CCCCxCCCCC");
    EXPECT_EQ(Watch(WatchUse::Start, &polls), WatchResult::Start);
    EXPECT_EQ(polls, 10u);

    // A verdict that is the last text the loader sends is still seen.
    Arrive(std::string("boot log\r\n") + kRefusalMarker);
    EXPECT_EQ(Watch(WatchUse::Verdict, &polls), WatchResult::Refusal);
    EXPECT_EQ(polls, 10u + std::strlen(kRefusalMarker));

    Arrive(std::string(kCompletionMarker) + "\r\n" + kRefusalMarker + "\r\n");
    EXPECT_EQ(Watch(WatchUse::Verdict, &polls), WatchResult::Completion);
    EXPECT_EQ(polls, std::strlen(kCompletionMarker));
    RxRingReset();

    // After the burning marker the verdict is still found, and said so.
    Arrive(std::string(kBurningMarker) + "\r\n" + kBurningMarker + "\r\nflash 10%\r\n" + kRefusalMarker);
    EXPECT_EQ(Watch(WatchUse::Verdict, &polls), WatchResult::Refusal);
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
        Arrive(std::string(before, '.') + kCompletionMarker);
        unsigned polls = 0;
        EXPECT_EQ(Watch(WatchUse::Verdict, &polls), WatchResult::Completion);
        EXPECT_EQ(polls, before + std::strlen(kCompletionMarker));
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
    unsigned polls = 0;
    EXPECT_EQ(Watch(WatchUse::Sync, &polls), WatchResult::TimeOut);
    std::this_thread::sleep_for(300ms);
    stop = true;
    counter.join();
    EXPECT_EQ(polls, kSyncPollLimit + 1);
    EXPECT_EQ(spaces.load(), kSyncPollLimit + 1);
}

TEST_F(WatchTest, StartWatchTimesOutAfter20001Polls) {
    std::memcpy(window.bytes + 100, "CCCCCCCCCC", 10);
    Arrive("CCCC");
    unsigned polls = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Watch(WatchUse::Start, &polls), WatchResult::TimeOut);
    EXPECT_EQ(polls, kStartPollLimit + 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20s) << "an idle poll lasts at least 1 ms";
    EXPECT_TRUE(m_pty.Receive(1, 100ms).empty()) << "the start watch sends nothing";
}

TEST_F(WatchTest, BurningMarkerRestartsTheVerdictCount) {
    // Found at poll 36; 20000 further polls follow before the time-out.
    Arrive(kBurningMarker);
    unsigned polls = 0;
    EXPECT_EQ(Watch(WatchUse::Verdict, &polls), WatchResult::TimeOut);
    EXPECT_EQ(polls, std::strlen(kBurningMarker) + kVerdictPollLimit);
    EXPECT_EQ(front.Events("status:"), std::vector<std::string>{"Please wait ! Burning image"});
}

TEST_F(WatchTest, PortClosedOrCancelEndsAWatchAtOnce) {
    front.cancel = true;
    unsigned polls = 0;
    EXPECT_EQ(Watch(WatchUse::Verdict, &polls), WatchResult::Cancelled);
    EXPECT_EQ(polls, 1u);
    front.cancel = false;

    LinkContext link = Link();
    g_bStopThread = 1;
    SerialClose(front.hComm);
    EXPECT_EQ(WatchConsole(WatchUse::Sync, window, link, [](FrontEnd&) {}, &polls), WatchResult::PortGone);
    EXPECT_EQ(polls, 1u);
    // Open again: the same descriptor number may come back, but a watch that
    // started on the old port does not take it for its own.
    g_bStopThread = 0;
    ASSERT_EQ(SerialOpen(&front.hComm, m_pty.Path().c_str()), 0);
    EXPECT_EQ(WatchConsole(WatchUse::Start, window, link, [](FrontEnd&) {}, &polls), WatchResult::PortGone);
}

}  // namespace
