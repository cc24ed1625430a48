// stb-emulator: plays a set-top box's boot loader on a pseudo-terminal (or a
// real serial device), for tests, demos and dry runs of the upgrader.
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator/line.h"
#include "emulator/loader.h"
#include "emulator/modem_state.h"
#include "emulator/power_input.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

// Written by the signal handler, read by the loader's loop.
std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int)
{
    g_stopRequested.store(true, std::memory_order_release);
}

const char kUsage[] =
    "Usage: stb-emulator [options]\n"
    "Plays a set-top box boot loader on a new pseudo-terminal and prints its\n"
    "path as the first line of standard output.\n"
    "\n"
    "Line:\n"
    "  --link PATH              also make PATH a symbolic link to the terminal\n"
    "  --device DEV             use a real serial device (115200 8N1, raw) instead\n"
    "  --baud N                 pace both directions to N baud, 10 bits a byte (0: off)\n"
    "Loader:\n"
    "  --boot-delay MS          silence after power-on before the banner (300)\n"
    "  --autoboot-ms MS         window in which a space stops autoboot (3000)\n"
    "  --c-interval MS          time between the receiver's C requests (200)\n"
    "  --plain                  a plain XMODEM-1K receiver from power-on (for sx -k):\n"
    "                           C every c-interval, no banner, no autoboot\n"
    "  --sessions N             sessions before exit, the box rebooting between (1; 0: no limit)\n"
    "  --save FILE              write the received image to FILE at the end of a transfer\n"
    "Verdict:\n"
    "  --burn-repeats N         burning lines before the flash write (1)\n"
    "  --refuse                 refuse every image\n"
    "  --refuse-after-burn      print the burning lines, then refuse\n"
    "  --expect-prefix HEX      refuse images that do not begin with these bytes\n"
    "  --no-verdict             stay silent after the end of transmission\n"
    "  --verdict-delay MS       give the verdict MS after the end of transmission (0)\n"
    "Faults (block N counts the blocks of a transfer from 1; may be repeated):\n"
    "  --nak-block N            answer block N with NAK, every time it arrives\n"
    "  --silent-block N         never answer block N\n"
    "  --garbage-before-ack N   send junk text before the ACK of block N\n"
    "  --double-ack N           acknowledge block N twice\n"
    "  --hangup-after-block N   hang the line up after acknowledging block N\n"
    "  --late-ack N             acknowledge block N only after --ack-delay\n"
    "  --ack-delay MS           how late a late ACK comes (4000)\n"
    "  --chatter                while a late ACK or verdict is held back, a 50-byte\n"
    "                           console line every 100 ms\n"
    "  --hangup-at sync|verdict hang up at the first space / at the end of transmission\n"
    "  --no-menu                a space stops autoboot but no menu is shown\n"
    "  --no-c                   never send C after the menu answer\n"
    "  --spam BYTES             that much console text between the banner and the menu\n"
    "  --serial TEXT            the board's serial number, shown above the menu\n"
    "Power and boot:\n"
    "  --power-line LINE        powered while LINE of the terminal is asserted (dtr,\n"
    "                           rts) or dropped (!dtr, !rts), as the modem-line state\n"
    "                           in the folder $KELVORA_MODEM_LINES says\n"
    "  --power-file FILE        powered while FILE holds \"on\"\n"
    "                           Powered off, the box is silent and drops what arrives;\n"
    "                           each power-on is a new session from the banner. With\n"
    "                           either option --sessions defaults to 0\n"
    "  --units A,B,...          unit identities shown above the menu (instead of\n"
    "                           --serial), a new one at each power-on and each session\n"
    "                           that is not the reboot after a flash write; the last repeats\n"
    "  --flash-ms MS            flash write after a completed image, before the reboot (1000)\n"
    "  --boot-text TEXT         what the new firmware prints once booted\n"
    "                           (Kelvora STB firmware 2.0 booted)\n"
    "  --boot-panic             the new firmware panics instead\n"
    "  --no-boot                nothing after the reboot's banner\n"
    "  --reboot-into-loader     after the flash write, back to the loader menu, same unit\n"
    "After a completed image that is not the last session's, the box writes its\n"
    "flash and reboots: banner and autoboot window; a space stops it in the loader\n"
    "(a new session), otherwise the new firmware boots, prints its boot text and\n"
    "stays quiet (until power-off). The last session ends the emulator at its\n"
    "verdict.\n"
    "Other:\n"
    "  -v, --verbose            diagnostics on standard error\n"
    "  -h, --help               this text\n"
    "\n"
    "At exit one line on standard output:\n"
    "  stb-emulator: sessions=S blocks=B bytes=N crc_errors=E sync_bytes=K verdict=V\n"
    "S sessions powered on, B blocks acknowledged, N bytes read from the line,\n"
    "E frames refused for their CRC, K spaces read before a transfer began, and V\n"
    "the last session's verdict: completed, refused, cancelled, no-verdict,\n"
    "no-transfer or hangup. A transfer cut off by SIGTERM or SIGINT counts as\n"
    "cancelled; a session that had not begun one keeps the previous verdict.\n";

