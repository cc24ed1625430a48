// The Windows serial backend against a real line: COM1 is a pseudo-terminal
// whose far end is tests/wine/pty_peer.py, driven through files in the
// directory KELVORA_PEER_DIR names. Run through tests/wine/run_serial_tests.sh,
// which creates the pair, maps COM1 to it and starts the peer.
//
// Checks that Wine cannot honour on a pseudo-terminal (exclusive open, RTS)
// are skipped there with the reason printed, and only there.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_info.h"
#include "serial/port_state.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPort = "COM1";
// The link's own run length: one XMODEM-1K frame.
constexpr std::size_t kRunLength = 1029;
// Bytes the echo test keeps in flight, well below what the ring holds.
constexpr std::size_t kInFlightLimit = 4096;
// Generous bound for anything that should happen "at once".
constexpr auto kPatience = std::chrono::seconds(5);

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string Hex(const char* pFormat, HANDLE h) {
    char text[32];
    std::snprintf(text, sizeof text, pFormat, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(h)));
    return text;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Sends standard output to a file while it lives, at the level of the C
// runtime's descriptor 1, so that printf from any thread is caught.
class StdoutCapture {
public:
    StdoutCapture() {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        char path[MAX_PATH];
        GetTempFileNameA(dir, "kso", 0, path);
        m_path = path;
        std::fflush(stdout);
        m_saved = _dup(_fileno(stdout));
        int fd = _open(m_path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY);
        _dup2(fd, _fileno(stdout));
        _close(fd);
    }
    ~StdoutCapture() {
        Restore();
        DeleteFileA(m_path.c_str());
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Ends the capture and gives what was printed, line by line.
    std::vector<std::string> Lines() {
        Restore();
        std::ifstream in(m_path, std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    void Restore() {
        if (m_saved >= 0) {
            std::fflush(stdout);
            _dup2(m_saved, _fileno(stdout));
            _close(m_saved);
            m_saved = -1;
        }
    }
    std::string m_path;
    int m_saved = -1;
};

// Each line must match its pattern, in order, and nothing else is printed.
void ExpectLines(const std::vector<std::string>& lines, const std::vector<std::string>& patterns) {
    std::string all;
    for (const auto& line : lines) {
        all += line + "\n";
    }
    ASSERT_EQ(lines.size(), patterns.size()) << "printed:\n" << all;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i])))
            << "line " << i << ": \"" << lines[i] << "\" does not match " << patterns[i];
    }
}

std::string Escaped(const std::string& text) {
    static const std::regex metaCharacter(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, metaCharacter, R"(\$&)");
}

// The far end of the line, driven through its command files.
class Peer {
public:
    // Carries out one command and gives the peer's answer ("" when it does
    // not answer in time; the caller's assertion reports that).
    static std::string Command(const std::string& command) {
        const char* pDir = std::getenv("KELVORA_PEER_DIR");
        if (pDir == nullptr) {
            return "";
        }
        static int seq = 0;
        ++seq;
        std::string dir = pDir;
        std::string tmp = dir + "/cmd.tmp";
        {
            std::ofstream out(tmp, std::ios::binary);
            out << seq << " " << command << "\n";
        }
        MoveFileExA(tmp.c_str(), (dir + "/cmd").c_str(), MOVEFILE_REPLACE_EXISTING);
        std::string ack = dir + "/ack-" + std::to_string(seq);
        auto start = Clock::now();
        while (Clock::now() - start < kPatience) {
            std::ifstream in(ack, std::ios::binary);
            if (in) {
                std::string answer;
                std::getline(in, answer);
                in.close();
                DeleteFileA(ack.c_str());
                return answer;
            }
            Sleep(5);
        }
        return "";
    }

    // The "key=value" fields of the peer's state answer.
    static std::map<std::string, long> State() {
        std::map<std::string, long> fields;
        std::istringstream in(Command("state"));
        std::string field;
        while (in >> field) {
            auto eq = field.find('=');
            if (eq != std::string::npos) {
                fields[field.substr(0, eq)] = std::stol(field.substr(eq + 1));
            }
        }
        return fields;
    }

    // Waits until the peer sees the slave held (1) or released (0).
    static bool SlaveOpenBecomes(long open) {
        auto start = Clock::now();
        while (Clock::now() - start < kPatience) {
            if (State()["slave_open"] == open) {
                return true;
            }
            Sleep(20);
        }
        return false;
    }
};

