// POSIX backend of the serial link: termios, poll() and a std::thread reader
// per open.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "serial/port_state.h"
#include "serial/serial_port.h"

namespace {

// The default link's reader must see g_bStopThread, which nobody wakes it
// for, within half a second. A link of its own is stopped only by its Close
// and its next open, which both wake the reader: its wait is a fallback, long
// so that many idle ports cost next to nothing.
constexpr int kReaderWaitMs = 500;
constexpr int kOwnLinkReaderWaitMs = 5000;
constexpr std::size_t kReadChunk = 1024;
constexpr int kWriteSliceMs = 100;

// Opens the device the way SerialOpen and PortProbe both do: exclusive
// (TIOCEXCL for other openers, a non-blocking flock against programs that
// take one), not as controlling terminal, non-blocking so a modem line
// never holds the open. On failure -1, and *pError is the errno value of
// the refusal; a port another program holds is EBUSY, however it holds it.
int OpenExclusive(const char* pName, int* pError) {
    *pError = 0;
    int fd = open(pName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *pError = errno;
        return -1;
    }
    int exclusive = 0;
    // Root passes TIOCEXCL of another holder, so look at the flag too.
    bool held = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    if (held || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *pError = EBUSY;
    } else if (ioctl(fd, TIOCEXCL) != 0) {
        *pError = errno;  // no terminal at all: ENOTTY
    }
    if (*pError != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The open found no device by that name (rather than one it may not use).
bool IsMissingPort(int error) {
    return error == ENOENT || error == ENXIO || error == ENODEV;
}

void CloseExclusive(int fd) {
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    close(fd);
}

// Raw 115200 8N1, receiver on, modem lines ignored, no flow control. With
// a held line the close must leave the lines alone: no hang-up on close.
bool ConfigureLine(int fd, bool bHoldLines) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (bHoldLines) {
        tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// DTR up, RTS down, or the held line at its own level. A pseudo-terminal
// has no modem lines and answers ENOTTY or EINVAL: that alone is tolerated
// (a held line's port was checked for lines when it was set up).
bool SetModemLines(int fd, unsigned heldLine, bool bHeldAsserted) {
    const bool bDtr = heldLine == kLineDtr ? bHeldAsserted : true;
    const bool bRts = heldLine == kLineRts ? bHeldAsserted : false;
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    if (ioctl(fd, bDtr ? TIOCMBIS : TIOCMBIC, &dtr) == 0 && ioctl(fd, bRts ? TIOCMBIS : TIOCMBIC, &rts) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL;
}

// The kLine* bits and the system's TIOCM_* bits.
constexpr std::pair<unsigned, int> kLineBits[] = {{kLineDtr, TIOCM_DTR}, {kLineRts, TIOCM_RTS}, {kLineCts, TIOCM_CTS},
                                                  {kLineDsr, TIOCM_DSR}, {kLineDcd, TIOCM_CAR}, {kLineRi, TIOCM_RNG}};

int SystemLines(unsigned lines) {
    int bits = 0;
    for (const auto& [line, bit] : kLineBits) {
        bits |= (lines & line) != 0 ? bit : 0;
    }
    return bits;
}

// A modem wait is interrupted by this signal, whose handler does nothing:
// TIOCMIWAIT then returns EINTR.
int ModemWaitSignal() {
    static const int signal = [] {
        const int number = SIGRTMIN + 1;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the wait must end
        sigaction(number, &action, nullptr);
        return number;
    }();
    return signal;
}

// Runs call(fd) on the link's open port while no close can release it.
template <typename Call>
bool WithOpenPort(LinkCore& core, std::string* pReason, Call call) {
    return WithOpenPort(core, pReason, call, [] { return std::string(std::strerror(errno)); });
}

void MarkLineLost(LinkCore& core) {
    core.lineLost.store(1, std::memory_order_release);
    // A worker waiting for bytes looks at its link again at once.
    core.ring.WakeConsumer();
}

}  // namespace

void BackendInit(LinkCore& core) {
    // One per link, made with it, so that opens and closes never change the
    // number of open descriptors.
    core.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void BackendFree(LinkCore& core) {
    // A reader still running holds the core, so none runs here, unless
    // this is the reader itself letting go of the last share as it ends.
    if (core.reader.joinable()) {
        if (core.reader.get_id() == std::this_thread::get_id()) {
            core.reader.detach();
        } else {
            core.reader.join();
        }
    }
    if (core.wakeFd >= 0) {
        close(core.wakeFd);
    }
}

void BackendReleaseHandle(PortHandle hPort) {
    CloseExclusive(hPort);
}

void SerialSleep(unsigned ms) {
    usleep(static_cast<useconds_t>(ms) * 1000u);
}

void SerialThread(void* pOpen) {
    // The reader owns its share of the open record from here on.
    std::unique_ptr<std::shared_ptr<OpenRecord>> pShare(static_cast<std::shared_ptr<OpenRecord>*>(pOpen));
    OpenRecord& open = **pShare;
    LinkCore& core = *open.pCore;
    const PortHandle& hPort = open.hPort;
    DiagPortScope diagPort(open.name.c_str());
    SerialDiag("Start SerialThread() handle %08x.\n", static_cast<unsigned>(hPort));

    unsigned char buffer[kReadChunk];
    for (;;) {
        ReaderHoldPoint();
        if (ReaderStopRequested(open)) {
            break;
        }
        if (core.lineLost.load(std::memory_order_acquire) != 0) {
            // The line is gone: nothing more to read, only the stop to await.
            SerialSleep(50);
            continue;
        }
        pollfd fds[2] = {{hPort, POLLIN, 0}, {core.wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, core.bDefault ? kReaderWaitMs : kOwnLinkReaderWaitMs);
        const pollfd& pfd = fds[0];
        if (ready < 0) {
            if (errno != EINTR) {
                MarkLineLost(core);
            }
            continue;
        }
        if (ready == 0) {
            continue;
        }
        if ((pfd.revents & POLLIN) != 0) {
            // Drain what has arrived: keep reading while reads come back full.
            // A raw line with nothing left answers 0, not an error.
            for (;;) {
                ssize_t got = read(hPort, buffer, sizeof buffer);
                if (got < 0) {
                    if (errno != EAGAIN && errno != EINTR) {
                        MarkLineLost(core);  // EIO: the far side hung up
                    }
                    break;
                }
                // Captured before the ring gets them: a run that ends on the
                // last of these bytes then finds them in its record.
                core.capture.Append(buffer, static_cast<std::size_t>(got));
                for (ssize_t i = 0; i < got; ++i) {
                    TraceLog(g_bTrace.load(std::memory_order_relaxed), "%02X ", buffer[i]);
                }
                core.ring.PutBytes(buffer, static_cast<std::size_t>(got));
                if (static_cast<std::size_t>(got) < sizeof buffer) {
                    break;
                }
            }
        }
        if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            MarkLineLost(core);
        }
    }
    SerialDiag("Exit Thrd[%08X].....\n", static_cast<unsigned>(hPort));
    ReaderFinished(open);
    core.state.ReaderEnded();
}

int BackendOpen(LinkCore& core, const char* pName, PortHandle* pSlot) {
    std::lock_guard<std::mutex> lock(core.openMutex);
    DiagPortScope diagPort(pName);
    core.openError.clear();
    if (!EarlierReaderGone(core, pName)) {
        // The earlier open's descriptor, exclusive, still holds the port.
        return OpenRefused(core, std::strerror(EBUSY));
    }
    if (core.reader.joinable()) {
        core.reader.join();
    }

    SerialDiag("Serial open %s %s %s.\n", __DATE__, __TIME__, pName);
    int error = 0;
    int fd = OpenExclusive(pName, &error);
    SerialDiag("handle 0x%X\n", static_cast<unsigned>(fd));
    if (fd < 0) {
        if (IsMissingPort(error)) {
            SerialDiag("Serial port %s does not exist.\n", pName);
        } else {
            SerialDiag("Serial port %s used.\n", pName);
        }
        return OpenRefused(core, std::strerror(error));
    }
    *pSlot = fd;

    termios probe{};
    if (tcgetattr(fd, &probe) != 0) {
        error = errno;
        SerialDiag("Error get Serial port %s state.\n", pName);
        CloseExclusive(fd);
        *pSlot = kInvalidPort;
        return OpenRefused(core, std::strerror(error));
    }
    const unsigned heldLine = core.heldLine.load(std::memory_order_acquire);
    if (!ConfigureLine(fd, heldLine != 0)) {
        SerialDiag("Error setting to Serial port %s.\n", pName);
        CloseExclusive(fd);
        return OpenRefused(core, kOpenNotConfigured);
    }
    if (!SetModemLines(fd, heldLine, core.bHeldAsserted.load(std::memory_order_relaxed))) {
        SerialDiag("Error setting modem lines of Serial port %s.\n", pName);
        CloseExclusive(fd);
        return OpenRefused(core, kOpenNotConfigured);
    }
    // No producer runs now, so the ring can be emptied from this side.
    core.ring.Reset();
    core.lineLost.store(0, std::memory_order_release);
    if (core.wakeFd >= 0) {
        eventfd_t stale = 0;
        eventfd_read(core.wakeFd, &stale);
    }
    auto pOpen = std::make_shared<OpenRecord>();
    pOpen->pCore = core.shared_from_this();
    pOpen->name = pName;
    pOpen->hPort = fd;
    core.state.Publish(fd);
    core.state.ReaderStarted();
    try {
        auto pShare = std::make_unique<std::shared_ptr<OpenRecord>>(pOpen);
        core.reader = std::thread(SerialThread, static_cast<void*>(pShare.get()));
        pShare.release();  // the reader owns it now
    } catch (const std::system_error&) {
        core.state.ReaderEnded();
        SerialDiag("Error start SerialThread() for Serial port %s.\n", pName);
        core.state.BeginClose(fd);
        CloseExclusive(fd);
        core.state.EndClose();
        return OpenRefused(core, kOpenNotConfigured);
    }
    core.pOpen = std::move(pOpen);
    return 0;
}

int BackendWrite(LinkCore& core, PortHandle hPort, const void* pBytes, std::uint32_t count) {
    if (!core.state.BeginWrite(hPort)) {
        return 0;
    }
    const auto* p = static_cast<const unsigned char*>(pBytes);
    std::uint32_t left = count;
    int result = 1;
    while (left > 0) {
        ssize_t put = write(hPort, p, left);
        if (put > 0) {
            p += put;
            left -= static_cast<std::uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno == EAGAIN) {
            // The line is slower than we are; wait for room, but give up
            // when the port is being closed or the line has gone.
            pollfd pfd{hPort, POLLOUT, 0};
            int ready = poll(&pfd, 1, kWriteSliceMs);
            if (core.state.Closing() || core.lineLost.load(std::memory_order_acquire) != 0 ||
                (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
                result = 0;
                break;
            }
            continue;
        }
        result = 0;
        break;
    }
    core.state.EndWrite();
    return result;
}

int BackendClose(LinkCore& core, PortHandle hPort) {
    std::lock_guard<std::mutex> lock(core.openMutex);
    if (!core.state.BeginClose(hPort)) {
        return 0;
    }
    // The reader ends at its next turn (its own stop is set, and it is
    // woken for it); the descriptor is released only after it, so its
    // number cannot be reused under a reader or a writer. A reader that
    // does not end in time closes the descriptor itself when it does.
    core.pOpen->bStop.store(true, std::memory_order_release);
    if (core.wakeFd >= 0) {
        eventfd_write(core.wakeFd, 1);
    }
    core.ring.WakeConsumer();
    const bool bEnded = core.state.WaitReaderEnded(kReaderEndWaitMs);
    if (bEnded && core.reader.joinable()) {
        core.reader.join();
    }
    ReleaseAfterReader(*core.pOpen, bEnded);
    core.state.EndClose();
    return 1;
}

bool PortPresent(const char* pName) {
    struct stat info {};
    return stat(pName, &info) == 0 && S_ISCHR(info.st_mode);
}

int PortProbe(const char* pName, std::string* pReason) {
    int error = 0;
    int fd = OpenExclusive(pName, &error);
    if (fd < 0) {
        if (pReason != nullptr) {
            *pReason = std::strerror(error);
        }
        return 1;
    }
    CloseExclusive(fd);
    return 0;
}

namespace {

std::vector<std::string> DevicesWithPrefix(const char* pPrefix) {
    std::vector<std::string> names;
    DIR* dir = opendir("/dev");
    if (dir == nullptr) {
        return names;
    }
    std::size_t prefixLength = std::strlen(pPrefix);
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, pPrefix, prefixLength) == 0) {
            names.push_back(std::string("/dev/") + entry->d_name);
        }
    }
    closedir(dir);
    // Natural order: ttyUSB2 before ttyUSB10.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

// Most machines have /dev/ttyS0..31 whether or not a UART sits behind them;
// only those the driver reports a real UART type for are worth listing.
bool IsRealUart(const std::string& name) {
    int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    serial_struct info{};
    bool real = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return real;
}

}  // namespace

std::vector<std::string> PortList() {
    std::vector<std::string> ports;
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const std::string& name : DevicesWithPrefix(prefix)) {
            if (PortProbe(name.c_str()) == 0) {
                ports.push_back(name);
            }
        }
    }
    for (const std::string& name : DevicesWithPrefix("ttyS")) {
        if (IsRealUart(name) && PortProbe(name.c_str()) == 0) {
            ports.push_back(name);
        }
    }
    return ports;
}

bool SerialLink::ModemLines(unsigned& lines, std::string* pReason) {
    int bits = 0;
    if (!WithOpenPort(*m_pCore, pReason, [&bits](int fd) { return ioctl(fd, TIOCMGET, &bits) == 0; })) {
        return false;
    }
    lines = 0;
    for (const auto& [line, bit] : kLineBits) {
        lines |= (bits & bit) != 0 ? line : 0;
    }
    return true;
}

bool SerialLink::SetModemLine(unsigned line, bool bAsserted, std::string* pReason) {
    const int bits = SystemLines(line);
    return WithOpenPort(*m_pCore, pReason,
                        [&bits, bAsserted](int fd) { return ioctl(fd, bAsserted ? TIOCMBIS : TIOCMBIC, &bits) == 0; });
}

ModemWait SerialLink::WaitModemChange(unsigned mask) {
    LinkCore& core = *m_pCore;
    ModemWaitSignal();  // its handler is in place before a stop sends it
    // The wait runs on a descriptor of its own, so that a close of the port
    // never waits for a line to change; a stop interrupts it first.
    int waitFd = -1;
    {
        std::lock_guard<std::mutex> lock(core.modemWaitMutex);
        if (core.bModemWaitStopped) {
            return ModemWait::Stopped;
        }
        if (!WithOpenPort(core, nullptr, [&waitFd](int fd) { return (waitFd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) >= 0; })) {
            return ModemWait::Failed;
        }
        core.bModemWaiting = true;
        core.modemWaiter = pthread_self();
    }
    // A stop's signal that comes before the ioctl has begun is lost; the
    // stop sends it again until this wait has ended.
    const int result = ioctl(waitFd, TIOCMIWAIT, SystemLines(mask));
    const int error = errno;
    close(waitFd);
    std::lock_guard<std::mutex> lock(core.modemWaitMutex);
    core.bModemWaiting = false;
    if (core.bModemWaitStopped) {
        return ModemWait::Stopped;
    }
    if (result == 0 || error == EINTR) {
        return ModemWait::Changed;
    }
    return error == EINVAL || error == ENOTTY || error == ENOSYS ? ModemWait::Refused : ModemWait::Failed;
}

void SerialLink::StopModemWait() {
    LinkCore& core = *m_pCore;
    const int signal = ModemWaitSignal();
    std::unique_lock<std::mutex> lock(core.modemWaitMutex);
    core.bModemWaitStopped = true;
    // A signal sent just before the waiter entered its ioctl is lost: send
    // again until it has left.
    while (core.bModemWaiting) {
        pthread_kill(core.modemWaiter, signal);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        lock.lock();
    }
}