enum OptionId {
    kOptLink = 256,
    kOptDevice,
    kOptBaud,
    kOptBootDelay,
    kOptAutoboot,
    kOptCInterval,
    kOptPlain,
    kOptSessions,
    kOptSave,
    kOptBurnRepeats,
    kOptRefuse,
    kOptRefuseAfterBurn,
    kOptExpectPrefix,
    kOptNoVerdict,
    kOptNakBlock,
    kOptSilentBlock,
    kOptGarbageBeforeAck,
    kOptDoubleAck,
    kOptHangupAfterBlock,
    kOptHangupAt,
    kOptNoMenu,
    kOptNoC,
    kOptSpam,
    kOptSerial,
    kOptVerdictDelay,
    kOptLateAck,
    kOptAckDelay,
    kOptChatter,
    kOptPowerLine,
    kOptPowerFile,
    kOptUnits,
    kOptFlashMs,
    kOptBootText,
    kOptBootPanic,
    kOptNoBoot,
    kOptRebootIntoLoader,
};

const option kOptions[] = {
    {"link", required_argument, nullptr, kOptLink},
    {"device", required_argument, nullptr, kOptDevice},
    {"baud", required_argument, nullptr, kOptBaud},
    {"boot-delay", required_argument, nullptr, kOptBootDelay},
    {"autoboot-ms", required_argument, nullptr, kOptAutoboot},
    {"c-interval", required_argument, nullptr, kOptCInterval},
    {"plain", no_argument, nullptr, kOptPlain},
    {"sessions", required_argument, nullptr, kOptSessions},
    {"save", required_argument, nullptr, kOptSave},
    {"burn-repeats", required_argument, nullptr, kOptBurnRepeats},
    {"refuse", no_argument, nullptr, kOptRefuse},
    {"refuse-after-burn", no_argument, nullptr, kOptRefuseAfterBurn},
    {"expect-prefix", required_argument, nullptr, kOptExpectPrefix},
    {"no-verdict", no_argument, nullptr, kOptNoVerdict},
    {"nak-block", required_argument, nullptr, kOptNakBlock},
    {"silent-block", required_argument, nullptr, kOptSilentBlock},
    {"garbage-before-ack", required_argument, nullptr, kOptGarbageBeforeAck},
    {"double-ack", required_argument, nullptr, kOptDoubleAck},
    {"hangup-after-block", required_argument, nullptr, kOptHangupAfterBlock},
    {"hangup-at", required_argument, nullptr, kOptHangupAt},
    {"no-menu", no_argument, nullptr, kOptNoMenu},
    {"no-c", no_argument, nullptr, kOptNoC},
    {"spam", required_argument, nullptr, kOptSpam},
    {"serial", required_argument, nullptr, kOptSerial},
    {"verdict-delay", required_argument, nullptr, kOptVerdictDelay},
    {"late-ack", required_argument, nullptr, kOptLateAck},
    {"ack-delay", required_argument, nullptr, kOptAckDelay},
    {"chatter", no_argument, nullptr, kOptChatter},
    {"power-line", required_argument, nullptr, kOptPowerLine},
    {"power-file", required_argument, nullptr, kOptPowerFile},
    {"units", required_argument, nullptr, kOptUnits},
    {"flash-ms", required_argument, nullptr, kOptFlashMs},
    {"boot-text", required_argument, nullptr, kOptBootText},
    {"boot-panic", no_argument, nullptr, kOptBootPanic},
    {"no-boot", no_argument, nullptr, kOptNoBoot},
    {"reboot-into-loader", no_argument, nullptr, kOptRebootIntoLoader},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct Settings {
    LoaderOptions loader;
    std::string linkPath;
    std::string devicePath;
    std::string powerLine;
    std::string powerFile;
    std::string modemFolder;  // $KELVORA_MODEM_LINES, for --power-line
    bool bSessionsGiven = false;
};

// "A,B,C": every name non-empty.
bool ParseUnits(std::string_view text, std::vector<std::string>& units)
{
    units.clear();
    for (;;) {
        const auto comma = text.find(',');
        const std::string_view unit = text.substr(0, comma);
        if (unit.empty()) {
            return false;
        }
        units.emplace_back(unit);
        if (comma == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(comma + 1);
    }
}

template <typename Number>
bool ParseNumber(std::string_view text, Number min, Number max, Number& value)
{
    std::uint64_t parsed = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, parsed);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end || parsed < static_cast<std::uint64_t>(min) ||
        parsed > static_cast<std::uint64_t>(max)) {
        return false;
    }
    value = static_cast<Number>(parsed);
    return true;
}