// Every test starts from a closed port and an echoing peer.
class SerialWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("KELVORA_PEER_DIR"), nullptr)
            << "run through tests/wine/run_serial_tests.sh: it provides the line's far end";
        ASSERT_EQ(Peer::Command("echo"), "ok") << "the peer does not answer";
        g_bStopThread = 0;
    }

    void TearDown() override {
        if (m_bOpen) {
            Close();
        }
    }

    void Open() {
        g_bStopThread = 0;
        ASSERT_EQ(SerialOpen(&m_hComm, kPort), 0);
        m_bOpen = true;
    }

    int Close() {
        g_bStopThread = 1;
        m_bOpen = false;
        return SerialClose(m_hComm);
    }

    // Takes count bytes from the ring, waiting at most kPatience for them.
    std::vector<unsigned char> Take(std::size_t count) {
        std::vector<unsigned char> bytes;
        auto start = Clock::now();
        while (bytes.size() < count && Clock::now() - start < kPatience) {
            unsigned char byte = 0;
            if (RxRingGetByte(&byte) != 0) {
                bytes.push_back(byte);
            } else {
                RxRingWait(50);
            }
        }
        return bytes;
    }

    PortHandle m_hComm = INVALID_HANDLE_VALUE;
    bool m_bOpen = false;
};

TEST_F(SerialWin32, SuccessfulOpenPrintsItsLinesAndEmptiesTheRing) {
    // Leftovers of an earlier session must not reach the new one.
    for (unsigned char byte : {0x11, 0x22, 0x33}) {
        RxRingPutByte(byte);
    }
    // Results are checked after the capture, so that failures are seen.
    std::vector<std::string> lines;
    int opened = -1;
    std::size_t leftovers = 0;
    int closed = -1;
    {
        StdoutCapture capture;
        opened = SerialOpen(&m_hComm, kPort);
        leftovers = RxRingCount();
        closed = SerialClose(m_hComm);
        lines = capture.Lines();
    }
    ASSERT_EQ(opened, 0);
    EXPECT_EQ(leftovers, 0u);
    EXPECT_EQ(closed, 1);
    ExpectLines(lines, {
                           R"(Serial open [A-Z][a-z]{2} [ 123]\d \d{4} \d\d:\d\d:\d\d COM1\.)",
                           Escaped("handle 0x" + Hex("%X", m_hComm)),
                           R"(Mask Status [0-9a-f]+\.)",
                           Escaped("Mask Status 5."),
                           Escaped("Start SerialThread() handle " + Hex("%08x", m_hComm) + "."),
                           Escaped("Exit Thrd[" + Hex("%08X", m_hComm) + "]....."),
                       });
}

TEST_F(SerialWin32, MissingPortPrintsThreeLinesAndLeavesTheSlot) {
    for (const char* pName : {"COM9", "COM16"}) {
        SCOPED_TRACE(pName);
        PortHandle hSentinel = reinterpret_cast<PortHandle>(static_cast<std::uintptr_t>(0x5A5A));
        PortHandle hSlot = hSentinel;
        std::vector<std::string> lines;
        int result = 0;
        {
            StdoutCapture capture;
            result = SerialOpen(&hSlot, pName);
            lines = capture.Lines();
        }
        EXPECT_EQ(result, 1);
        EXPECT_EQ(hSlot, hSentinel);
        ExpectLines(lines, {
                               R"(Serial open [A-Z][a-z]{2} [ 123]\d \d{4} \d\d:\d\d:\d\d )" + Escaped(pName) + R"(\.)",
                               Escaped("handle 0xFFFFFFFF"),
                               Escaped(std::string("Serial port ") + pName + " does not exist."),
                           });
        // The link and the probe give the system's one text for it.
        std::string reason;
        EXPECT_EQ(PortProbe(pName, &reason), 1);
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(SerialDefaultLink().LastOpenError(), reason);
    }
}

