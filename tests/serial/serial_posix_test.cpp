// The POSIX serial link against real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "serial/port_info.h"
#include "serial/port_info_posix.h"
#include "serial/serial_port.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace std::chrono_literals;

// Opens the port as a front end does and closes it at the end of the test.
class OpenPort {
public:
    explicit OpenPort(const std::string& path) {
        g_bStopThread = 0;
        m_result = SerialOpen(&m_hComm, path.c_str());
    }
    ~OpenPort() { Close(); }
    void Close() {
        if (m_result == 0) {
            g_bStopThread = 1;
            SerialClose(m_hComm);
            m_result = 1;
        }
    }
    int Result() const { return m_result; }
    PortHandle Handle() const { return m_hComm; }

private:
    PortHandle m_hComm = kInvalidPort;
    int m_result = 1;
};

std::vector<unsigned char> DrainRing(std::size_t count, std::chrono::milliseconds limit) {
    std::vector<unsigned char> got;
    auto until = std::chrono::steady_clock::now() + limit;
    while (got.size() < count && std::chrono::steady_clock::now() < until) {
        unsigned char byte = 0;
        if (RxRingGetByte(&byte) != 0) {
            got.push_back(byte);
        } else {
            RxRingWait(10);
        }
    }
    return got;
}

TEST(SerialPosix, DiagnosticLinesAndReasonOfMissingPortAndOfSuccessfulOpen) {
    PortHandle slot = 1234;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SerialOpen(&slot, "/dev/no-such-port"), 1);
    std::string missing = testing::internal::GetCapturedStdout();
    EXPECT_EQ(slot, 1234) << "a failed open leaves the slot alone";
    EXPECT_TRUE(std::regex_match(missing, std::regex("Serial open [A-Z][a-z]{2} [ 0-9]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d "
                                                     "/dev/no-such-port\\.\nhandle 0xFFFFFFFF\n"
                                                     "Serial port /dev/no-such-port does not exist\\.\n")))
        << missing;
    EXPECT_EQ(SerialDefaultLink().LastOpenError(), "No such file or directory");

    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    testing::internal::CaptureStdout();
    {
        OpenPort port(pty.Path());
        ASSERT_EQ(port.Result(), 0);
        EXPECT_EQ(SerialDefaultLink().LastOpenError(), "") << "a successful open has no reason";
        std::this_thread::sleep_for(100ms);
        port.Close();
    }
    std::string opened = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(opened, std::regex("Serial open .* " + pty.Path() +
                                                    "\\.\nhandle 0x[0-9A-F]+\n"
                                                    "Start SerialThread\\(\\) handle [0-9a-f]{8}\\.\n"
                                                    "Exit Thrd\\[[0-9A-F]{8}\\]\\.\\.\\.\\.\\.\n")))
        << opened;
}