bool ParseHex(std::string_view text, std::vector<std::uint8_t>& bytes)
{
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint8_t byte = 0;
        const auto result = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (result.ec != std::errc{} || result.ptr != text.data() + i + 2) {
            return false;
        }
        bytes.push_back(byte);
    }
    return true;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "stb-emulator: %s\nTry 'stb-emulator --help'.\n", message.c_str());
    return kExitUsage;
}

// Returns -1 when the options are good, otherwise the exit status.
int ParseOptions(int argc, char** argv, Settings& settings)
{
    LoaderOptions& o = settings.loader;
    constexpr int kMaxMs = 24 * 60 * 60 * 1000;
    constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
    opterr = 0;
    int id = 0;
    int longIndex = -1;
    while ((id = getopt_long(argc, argv, ":vh", kOptions, &longIndex)) != -1) {
        const std::string_view arg = optarg ? optarg : "";
        std::string name = longIndex >= 0 ? std::string("--") + kOptions[longIndex].name
                           : optopt > 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt)
                                                       : std::string(argv[optind - 1]);
        longIndex = -1;
        auto bad = [&]() { return UsageError("bad value for " + name + ": '" + std::string(arg) + "'"); };
        auto block = [&](std::set<std::uint64_t>& blocks) {
            std::uint64_t n = 0;
            if (!ParseNumber<std::uint64_t>(arg, 1, kMaxCount, n)) {
                return false;
            }
            blocks.insert(n);
            return true;
        };
        bool good = true;
        switch (id) {
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case 'v': o.verbose = true; break;
        case kOptLink: settings.linkPath = arg; good = !arg.empty(); break;
        case kOptDevice: settings.devicePath = arg; good = !arg.empty(); break;
        case kOptBaud: good = ParseNumber<unsigned>(arg, 0, 10'000'000, o.baud); break;
        case kOptBootDelay: good = ParseNumber<int>(arg, 0, kMaxMs, o.bootDelayMs); break;
        case kOptAutoboot: good = ParseNumber<int>(arg, 0, kMaxMs, o.autobootMs); break;
        case kOptCInterval: good = ParseNumber<int>(arg, 1, kMaxMs, o.cIntervalMs); break;
        case kOptPlain: o.plain = true; break;
        case kOptSessions:
            good = ParseNumber<unsigned>(arg, 0, 1'000'000'000, o.sessions);
            settings.bSessionsGiven = true;
            break;
        case kOptSave: o.savePath = arg; good = !arg.empty(); break;
        case kOptBurnRepeats: good = ParseNumber<unsigned>(arg, 0, 1000, o.burnRepeats); break;
        case kOptRefuse: o.refuse = true; break;
        case kOptRefuseAfterBurn: o.refuseAfterBurn = true; break;
        case kOptExpectPrefix: good = ParseHex(arg, o.expectPrefix); break;
        case kOptNoVerdict: o.noVerdict = true; break;
        case kOptNakBlock: good = block(o.nakBlocks); break;
        case kOptSilentBlock: good = block(o.silentBlocks); break;
        case kOptGarbageBeforeAck: good = block(o.garbageBeforeAckBlocks); break;
        case kOptDoubleAck: good = block(o.doubleAckBlocks); break;
        case kOptHangupAfterBlock: good = block(o.hangupAfterBlocks); break;
        case kOptHangupAt:
            if (arg == "sync") {
                o.hangupAt = HangupPoint::Sync;
            } else if (arg == "verdict") {
                o.hangupAt = HangupPoint::Verdict;
            } else {
                good = false;
            }
            break;
        case kOptNoMenu: o.noMenu = true; break;
        case kOptNoC: o.noC = true; break;
        case kOptSpam: good = ParseNumber<std::uint64_t>(arg, 0, 64u * 1024u * 1024u, o.spamBytes); break;
        case kOptSerial: o.serial = arg; break;
        case kOptVerdictDelay: good = ParseNumber<int>(arg, 0, kMaxMs, o.verdictDelayMs); break;
        case kOptLateAck: good = block(o.lateAckBlocks); break;
        case kOptAckDelay: good = ParseNumber<int>(arg, 0, kMaxMs, o.ackDelayMs); break;
        case kOptChatter: o.chatter = true; break;
        case kOptPowerLine: settings.powerLine = arg; good = PowerInput::ValidLineName(settings.powerLine); break;
        case kOptPowerFile: settings.powerFile = arg; good = !arg.empty(); break;
        case kOptUnits: good = ParseUnits(arg, o.units); break;
        case kOptFlashMs: good = ParseNumber<int>(arg, 0, kMaxMs, o.flashMs); break;
        case kOptBootText: o.bootText = arg; break;
        case kOptBootPanic: o.bootPanic = true; break;
        case kOptNoBoot: o.noBoot = true; break;
        case kOptRebootIntoLoader: o.rebootIntoLoader = true; break;
        case ':': return UsageError(std::string("option needs a value: ") + name);
        default: return UsageError(std::string("unknown option: ") + name);
        }
        if (!good) {
            return bad();
        }
    }
    if (optind < argc) {
        return UsageError(std::string("unexpected argument: ") + argv[optind]);
    }
    if (!settings.linkPath.empty() && !settings.devicePath.empty()) {
        return UsageError("--link and --device exclude each other");
    }
    if (!settings.powerLine.empty() && !settings.powerFile.empty()) {
        return UsageError("--power-line and --power-file exclude each other");
    }
    if (!settings.powerLine.empty()) {
        const char* pFolder = std::getenv(KELVORA_MODEM_LINES_ENV);
        if (pFolder == nullptr || *pFolder == '\0') {
            return UsageError("--power-line needs the modem-line folder in $" KELVORA_MODEM_LINES_ENV);
        }
        if (!settings.devicePath.empty()) {
            return UsageError("--power-line needs a pseudo-terminal, not --device");
        }
        settings.modemFolder = pFolder;
    }
    // A box under power control lives through as many power cycles as come.
    if ((!settings.powerLine.empty() || !settings.powerFile.empty()) && !settings.bSessionsGiven) {
        o.sessions = 0;
    }
    return -1;
}