TEST_F(SerialWin32, OpenSetsTheLineWhateverItWasBefore) {
    // Leave the port at 9600 7E2 with every kind of flow control, from both
    // sides, so that every value read back is the open's doing.
    ASSERT_EQ(Peer::Command("scramble"), "ok");
    {
        HANDLE h = CreateFileA(kPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DCB odd{};
        odd.DCBlength = sizeof odd;
        odd.BaudRate = 9600;
        odd.fBinary = 1;
        odd.fOutxCtsFlow = 1;
        odd.fOutX = 1;
        odd.fInX = 1;
        odd.fRtsControl = RTS_CONTROL_HANDSHAKE;
        odd.ByteSize = 7;
        odd.Parity = EVENPARITY;
        odd.StopBits = TWOSTOPBITS;
        odd.XonChar = 0x11;
        odd.XoffChar = 0x13;
        odd.XonLim = 10;
        odd.XoffLim = 10;
        EXPECT_TRUE(SetCommState(h, &odd));
        CloseHandle(h);
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(m_hComm, &dcb));
    struct Field {
        const char* name;
        unsigned long actual;
        unsigned long expected;
    };
    const Field fields[] = {
        {"BaudRate", dcb.BaudRate, 115200},
        {"ByteSize", dcb.ByteSize, 8},
        {"Parity", dcb.Parity, NOPARITY},
        {"StopBits", dcb.StopBits, ONESTOPBIT},
        {"fBinary", dcb.fBinary, 1},
        {"fOutxCtsFlow", dcb.fOutxCtsFlow, 0},
        {"fOutxDsrFlow", dcb.fOutxDsrFlow, 0},
        {"fOutX", dcb.fOutX, 0},
        {"fInX", dcb.fInX, 0},
        {"fDtrControl", dcb.fDtrControl, DTR_CONTROL_ENABLE},
        {"fTXContinueOnXoff", dcb.fTXContinueOnXoff, 0},
        {"fErrorChar", dcb.fErrorChar, 0},
        {"fNull", dcb.fNull, 0},
        {"fAbortOnError", dcb.fAbortOnError, 0},
        {"fDsrSensitivity", dcb.fDsrSensitivity, 0},
        {"XonChar", static_cast<unsigned long>(static_cast<unsigned char>(dcb.XonChar)), 0},
        {"XoffChar", static_cast<unsigned long>(static_cast<unsigned char>(dcb.XoffChar)), 0},
        {"EofChar", static_cast<unsigned long>(static_cast<unsigned char>(dcb.EofChar)), 0x1A},
        {"EvtChar", static_cast<unsigned long>(static_cast<unsigned char>(dcb.EvtChar)), 0},
    };
    for (const Field& field : fields) {
        EXPECT_EQ(field.actual, field.expected) << field.name;
    }
    // The flag bits as one word: binary, parity check, DTR on and nothing
    // else. Wine on a pseudo-terminal keeps neither the parity-check bit,
    // the XON/XOFF limits nor the error character (it reports what the
    // terminal holds), and reports RTS control as enabled whatever was set:
    // those are read back on Windows only.
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + 2 * sizeof(DWORD), sizeof flags);
    const DWORD kParityAndRtsBits = 0x3002;
    if (UnderWine()) {
        EXPECT_EQ(flags & ~kParityAndRtsBits, 0x11u) << std::hex << flags;
    } else {
        EXPECT_EQ(flags, 0x13u) << std::hex << flags;
        EXPECT_EQ(dcb.XonLim, 100);
        EXPECT_EQ(dcb.XoffLim, 100);
        EXPECT_EQ(dcb.ErrorChar, 0);
    }
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(m_hComm, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

    // The far side sees 115200 baud, one stop bit, no flow control. (A
    // pseudo-terminal always reports 8 bits without parity, so those two
    // are not asked of it.)
    auto state = Peer::State();
    const std::pair<const char*, long> farSide[] = {
        {"speed", 115200}, {"cstopb", 0}, {"crtscts", 0}, {"ixon", 0}, {"ixoff", 0},
    };
    for (const auto& [name, value] : farSide) {
        EXPECT_EQ(state[name], value) << name;
    }
}

TEST_F(SerialWin32, OpenHoldsRtsLow) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine on a pseudo-terminal has no modem lines: RTS control fails with error 50 "
                        "and GetCommState reports RTS enabled whatever was set";
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(m_hComm, &dcb));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
}