TEST(SerialPosix, LineSettingsReadBackOnTheDevice) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    // Start from a cooked, slow, flow-controlled line.
    {
        int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        tcgetattr(fd, &tio);
        tio.c_lflag |= ICANON | ECHO;
        tio.c_iflag |= IXON | IXOFF | ICRNL;
        tio.c_cflag |= CRTSCTS | PARENB;
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(fd, TCSANOW, &tio);
        close(fd);
    }
    OpenPort port(pty.Path());
    ASSERT_EQ(port.Result(), 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(port.Handle(), &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(SerialPosix, MebibyteEchoedBackByteExactThroughTheRing) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    OpenPort port(pty.Path());
    ASSERT_EQ(port.Result(), 0);

    std::vector<unsigned char> data(1 << 20);
    std::mt19937 random(7);
    for (auto& byte : data) {
        byte = static_cast<unsigned char>(random());
    }
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        unsigned char buffer[4096];
        while (!stop.load()) {
            pollfd pfd{pty.Master(), POLLIN, 0};
            if (poll(&pfd, 1, 20) > 0 && (pfd.revents & POLLIN) != 0) {
                ssize_t n = read(pty.Master(), buffer, sizeof buffer);
                if (n > 0) {
                    pty.Send(buffer, static_cast<std::size_t>(n));
                }
            }
        }
    });
    // The ring has no back-pressure (a real line brings 11.5 KB/s), so the
    // writer keeps at most a few runs in flight on this far faster pty.
    std::vector<unsigned char> received;
    std::atomic<std::size_t> taken{0};
    std::thread consumer([&] {
        auto until = std::chrono::steady_clock::now() + 60s;
        while (received.size() < data.size() && std::chrono::steady_clock::now() < until) {
            unsigned char byte = 0;
            if (RxRingGetByte(&byte) != 0) {
                received.push_back(byte);
                taken.store(received.size(), std::memory_order_release);
            } else {
                RxRingWait(10);
            }
        }
    });
    for (std::size_t offset = 0; offset < data.size(); offset += 1029) {
        while (offset > taken.load(std::memory_order_acquire) + 3 * 1029) {
            std::this_thread::sleep_for(1ms);
        }
        std::size_t run = std::min<std::size_t>(1029, data.size() - offset);
        ASSERT_EQ(SerialWrite(port.Handle(), data.data() + offset, static_cast<std::uint32_t>(run)), 1);
    }
    consumer.join();
    stop = true;
    echo.join();
    EXPECT_EQ(RxRing.overruns.load(), 0u);
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data) << "echo differs";
}

TEST(SerialPosix, BurstBeyondOneReadIsDrainedWithoutFurtherTraffic) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    OpenPort port(pty.Path());
    ASSERT_EQ(port.Result(), 0);
    std::string burst(3000, '\0');
    for (std::size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<char>('A' + i % 26);
    }
    pty.Send(burst);
    std::this_thread::sleep_for(300ms);
    // All 3000 are in the ring although nothing more arrived after them.
    EXPECT_EQ(RxRingCount(), 3000u);
    auto got = DrainRing(3000, 5s);
    EXPECT_EQ(std::string(got.begin(), got.end()), burst);
}

TEST(SerialPosix, StopFlagEndsTheReader) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    OpenPort port(pty.Path());
    ASSERT_EQ(port.Result(), 0);
    pty.Send("x");
    ASSERT_EQ(DrainRing(1, 2s).size(), 1u);

    g_bStopThread = 1;
    std::this_thread::sleep_for(1200ms);  // the reader looks at least every 500 ms
    pty.Send("late");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(RxRingCount(), 0u) << "a reader still ran after the stop flag";
}

TEST(SerialPosix, PortHeldByAnotherProcessIsUsed) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        // Another program holding the port the usual way: an exclusive lock.
        int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        flock(fd, LOCK_EX);
        (void)!write(ready[1], "k", 1);
        pause();
        _exit(0);
    }
    char token = 0;
    ASSERT_EQ(read(ready[0], &token, 1), 1);

    std::string reason;
    EXPECT_EQ(PortProbe(pty.Path().c_str(), &reason), 1);
    EXPECT_EQ(reason, "Device or resource busy");
    PortHandle slot = kInvalidPort;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SerialOpen(&slot, pty.Path().c_str()), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Serial port " + pty.Path() + " used.\n"), std::string::npos) << out;
    EXPECT_EQ(SerialDefaultLink().LastOpenError(), "Device or resource busy");

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(PortProbe(pty.Path().c_str()), 0) << "free again once the holder is gone";

    // While we hold it, a second opener is refused as well.
    OpenPort port(pty.Path());
    ASSERT_EQ(port.Result(), 0);
    EXPECT_EQ(PortProbe(pty.Path().c_str()), 1);
}