// A symbolic link to the terminal, removed again when the emulator ends.
class TerminalLink {
public:
    TerminalLink() = default;
    TerminalLink(const TerminalLink&) = delete;
    TerminalLink& operator=(const TerminalLink&) = delete;
    ~TerminalLink() { Remove(); }

    bool Create(const std::string& path, const std::string& target, std::string& error)
    {
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode)) {
                error = path + " exists and is not a symbolic link";
                return false;
            }
            unlink(path.c_str());  // left behind by an emulator that was killed
        }
        if (symlink(target.c_str(), path.c_str()) != 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        m_path = path;
        m_target = target;
        return true;
    }

    void Remove()
    {
        if (m_path.empty()) {
            return;
        }
        // Only our own link: another emulator may have taken the name since.
        char buffer[512] = {};
        const ssize_t length = readlink(m_path.c_str(), buffer, sizeof buffer - 1);
        if (length > 0 && std::string_view(buffer, static_cast<std::size_t>(length)) == m_target) {
            unlink(m_path.c_str());
        }
        m_path.clear();
    }

private:
    std::string m_path;
    std::string m_target;
};

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    const int parsed = ParseOptions(argc, argv, settings);
    if (parsed >= 0) {
        return parsed;
    }

    // SIGINT and SIGTERM stay blocked except while the loop waits, where
    // ppoll lets them in and returns.
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    std::unique_ptr<Line> line = settings.devicePath.empty() ? Line::CreatePty(error)
                                                             : Line::OpenDevice(settings.devicePath, error);
    if (!line) {
        std::fprintf(stderr, "stb-emulator: %s\n", error.c_str());
        return kExitFailure;
    }
    TerminalLink link;
    if (!settings.linkPath.empty() && !link.Create(settings.linkPath, line->Name(), error)) {
        std::fprintf(stderr, "stb-emulator: %s\n", error.c_str());
        return kExitFailure;
    }
    std::unique_ptr<PowerInput> power;
    if (!settings.powerLine.empty()) {
        power = PowerInput::FromLine(settings.powerLine, line->Name(), settings.modemFolder, error);
    } else if (!settings.powerFile.empty()) {
        power = PowerInput::FromFile(settings.powerFile);
    }
    if ((!settings.powerLine.empty() || !settings.powerFile.empty()) && !power) {
        std::fprintf(stderr, "stb-emulator: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("%s\n", line->Name().c_str());
    std::fflush(stdout);

    Loader loader(*line, settings.loader, power.get());
    loader.Run(g_stopRequested, waitMask);

    link.Remove();
    std::printf("%s\n", SummaryLine(loader.Summary()).c_str());
    std::fflush(stdout);
    return 0;
}