TEST_F(SerialWin32, MegabyteInLinkRunsComesBackByteExact) {
    ASSERT_NO_FATAL_FAILURE(Open());
    std::vector<unsigned char> sent(1 << 20);
    std::mt19937 random(20240607);
    for (auto& byte : sent) {
        byte = static_cast<unsigned char>(random());
    }
    std::uint32_t overrunsBefore = RxRing.overruns.load();
    std::size_t written = 0;
    std::size_t received = 0;
    std::size_t firstMismatch = sent.size();
    auto lastProgress = Clock::now();
    while (received < sent.size() && Clock::now() - lastProgress < kPatience) {
        // Like the download: a run goes out only while little is unanswered.
        if (written < sent.size() && written - received < kInFlightLimit) {
            std::size_t run = std::min(kRunLength, sent.size() - written);
            ASSERT_EQ(SerialWrite(m_hComm, sent.data() + written, static_cast<std::uint32_t>(run)), 1)
                << "at offset " << written;
            written += run;
        }
        unsigned char byte = 0;
        bool any = false;
        while (RxRingGetByte(&byte) != 0) {
            if (byte != sent[received] && firstMismatch == sent.size()) {
                firstMismatch = received;
            }
            ++received;
            any = true;
        }
        if (any) {
            lastProgress = Clock::now();
        } else if (written == sent.size() || written - received >= kInFlightLimit) {
            RxRingWait(50);
        }
    }
    EXPECT_EQ(received, sent.size());
    EXPECT_EQ(firstMismatch, sent.size()) << "first differing byte";
    EXPECT_EQ(RxRing.overruns.load(), overrunsBefore);
    EXPECT_EQ(static_cast<int>(SerialDefaultLink().LineLost()), 0);
}

TEST_F(SerialWin32, BurstBeyondOneReadIsDrainedWithoutFurtherArrivals) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Peer::Command("burst 3000"), "ok");
    std::vector<unsigned char> got = Take(3000);
    ASSERT_EQ(got.size(), 3000u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], static_cast<unsigned char>(i % 251)) << "byte " << i;
    }
    Sleep(200);
    EXPECT_EQ(RxRingCount(), 0u) << "more arrived than was sent";
}

TEST_F(SerialWin32, ReaderEndsOnStopFlagOrClose) {
    struct Case {
        const char* what;
        bool bStopFlag;
    };
    for (const Case& c : {Case{"stop flag", true}, Case{"close alone", false}}) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_FALSE(SerialDefaultLink().WaitReaderEnded(0)) << "no reader runs";
        std::vector<std::string> lines;
        auto start = Clock::now();
        bool bEnded = false;
        int closed = 1;
        {
            StdoutCapture capture;
            if (c.bStopFlag) {
                g_bStopThread = 1;
                bEnded = SerialDefaultLink().WaitReaderEnded(5000);
            } else {
                closed = SerialClose(m_hComm);
                m_bOpen = false;
                bEnded = SerialDefaultLink().WaitReaderEnded(0);
            }
            lines = capture.Lines();
        }
        long long elapsed = MsSince(start);
        EXPECT_TRUE(bEnded);
        EXPECT_EQ(closed, 1);
        // The reader looks at the flag at least every half second.
        EXPECT_LT(elapsed, 2000) << "ms until the reader ended";
        ExpectLines(lines, {Escaped("Exit Thrd[" + Hex("%08X", m_hComm) + "].....")});
        if (m_bOpen) {
            EXPECT_EQ(Close(), 1);
        }
        // A closed port takes no more writes, and a second close is refused.
        unsigned char byte = 0x55;
        EXPECT_EQ(SerialWrite(m_hComm, &byte, 1), 0);
        EXPECT_EQ(SerialClose(m_hComm), 0);
    }
}

TEST_F(SerialWin32, TraceSwitchAloneDecidesWhetherTrafficIsTraced) {
    ASSERT_NO_FATAL_FAILURE(Open());
    for (int bTrace : {0, 1}) {
        SCOPED_TRACE(bTrace);
        const unsigned char hi[] = {'h', 'i'};
        std::vector<std::string> lines;
        std::vector<unsigned char> got;
        {
            StdoutCapture capture;
            g_bTrace = bTrace;
            if (SerialWrite(m_hComm, hi, sizeof hi) == 1) {
                got = Take(sizeof hi);
            }
            Sleep(100);
            g_bTrace = 0;
            lines = capture.Lines();
        }
        EXPECT_EQ(got, std::vector<unsigned char>(hi, hi + sizeof hi));
        std::string all;
        for (const auto& line : lines) {
            all += line + "\n";
        }
        if (bTrace == 0) {
            EXPECT_EQ(all, "");
        } else {
            EXPECT_NE(all.find("68 69 "), std::string::npos) << all;
            EXPECT_TRUE(std::regex_search(all, std::regex(R"(\[[0-9A-F]{8}\]dwCommEvent [0-9a-f]+\n)"))) << all;
        }
    }
}