TEST(SerialPosix, ProbeAndCloseLeaveNoDescriptor) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    int before = OpenDescriptorCount();
    testing::internal::CaptureStdout();
    EXPECT_EQ(PortProbe(pty.Path().c_str()), 0);
    EXPECT_EQ(PortProbe("/dev/no-such-port"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "PortProbe prints nothing";
    testing::internal::CaptureStdout();
    {
        OpenPort port(pty.Path());
        ASSERT_EQ(port.Result(), 0);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialPosix, HangUpIsSurvivedWithoutSpinning) {
    auto pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pty->Ok());
    OpenPort port(pty->Path());
    ASSERT_EQ(port.Result(), 0);
    EXPECT_EQ(static_cast<int>(SerialDefaultLink().LineLost()), 0);

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    pty->HangUp();
    std::this_thread::sleep_for(1500ms);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(static_cast<int>(SerialDefaultLink().LineLost()), 1);
    auto cpuMs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    // A reader spinning on the dead line would burn the whole 1.5 s.
    EXPECT_LT(cpuMs(after) - cpuMs(before), 700);

    unsigned char byte = 'x';
    EXPECT_EQ(SerialWrite(port.Handle(), &byte, 1), 0) << "no write on a lost line";
    port.Close();  // still ends the reader and releases the port
    EXPECT_EQ(SerialWrite(port.Handle(), &byte, 1), 0) << "no write through a closed port";
}

// A reader held up past Close's wait (as by a slow system call) keeps the
// port's descriptor until it ends; the next open is refused while it runs,
// so no second reader ever feeds the ring, and once free it ends on its own
// open's stop although the process-wide flag is 0 again.
TEST(SerialPosix, ReaderHeldPastCloseIsNeverRevived) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    OpenPort port(pty.Path());
    ASSERT_EQ(port.Result(), 0);
    SerialHoldReadersForTest(true);
    testing::internal::CaptureStdout();
    port.Close();  // gives up waiting after its bounded wait
    EXPECT_FALSE(SerialDefaultLink().WaitReaderEnded(0)) << "the held reader runs on";

    PortHandle slot = kInvalidPort;
    g_bStopThread = 0;
    EXPECT_EQ(SerialOpen(&slot, pty.Path().c_str()), 1);
    EXPECT_EQ(slot, kInvalidPort);
    SerialHoldReadersForTest(false);
    EXPECT_TRUE(SerialDefaultLink().WaitReaderEnded(3000)) << "the old reader was revived";
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error reader of Serial port " + pty.Path() + " still running.\n"), std::string::npos) << out;

    // The reader released the descriptor as it ended: the port opens again,
    // and each byte arrives once.
    OpenPort again(pty.Path());
    ASSERT_EQ(again.Result(), 0);
    pty.Send("0123456789");
    auto got = DrainRing(10, 2s);
    EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789");
}

