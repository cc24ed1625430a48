// Drives the real stb-emulator over its pseudo-terminal as the upgrader would:
// spaces until the menu, "1", the C requests, XMODEM-1K frames, the verdict.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator/modem_state.h"
#include "emulator_process.h"
#include "xmodem_frames.h"

namespace {

using namespace test_frames;
using Clock = std::chrono::steady_clock;

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
const std::string kAckText(1, kAck);
const std::string kNakText(1, kNak);
constexpr std::string_view kBurnCall = "_burn_SSU_image: call this function!\r\n";
constexpr std::string_view kBurnStart = "_burn_SSU_image:Start to write flash...\r\n";
constexpr std::string_view kRefusal = "Image_parseSSU: software isn't match!\r\n";
constexpr std::string_view kBanner = "Kelvora HD boot loader 2.07";
constexpr std::string_view kBooting = "Booting application...";
constexpr std::string_view kFirmwareBooted = "Kelvora STB firmware 2.0 booted";
constexpr std::string_view kPanic = "Kernel panic - not syncing: VFS: Unable to mount root fs";

// The emulator's chatter lines number..number + count - 1, as --chatter
// prints them while it holds an answer back.
std::string Chatter(unsigned number, unsigned count)
{
    std::string text;
    for (unsigned k = number; k < number + count; ++k) {
        char line[64];
        std::snprintf(line, sizeof line, "frontend: tuner 0 scan %06u, no lock, retrying\r\n", k);
        text += line;
    }
    return text;
}

// Quick boots and C requests keep the suite short; the defaults are for people.
const std::vector<std::string> kFast = {"--boot-delay", "50", "--c-interval", "50"};

std::vector<std::string> Options(std::vector<std::string> extra)
{
    std::vector<std::string> all = kFast;
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

// A path in the test's temporary directory, removed when the test ends.
class TempPath {
public:
    explicit TempPath(const std::string& name)
        : m_path(testing::TempDir() + "stb-emulator-" + std::to_string(getpid()) + "-" + name)
    {
        std::remove(m_path.c_str());
    }
    ~TempPath() { std::remove(m_path.c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

Bytes ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::size_t Count(const std::string& text, std::string_view what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::string Field(const std::string& summary, const std::string& name)
{
    const auto at = summary.find(" " + name + "=");
    if (at == std::string::npos) {
        return "<missing>";
    }
    const auto begin = at + name.size() + 2;
    return summary.substr(begin, summary.find(' ', begin) - begin);
}

// Sync, menu answer, and the receiver's C requests.
::testing::AssertionResult ReachReceiver(Port& port)
{
    if (!port.SyncToMenu()) {
        return ::testing::AssertionFailure() << "no menu line; received: " << port.Received();
    }
    port.Take();
    port.Write("1");
    if (!port.ReadUntil("CCCCC")) {
        return ::testing::AssertionFailure() << "no CCCCC after the menu answer; received: " << port.Received();
    }
    port.Take();
    return ::testing::AssertionSuccess();
}

// Sends one frame and returns what came back until the line went quiet, with
// the receiver's C requests that crossed the frame removed from the front.
std::string Exchange(Port& port, const Bytes& frame, std::chrono::milliseconds limit = 3s)
{
    port.Take();
    port.Write(frame);
    port.ReadUntilAnyOf(std::string{kAck, kNak}, limit);
    port.ReadUntilQuiet(100ms, 2s);
    std::string answer = port.Take();
    answer.erase(0, answer.find_first_not_of('C') == std::string::npos ? answer.size() : answer.find_first_not_of('C'));
    return answer;
}

std::string Printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == kAck) {
            out += "<ACK>";
        } else if (c == kNak) {
            out += "<NAK>";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        }
    }
    return out;
}

TEST(EmulatorEndToEnd, DownloadIsAcknowledgedSavedAndCounted)
{
    TempPath saved("image.bin");
    Emulator emulator(Options({"--save", saved.Path()}));
    ASSERT_FALSE(emulator.PtyPath().empty());
    Port port(emulator.PtyPath());
    ASSERT_TRUE(port.Open());
    ASSERT_TRUE(ReachReceiver(port));

    const Bytes block1 = DataFrame(1, Payload(1));
    const Bytes block2 = DataFrame(2, Payload(2));
    const Bytes block3 = DataFrame(3, Payload(3));
    const Bytes partial(block3.begin(), block3.begin() + 500);
    struct Step {
        const char* what;
        Bytes frame;
        std::string answer;
    };
    const std::vector<Step> steps = {
        {"block 1", block1, kAckText},
        {"block 2 with a bad CRC", WithBadCrc(block2), kNakText},
        {"block 2 resent", block2, kAckText},
        {"block 2 again, as after a lost ACK", block2, kAckText},
        {"block 3 with a bad complement", WithBadComplement(block3), kNakText},
        {"block 4 where 3 is due", DataFrame(4, Payload(4)), kNakText},
        {"half of block 3, then silence", partial, kNakText},
        {"block 3", block3, kAckText},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(Printable(Exchange(port, step.frame)), Printable(step.answer)) << step.what;
    }

    port.Write(EndFrame(4));
    ASSERT_TRUE(port.ReadUntil(kBurnStart)) << Printable(port.Received());
    const std::string verdict = port.Take();
    EXPECT_EQ(verdict.substr(0, 1), kAckText) << "the end frame is acknowledged before the verdict";
    EXPECT_LT(verdict.find(kBurnCall), verdict.find(kBurnStart));

    const std::string summary = emulator.Finish();
    EXPECT_EQ(emulator.Process().ExitStatus(), 0);
    const std::string expected = "stb-emulator: sessions=1 blocks=3 bytes=" + std::to_string(port.BytesWritten()) +
                                 " crc_errors=1 sync_bytes=" + std::to_string(port.SpacesWritten()) +
                                 " verdict=completed";
    EXPECT_EQ(summary, expected);
    EXPECT_EQ(ReadFile(saved.Path()), Concat({Payload(1), Payload(2), Payload(3)}));
}

TEST(EmulatorEndToEnd, VerdictFollowsTheOptions)
{
    const Bytes first = Payload(1);
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02X%02x%02X", first[0], first[1], first[2]);
    const std::string otherPrefix = first[0] == 0xDE ? "ADBEEF" : "DEADBEEF";

    struct Case {
        const char* name;
        std::vector<std::string> options;
        unsigned blocks;
        std::vector<std::string_view> linesInOrder;
        std::size_t burnCalls;
        std::vector<std::string_view> absent;
        const char* verdict;
    };
    // Three lines at 100, 200 and 300 ms, then the verdict at 350 ms.
    const std::string chatter = Chatter(1, 3);
    const std::string fourthLine = Chatter(4, 1);
    const std::vector<Case> cases = {
        {"default", {}, 2, {kBurnCall, kBurnStart}, 1, {kRefusal}, "completed"},
        {"late verdict with chatter", {"--verdict-delay", "350", "--chatter"}, 1, {chatter, kBurnCall, kBurnStart},
         1, {fourthLine, kRefusal}, "completed"},
        {"empty image", {}, 0, {kBurnCall, kBurnStart}, 1, {kRefusal}, "completed"},
        {"three burning lines", {"--burn-repeats", "3"}, 1, {kBurnCall, kBurnStart}, 3, {kRefusal}, "completed"},
        {"no burning line", {"--burn-repeats", "0"}, 1, {kBurnStart}, 0, {kRefusal}, "completed"},
        {"refuse", {"--refuse"}, 1, {kRefusal}, 0, {kBurnStart}, "refused"},
        {"refuse after burning", {"--refuse-after-burn", "--burn-repeats", "2"}, 1, {kBurnCall, kRefusal}, 2,
         {kBurnStart}, "refused"},
        {"expected prefix present", {"--expect-prefix", prefix}, 1, {kBurnCall, kBurnStart}, 1, {kRefusal},
         "completed"},
        {"expected prefix missing", {"--expect-prefix", otherPrefix}, 1, {kRefusal}, 0, {kBurnStart}, "refused"},
        {"no verdict", {"--no-verdict"}, 1, {}, 0, {kBurnStart, kRefusal, "_burn"}, "no-verdict"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Emulator emulator(Options(c.options));
        Port port(emulator.PtyPath());
        ASSERT_TRUE(port.Open());
        ASSERT_TRUE(ReachReceiver(port));
        for (unsigned k = 1; k <= c.blocks; ++k) {
            ASSERT_EQ(Printable(Exchange(port, DataFrame(static_cast<std::uint8_t>(k), Payload(k)))),
                      Printable(kAckText));
        }
        port.Write(EndFrame(static_cast<std::uint8_t>(c.blocks + 1)));
        // The emulator ends after its only session: the line hangs up.
        EXPECT_TRUE(port.ReadUntilHangup());
        const std::string text = port.Take();
        EXPECT_EQ(text.substr(0, 1), kAckText);

        std::size_t at = 0;
        for (std::string_view line : c.linesInOrder) {
            const auto found = text.find(line, at);
            ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\nin: " << Printable(text);
            at = found + line.size();
        }
        EXPECT_EQ(Count(text, kBurnCall), c.burnCalls) << Printable(text);
        for (std::string_view line : c.absent) {
            EXPECT_EQ(text.find(line), std::string::npos) << line;
        }
        const std::string summary = emulator.Finish();
        EXPECT_EQ(Field(summary, "verdict"), c.verdict) << summary;
        EXPECT_EQ(Field(summary, "blocks"), std::to_string(c.blocks)) << summary;
        EXPECT_EQ(emulator.Process().ExitStatus(), 0);
    }
}

TEST(EmulatorEndToEnd, BlockFaultsChangeTheAnswers)
{
    struct Step {
        unsigned block;  // 1-based; the frame carries its low 8 bits
        std::string answer;
    };
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::vector<Step> steps;
        Bytes last;  // end or cancel frame
        const char* verdict;
        unsigned blocks;
    };
    const std::string garbage = std::string("xyz\r\nC") + kAck;
    const std::vector<Case> cases = {
        {"NAK block 2 each time", {"--nak-block", "2"}, {{1, kAckText}, {2, kNakText}, {2, kNakText}},
         CancelFrame(2), "cancelled", 1},
        {"block 2 unanswered", {"--silent-block", "2"}, {{1, kAckText}, {2, ""}, {2, ""}}, CancelFrame(2),
         "cancelled", 1},
        {"double ACK of block 1", {"--double-ack", "1"}, {{1, kAckText + kAckText}, {2, kAckText}}, EndFrame(3),
         "completed", 2},
        {"junk before the ACK of block 2", {"--garbage-before-ack", "2"}, {{1, kAckText}, {2, garbage}, {3, kAckText}},
         EndFrame(4), "completed", 3},
        {"late ACK of block 2 with chatter", {"--late-ack", "2", "--ack-delay", "450", "--chatter"},
         {{1, kAckText}, {2, Chatter(1, 4) + kAckText}, {3, kAckText}}, EndFrame(4), "completed", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Emulator emulator(Options(c.options));
        Port port(emulator.PtyPath());
        ASSERT_TRUE(port.Open());
        ASSERT_TRUE(ReachReceiver(port));
        for (const Step& step : c.steps) {
            const auto limit = step.answer.empty() ? 1500ms : 3000ms;
            EXPECT_EQ(Printable(Exchange(port, DataFrame(static_cast<std::uint8_t>(step.block), Payload(step.block)),
                                         limit)),
                      Printable(step.answer))
                << "block " << step.block;
        }
        port.Write(c.last);
        EXPECT_TRUE(port.ReadUntilHangup());
        const std::string summary = emulator.Finish();
        EXPECT_EQ(Field(summary, "verdict"), c.verdict) << summary;
        EXPECT_EQ(Field(summary, "blocks"), std::to_string(c.blocks)) << summary;
    }
}

TEST(EmulatorEndToEnd, HangupIsSeenByTheClient)
{
    enum class Until { Sync, Block1, End };
    struct Case {
        const char* name;
        std::vector<std::string> options;
        Until until;
    };
    const std::vector<Case> cases = {
        {"after block 1", {"--hangup-after-block", "1"}, Until::Block1},
        {"at the first space", {"--hangup-at", "sync"}, Until::Sync},
        {"at the end frame", {"--hangup-at", "verdict"}, Until::End},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Emulator emulator(Options(c.options));
        Port port(emulator.PtyPath());
        ASSERT_TRUE(port.Open());
        if (c.until == Until::Sync) {
            EXPECT_FALSE(port.SyncToMenu(3s));
            EXPECT_EQ(port.Received().find(kMenuLine), std::string::npos);
        } else {
            ASSERT_TRUE(ReachReceiver(port));
            port.Take();
            port.Write(DataFrame(1, Payload(1)));
            if (c.until == Until::End) {
                ASSERT_TRUE(port.ReadUntilAnyOf(kAckText, 3s));
                port.Take();
                port.Write(EndFrame(2));
            }
        }
        // The unplugged adapter: EIO or POLLHUP on the client's descriptor.
        EXPECT_TRUE(port.ReadUntilHangup(3s));
        const std::string text = port.Take();
        if (c.until == Until::Block1) {
            EXPECT_NE(text.find(kAck), std::string::npos) << "block 1 is acknowledged before the hang-up";
        }
        if (c.until == Until::End) {
            EXPECT_EQ(text.find("_burn"), std::string::npos) << Printable(text);
        }
        const std::string summary = emulator.Finish(5s);
        EXPECT_EQ(Field(summary, "verdict"), "hangup") << summary;
        EXPECT_EQ(emulator.Process().ExitStatus(), 0);
    }
}

TEST(EmulatorEndToEnd, BoxRebootsForTheNextSession)
{
    TempPath saved("second.bin");
    Emulator emulator(Options({"--sessions", "2", "--save", saved.Path()}));
    Port port(emulator.PtyPath());
    ASSERT_TRUE(port.Open());
    for (unsigned session = 0; session < 2; ++session) {
        SCOPED_TRACE("session " + std::to_string(session + 1));
        ASSERT_TRUE(ReachReceiver(port));
        for (unsigned k = 1; k <= 2; ++k) {
            ASSERT_EQ(Printable(Exchange(port, DataFrame(static_cast<std::uint8_t>(k), Payload(10 * session + k)))),
                      Printable(kAckText));
        }
        port.Write(EndFrame(3));
        ASSERT_TRUE(port.ReadUntil(kBurnStart)) << Printable(port.Received());
        port.Take();
    }
    EXPECT_TRUE(port.ReadUntilHangup()) << "the emulator ends after its last session";
    const std::string summary = emulator.Finish(5s);
    EXPECT_EQ(Field(summary, "sessions"), "2") << summary;
    EXPECT_EQ(Field(summary, "blocks"), "4") << summary;
    EXPECT_EQ(Field(summary, "verdict"), "completed") << summary;
    EXPECT_EQ(ReadFile(saved.Path()), Concat({Payload(11), Payload(12)})) << "the last transfer is kept";
}

TEST(EmulatorEndToEnd, AutobootWindowPassesWithoutASpace)
{
    Emulator emulator(Options({"--autoboot-ms", "300"}));
    Port port(emulator.PtyPath());
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(port.ReadUntilHangup());
    const std::string text = port.Take();
    EXPECT_NE(text.find("Booting application..."), std::string::npos) << Printable(text);
    EXPECT_EQ(text.find(kMenuLine), std::string::npos);
    const std::string summary = emulator.Finish();
    EXPECT_EQ(summary, "stb-emulator: sessions=1 blocks=0 bytes=0 crc_errors=0 sync_bytes=0 verdict=no-transfer");
}

TEST(EmulatorEndToEnd, PowerInputSwitchesTheBox)
{
    enum class Input { File, Line, InvertedLine };
    struct Case {
        const char* name;
        Input input;
    };
    const std::vector<Case> cases = {
        {"by a file", Input::File},
        {"by DTR", Input::Line},
        {"by RTS dropped", Input::InvertedLine},
    };
    const std::string folder = testing::TempDir() + "stb-emulator-modem-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0700);
    setenv(KELVORA_MODEM_LINES_ENV, folder.c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempPath powerFile("power");
        std::vector<std::string> options = {"--units", "UNIT-A,UNIT-B", "--autoboot-ms", "60000"};
        if (c.input == Input::File) {
            options.insert(options.end(), {"--power-file", powerFile.Path()});
        } else if (c.input == Input::Line) {
            options.insert(options.end(), {"--power-line", "dtr"});
        } else {
            // Powered from the start, as RTS is not yet asserted: a long boot
            // delay lets the test cut the power before the banner.
            options.insert(options.end(), {"--power-line", "!rts", "--boot-delay", "1500"});
        }
        ModemStateMap lines{nullptr, -1};
        Emulator emulator(Options(options));
        Port port(emulator.PtyPath());
        ASSERT_TRUE(port.Open());
        struct stat info {};
        ASSERT_EQ(stat(emulator.PtyPath().c_str(), &info), 0);
        ASSERT_EQ(ModemStateMapOpen(folder.c_str(), ModemStatePtyIndex(info.st_rdev), &lines), 0);
        auto power = [&](bool on) {
            if (c.input == Input::File) {
                std::ofstream(powerFile.Path()) << (on ? "on\n" : "off\n");
            } else if (c.input == Input::Line) {
                ModemStateChange(&lines, on ? TIOCM_DTR : 0, on ? 0 : TIOCM_DTR);
            } else {
                ModemStateChange(&lines, on ? 0 : TIOCM_RTS, on ? TIOCM_RTS : 0);
            }
        };
        for (const char* unit : {"UNIT-A", "UNIT-B"}) {
            SCOPED_TRACE(unit);
            power(false);
            // Off: no banner, and spaces go nowhere.
            port.Write("  ");
            port.ReadUntilQuiet(400ms);
            EXPECT_EQ(Printable(port.Take()), "");
            power(true);
            ASSERT_TRUE(port.SyncToMenu());
            const std::string text = port.Take();
            EXPECT_NE(text.find(kBanner), std::string::npos) << Printable(text);
            EXPECT_NE(text.find(std::string("Board serial: ") + unit + "\r\n"), std::string::npos) << Printable(text);
        }
        power(false);
        // The box looks at its power input every few milliseconds.
        std::this_thread::sleep_for(200ms);
        port.Write("1");
        port.ReadUntilQuiet(400ms);
        EXPECT_EQ(Printable(port.Take()), "") << "powered off at the menu: the answer is lost";
        emulator.Process().Signal(SIGTERM);
        const std::string summary = emulator.Finish(3s);
        EXPECT_EQ(Field(summary, "sessions"), "2") << summary;
        ModemStateUnmap(&lines);
        std::remove((folder + "/pts-" + std::to_string(ModemStatePtyIndex(info.st_rdev))).c_str());
    }
    unsetenv(KELVORA_MODEM_LINES_ENV);
    rmdir(folder.c_str());
}

TEST(EmulatorEndToEnd, NewFirmwareBootsAfterACompletion)
{
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string_view after;  // in the text after the verdict
        std::vector<std::string_view> absent;
    };
    const std::vector<Case> cases = {
        {"boots", {}, kFirmwareBooted, {kPanic}},
        {"boot text", {"--boot-text", "STB 9.9 up"}, "Jumping to 0x80008000\r\nSTB 9.9 up\r\n", {kFirmwareBooted}},
        {"panics", {"--boot-panic"}, kPanic, {kFirmwareBooted}},
        {"stays silent", {"--no-boot"}, "to stop autoboot\r\n", {kBooting, kFirmwareBooted, kPanic}},
        {"back in the loader", {"--reboot-into-loader"}, "Board serial: UNIT-A\r\n", {kBanner, kBooting}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = {"--sessions", "2", "--flash-ms", "100", "--autoboot-ms", "200",
                                            "--units", "UNIT-A,UNIT-B"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        Emulator emulator(Options(options));
        Port port(emulator.PtyPath());
        ASSERT_TRUE(port.Open());
        ASSERT_TRUE(ReachReceiver(port));
        ASSERT_EQ(Printable(Exchange(port, DataFrame(1, Payload(1)))), Printable(kAckText));
        port.Write(EndFrame(2));
        ASSERT_TRUE(port.ReadUntil(kBurnStart)) << Printable(port.Received());
        port.Take();
        if (c.after.find("Board serial") != std::string_view::npos) {
            // The second session waits at the menu.
            EXPECT_TRUE(port.ReadUntil(kMenuLine));
            emulator.Process().Signal(SIGTERM);
        }
        // Otherwise the second session ends once the firmware has booted.
        EXPECT_TRUE(port.ReadUntilHangup());
        const std::string text = port.Take();
        EXPECT_NE(text.find(c.after), std::string::npos) << Printable(text);
        for (std::string_view line : c.absent) {
            EXPECT_EQ(text.find(line), std::string::npos) << line << " in " << Printable(text);
        }
        const std::string summary = emulator.Finish(5s);
        EXPECT_EQ(Field(summary, "sessions"), "2") << summary;
        EXPECT_EQ(Field(summary, "verdict"), "completed") << "the boot keeps the image's verdict";
    }
}

TEST(EmulatorEndToEnd, ConsoleFaultsAndStopBySignal)
{
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool answerMenu;
    };
    const std::vector<Case> cases = {
        {"no menu", {"--no-menu", "--autoboot-ms", "500"}, false},
        {"no C after the answer", {"--no-c"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempPath link("link");
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--link", link.Path()});
        Emulator emulator(Options(options));
        char target[256] = {};
        ASSERT_GT(readlink(link.Path().c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), emulator.PtyPath());

        Port port(link.Path());
        ASSERT_TRUE(port.Open());
        if (c.answerMenu) {
            ASSERT_TRUE(port.SyncToMenu());
            port.Take();
            port.Write("1");
            port.ReadUntilQuiet(1s, 3s);
            EXPECT_EQ(port.Received().find('C'), std::string::npos) << Printable(port.Received());
        } else {
            // Spaces for longer than the autoboot window: it is stopped, yet
            // no menu line comes.
            EXPECT_FALSE(port.SyncToMenu(1500ms));
            EXPECT_EQ(port.Received().find("Booting application"), std::string::npos);
        }
        emulator.Process().Signal(SIGTERM);
        const std::string summary = emulator.Finish(3s);
        EXPECT_EQ(Field(summary, "verdict"), "no-transfer") << summary;
        EXPECT_EQ(emulator.Process().ExitStatus(), 0);
        EXPECT_EQ(access(link.Path().c_str(), F_OK), -1) << "the link is removed at exit";
    }
}

TEST(EmulatorEndToEnd, SpamComesBetweenBannerAndMenu)
{
    std::size_t beforeMenu[2] = {};
    const std::uint64_t spam = 20000;
    for (int withSpam = 0; withSpam < 2; ++withSpam) {
        Emulator emulator(Options({"--spam", withSpam ? std::to_string(spam) : "0"}));
        Port port(emulator.PtyPath());
        ASSERT_TRUE(port.Open());
        ASSERT_TRUE(port.SyncToMenu());
        const std::string& text = port.Received();
        beforeMenu[withSpam] = text.find(kMenuLine);
        for (unsigned char ch : text.substr(0, beforeMenu[withSpam])) {
            ASSERT_TRUE((ch >= 0x20 && ch < 0x7F) || ch == '\r' || ch == '\n') << int{ch};
        }
        emulator.Process().Signal(SIGTERM);
        EXPECT_FALSE(emulator.Finish(3s).empty());
    }
    EXPECT_EQ(beforeMenu[1] - beforeMenu[0], spam);
}

TEST(EmulatorEndToEnd, BaudRatePacesBothDirections)
{
    // 9600 baud is 960 bytes a second each way. Both checks are lower bounds:
    // a busy machine only makes things slower.
    const auto started = Clock::now();
    Emulator emulator(Options({"--baud", "9600"}));
    Port port(emulator.PtyPath());
    ASSERT_TRUE(port.Open());
    ASSERT_TRUE(port.SyncToMenu());
    const auto menuBytes = static_cast<std::int64_t>(port.Received().find(kMenuLine) + kMenuLine.size());
    EXPECT_GE(Clock::now() - started, std::chrono::microseconds(menuBytes * 1'000'000 / 960))
        << menuBytes << " bytes of console text";

    port.Take();
    port.Write("1");
    ASSERT_TRUE(port.ReadUntil("CCCCC"));
    port.Take();
    // The 1029-byte frame needs 1.07 s on the line; its ACK cannot come sooner,
    // however fast the pseudo-terminal moves it.
    const auto sent = Clock::now();
    port.Write(DataFrame(1, Payload(1)));
    ASSERT_TRUE(port.ReadUntilAnyOf(kAckText, 5s));
    EXPECT_GE(Clock::now() - sent, 1000ms);
    emulator.Process().Signal(SIGTERM);
    EXPECT_EQ(Field(emulator.Finish(3s), "verdict"), "cancelled") << "a transfer cut off counts as cancelled";
}

TEST(EmulatorEndToEnd, PlainXmodemSenderSxDelivers)
{
    const std::string sx = SX_PROGRAM_PATH;
    if (sx.empty()) {
        GTEST_SKIP() << "lrzsz's sx is not installed";
    }
    TempPath image("sx-source.bin");
    TempPath saved("sx-received.bin");
    Bytes data;
    for (unsigned k = 0; data.size() < 5000; ++k) {
        const Bytes part = Payload(k);
        data.insert(data.end(), part.begin(), part.end());
    }
    data.resize(5000);
    {
        std::ofstream file(image.Path(), std::ios::binary);
        file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    Emulator emulator(Options({"--plain", "--save", saved.Path()}));
    ASSERT_FALSE(emulator.PtyPath().empty());
    // A sender that starts late must still find one fresh C, not a pile of
    // stale ones it would take as NAKs of its first block.
    std::this_thread::sleep_for(1s);
    // sx wants a blocking descriptor on its standard input and output.
    const int line = open(emulator.PtyPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0);
    {
        ChildProcess sender({sx, "-k", "-q", image.Path()}, line, line, false);
        ASSERT_TRUE(sender.Started());
        ASSERT_TRUE(sender.WaitExit(60s));
        EXPECT_EQ(sender.ExitStatus(), 0);
    }
    close(line);
    const std::string summary = emulator.Finish();
    EXPECT_EQ(Field(summary, "verdict"), "completed") << summary;
    EXPECT_EQ(Field(summary, "blocks"), "5") << summary;
    EXPECT_EQ(Field(summary, "bytes"), std::to_string(5 * 1029 + 1)) << "five frames once each, one lone EOT";
    // sx fills the last block with 0x1A.
    Bytes expected = data;
    expected.resize(5 * 1024, 0x1A);
    EXPECT_EQ(ReadFile(saved.Path()), expected);
}

TEST(EmulatorEndToEnd, BadOptionsExitWithStatus2)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--baud", "fast"}, {"--nak-block", "0"}, {"--hangup-at", "later"}, {"--expect-prefix", "XYZ"},
        {"--sessions"},     {"--no-such-option"}, {"stray-argument"},      {"--link", "a", "--device", "b"},
    };
    for (const auto& options : cases) {
        Emulator emulator(options);
        EXPECT_TRUE(emulator.PtyPath().empty()) << options[0];
        EXPECT_TRUE(emulator.Process().WaitExit(5s));
        EXPECT_EQ(emulator.Process().ExitStatus(), 2) << options[0];
    }
    Emulator help({"--help"});
    EXPECT_EQ(help.PtyPath().rfind("Usage: stb-emulator", 0), 0u);
    EXPECT_TRUE(help.Process().WaitExit(5s));
    EXPECT_EQ(help.Process().ExitStatus(), 0);
}

}  // namespace