TEST_F(SerialWin32, ReopenedPortHasOneReaderAndCarriesBytes) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(Open());
        const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o', static_cast<unsigned char>(round)};
        ASSERT_EQ(SerialWrite(m_hComm, hello, sizeof hello), 1);
        std::vector<unsigned char> got = Take(sizeof hello);
        EXPECT_EQ(got, std::vector<unsigned char>(hello, hello + sizeof hello));
        EXPECT_EQ(Close(), 1);
        EXPECT_TRUE(SerialDefaultLink().WaitReaderEnded(0)) << "the reader outlived Close";
    }
}

TEST_F(SerialWin32, OpenWhileAReaderStillRunsIsRefused) {
    ASSERT_NO_FATAL_FAILURE(Open());
    PortHandle hSecond = INVALID_HANDLE_VALUE;
    std::vector<std::string> lines;
    int result = 0;
    {
        StdoutCapture capture;
        result = SerialOpen(&hSecond, kPort);
        lines = capture.Lines();
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(hSecond, INVALID_HANDLE_VALUE);
    ExpectLines(lines, {Escaped("Error reader of Serial port COM1 still running.")});
    // The first open is untouched: its reader still feeds the ring.
    const unsigned char ping[] = {'p', 'i', 'n', 'g'};
    ASSERT_EQ(SerialWrite(m_hComm, ping, sizeof ping), 1);
    EXPECT_EQ(Take(sizeof ping), std::vector<unsigned char>(ping, ping + sizeof ping));
}

TEST_F(SerialWin32, ProbeAndCloseLeaveNoHandleOpen) {
    ASSERT_TRUE(Peer::SlaveOpenBecomes(0));
    std::vector<std::string> lines;
    int probed = -1;
    int missing = -1;
    {
        StdoutCapture capture;
        probed = PortProbe(kPort);
        missing = PortProbe("COM9");
        lines = capture.Lines();
    }
    EXPECT_EQ(probed, 0);
    EXPECT_EQ(missing, 1);
    EXPECT_TRUE(lines.empty()) << "PortProbe printed " << lines.front();
    EXPECT_TRUE(Peer::SlaveOpenBecomes(0)) << "PortProbe left the line open";

    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_TRUE(Peer::SlaveOpenBecomes(1));
    EXPECT_EQ(Close(), 1);
    EXPECT_TRUE(Peer::SlaveOpenBecomes(0)) << "SerialClose left the line open";

    std::vector<std::string> ports = PortList();
    EXPECT_NE(std::find(ports.begin(), ports.end(), "COM1"), ports.end());
    EXPECT_EQ(std::find(ports.begin(), ports.end(), "COM9"), ports.end());
    for (std::size_t i = 1; i < ports.size(); ++i) {
        EXPECT_LT(std::stoi(ports[i - 1].substr(3)), std::stoi(ports[i].substr(3))) << "PortList order";
    }
    EXPECT_TRUE(Peer::SlaveOpenBecomes(0)) << "PortList left the line open";

    // The system's own list knows the line, free; the missing port it knows
    // neither there nor by name (a prefixed name stands for the plain one).
    const std::vector<PortInfo> infos = PortInfoList();
    const auto com1 = std::find_if(infos.begin(), infos.end(), [](const PortInfo& p) { return p.name == "COM1"; });
    ASSERT_NE(com1, infos.end());
    EXPECT_FALSE(com1->busy);
    EXPECT_TRUE(std::none_of(infos.begin(), infos.end(), [](const PortInfo& p) { return p.name == "COM9"; }));
    const std::optional<PortInfo> byPath = PortInfoFor("\\\\.\\COM1");
    ASSERT_TRUE(byPath.has_value());
    EXPECT_EQ(byPath->name, "COM1");
    EXPECT_FALSE(PortInfoFor("COM9").has_value());
}

TEST_F(SerialWin32, PortHeldOpenIsUsed) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine does not enforce exclusive opens (share mode 0) of a serial device";
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(PortProbe(kPort), 1);
    PortHandle hOther = INVALID_HANDLE_VALUE;
    std::vector<std::string> lines;
    int result = 0;
    {
        StdoutCapture capture;
        result = SerialOpen(&hOther, kPort);
        lines = capture.Lines();
    }
    EXPECT_EQ(result, 1);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Serial port COM1 used.");
}