// An open refused because the link's port is still open leaves that port
// alone: its slot, its reader and its line.
TEST(SerialPosix, RefusedOpenLeavesTheOpenPortAlone) {
    PtyPair live;
    PtyPair other;
    ASSERT_TRUE(live.Ok() && other.Ok());
    OpenPort port(live.Path());
    ASSERT_EQ(port.Result(), 0);
    PortHandle slot = port.Handle();
    testing::internal::CaptureStdout();
    EXPECT_EQ(SerialOpen(&slot, other.Path().c_str()), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error reader of Serial port " + other.Path() + " still running.\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Serial open"), std::string::npos) << "refused before the port was touched: " << out;
    EXPECT_EQ(slot, port.Handle());
    EXPECT_EQ(PortProbe(other.Path().c_str()), 0) << "the refused port was left open";

    live.Send("still here");
    auto got = DrainRing(10, 2s);
    EXPECT_EQ(std::string(got.begin(), got.end()), "still here");
    EXPECT_FALSE(SerialDefaultLink().LineLost());
    EXPECT_EQ(SerialWrite(port.Handle(), "ok", 2), 1);
    EXPECT_EQ(live.Receive(2, 2s), (std::vector<unsigned char>{'o', 'k'}));
}

// Links of their own run side by side: each ring gets its own port's bytes
// only, and closing one leaves the others running.
TEST(SerialPosix, LinksOnSeveralPortsStayApart) {
    constexpr int kLinks = 4;
    std::vector<std::unique_ptr<PtyPair>> ptys;
    std::vector<std::unique_ptr<SerialLink>> links;
    std::vector<PortHandle> handles(kLinks, kInvalidPort);
    testing::internal::CaptureStdout();
    for (int i = 0; i < kLinks; ++i) {
        ptys.push_back(std::make_unique<PtyPair>());
        ASSERT_TRUE(ptys.back()->Ok());
        links.push_back(std::make_unique<SerialLink>());
        ASSERT_EQ(links.back()->Open(ptys.back()->Path().c_str(), &handles[i]), 0);
    }
    std::vector<std::thread> senders;
    for (int i = 0; i < kLinks; ++i) {
        senders.emplace_back([&, i] { ptys[i]->Send(std::string(3000, static_cast<char>('a' + i))); });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    ASSERT_EQ(links[0]->Close(handles[0]), 1);
    EXPECT_EQ(links[0]->Write(handles[0], "x", 1), 0) << "a write through a closed link";
    for (int i = 1; i < kLinks; ++i) {
        RxRingStore& ring = links[i]->Ring();
        std::string got;
        for (auto until = std::chrono::steady_clock::now() + 5s;
             got.size() < 3000 && std::chrono::steady_clock::now() < until;) {
            unsigned char byte = 0;
            if (ring.GetByte(&byte) != 0) {
                got.push_back(static_cast<char>(byte));
            } else {
                ring.Wait(10);
            }
        }
        EXPECT_EQ(got, std::string(3000, static_cast<char>('a' + i))) << "link " << i;
        EXPECT_EQ(links[i]->Write(handles[i], "y", 1), 1);
    }
    links.clear();  // each closes its port
    testing::internal::GetCapturedStdout();
    for (auto& pty : ptys) {
        EXPECT_EQ(PortProbe(pty->Path().c_str()), 0);
    }
}

}  // namespace

// udev's layout under /dev/serial, made in a folder of our own: links to
// the device, absolute and relative (as udev makes them), are found in
// by-id and by-path; links to another device and dangling ones are passed
// over; a link given as a port name stands for its target.
TEST(SerialPosix, StableLinksLeadToTheirDevice) {
    namespace fs = std::filesystem;
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    std::string folder = ::testing::TempDir() + "port_links_XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const fs::path root(folder);
    const fs::path byId = root / "by-id";
    const fs::path byPath = root / "by-path";
    fs::create_directories(byId);
    fs::create_directories(byPath);
    const fs::path adapter = byId / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const fs::path socket = byPath / "pci-0000:00:14.0-usb-0:2:1.0-port0";
    const fs::path gone = byId / "usb-Gone-if00-port0";
    fs::create_symlink(pty.Path(), adapter);
    fs::create_directory_symlink(fs::path(pty.Path()).parent_path(), root / "pts");
    fs::create_symlink(fs::path("../pts") / fs::path(pty.Path()).filename(), socket);
    fs::create_symlink("/dev/null", byId / "usb-Other-if00-port0");
    fs::create_symlink(root / "unplugged", gone);

    const struct {
        std::string device, byId, byPath;
    } links[] = {
        {pty.Path(), adapter.string(), socket.string()},
        {"/dev/null", (byId / "usb-Other-if00-port0").string(), ""},
        {"/dev/zero", "", ""},
    };
    for (const auto& c : links) {
        SCOPED_TRACE(c.device);
        const PortLinks found = PortLinksIn(root.string(), c.device);
        EXPECT_EQ(found.byId, c.byId);
        EXPECT_EQ(found.byPath, c.byPath);
    }

    const std::pair<std::string, std::string> devices[] = {
        {adapter.string(), pty.Path()},
        {socket.string(), pty.Path()},
        {pty.Path(), pty.Path()},
        {gone.string(), gone.string()},
        {"/dev/ttyUSB-kelvora-none", "/dev/ttyUSB-kelvora-none"},
    };
    for (const auto& [name, device] : devices) {
        EXPECT_EQ(PortDevice(name), device) << name;
    }
    fs::remove_all(root);
}