TEST_F(SerialWin32, WriteOnALineThatNeverDrainsGivesUpOnClose) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Peer::Command("sink"), "ok");
    std::atomic<int> lastResult{-1};   // written by the writer, read here
    std::atomic<long long> total{0};   // written by the writer, read here
    std::thread writer([&] {
        std::vector<unsigned char> run(kRunLength, 0xA5);
        // Bounded: far more than any pseudo-terminal buffers.
        for (int i = 0; i < 4096; ++i) {
            int result = SerialWrite(m_hComm, run.data(), static_cast<std::uint32_t>(run.size()));
            lastResult = result;
            if (result == 0) {
                return;
            }
            total += static_cast<long long>(run.size());
        }
    });
    // Wait until the line has backed up: the writer stops making progress
    // while it still has runs to write.
    long long seen = -1;
    bool bStalled = false;
    auto start = Clock::now();
    while (!bStalled && Clock::now() - start < kPatience) {
        Sleep(300);
        long long now = total.load();
        bStalled = now == seen && lastResult.load() != 0;
        seen = now;
    }
    // No early return: the writer must be released by the close and joined.
    EXPECT_TRUE(bStalled) << "the line never backed up; " << total.load() << " bytes written";
    std::printf("writes stalled after %lld bytes\n", seen);
    auto closeStart = Clock::now();
    EXPECT_EQ(Close(), 1);
    long long closeMs = MsSince(closeStart);
    writer.join();
    EXPECT_EQ(lastResult.load(), 0) << "the stalled write should have given up, after " << total.load() << " bytes";
    EXPECT_LT(closeMs, 5000) << "ms that Close waited for the stalled write";
    ASSERT_EQ(Peer::Command("echo"), "ok");
}

// Runs on a line of its own: the far end closes for good.
TEST_F(SerialWin32, HangUpOfTheFarSideIsSurvived) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const unsigned char probe[] = {'u', 'p'};
    ASSERT_EQ(SerialWrite(m_hComm, probe, sizeof probe), 1);
    ASSERT_EQ(Take(sizeof probe).size(), sizeof probe);

    // The peer hangs up in the middle of the traffic.
    ASSERT_EQ(Peer::Command("hangup 3000"), "ok");
    std::vector<unsigned char> run(kRunLength, 0x5A);
    for (int i = 0; i < 8; ++i) {
        if (SerialWrite(m_hComm, run.data(), static_cast<std::uint32_t>(run.size())) == 0) {
            break;
        }
        Sleep(20);
    }
    auto start = Clock::now();
    while (static_cast<int>(SerialDefaultLink().LineLost()) == 0 && Clock::now() - start < kPatience) {
        Sleep(10);
    }
    ASSERT_EQ(static_cast<int>(SerialDefaultLink().LineLost()), 1) << "the reader did not notice the hang-up";
    while (RxRingGetByte(run.data()) != 0) {
    }

    // A lost line takes no writes and the reader idles rather than spins.
    EXPECT_EQ(SerialWrite(m_hComm, probe, sizeof probe), 0);
    FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
    ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelBefore, &userBefore));
    Sleep(1000);
    ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelAfter, &userAfter));
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    unsigned long long cpu100ns = ticks(kernelAfter) - ticks(kernelBefore) + ticks(userAfter) - ticks(userBefore);
    // A reader spinning on the dead line burns about a whole second here.
    EXPECT_LT(cpu100ns, 5000000ull) << "CPU time (100 ns units) used in one idle second";
    EXPECT_FALSE(SerialDefaultLink().WaitReaderEnded(0)) << "the reader must keep running until stopped";
    EXPECT_EQ(RxRingCount(), 0u);

    std::vector<std::string> lines;
    int closed = 0;
    {
        StdoutCapture capture;
        closed = Close();
        lines = capture.Lines();
    }
    EXPECT_NE(closed, 0);
    EXPECT_TRUE(SerialDefaultLink().WaitReaderEnded(0));
    ExpectLines(lines, {Escaped("Exit Thrd[" + Hex("%08X", m_hComm) + "].....")});
}

}  // namespace
