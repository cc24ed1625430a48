#include "emulator/line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Writes ahead of the pacing clock by at most this much, so that the loop
// wakes about once per millisecond instead of once per byte.
constexpr auto kPacingSlack = std::chrono::milliseconds(1);
// Bytes handed to one write() call.
constexpr std::size_t kMaxChunk = 16384;

std::string ErrnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool MakeRaw(int fd, bool setSpeed, std::string& error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = ErrnoText("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (setSpeed) {
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = ErrnoText("tcsetattr");
        return false;
    }
    return true;
}

bool SetNonBlocking(int fd, std::string& error)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = ErrnoText("fcntl");
        return false;
    }
    return true;
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        Reset(other.m_fd);
        other.m_fd = -1;
    }
    return *this;
}

void FileDescriptor::Reset(int fd)
{
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = fd;
}

std::unique_ptr<Line> Line::CreatePty(std::string& error)
{
    auto line = std::make_unique<Line>();
    line->m_io.Reset(posix_openpt(O_RDWR | O_NOCTTY));
    if (!line->m_io.Valid()) {
        error = ErrnoText("posix_openpt");
        return nullptr;
    }
    if (grantpt(line->Fd()) != 0 || unlockpt(line->Fd()) != 0) {
        error = ErrnoText("grantpt/unlockpt");
        return nullptr;
    }
    char name[128] = {};
    if (ptsname_r(line->Fd(), name, sizeof name) != 0) {
        error = ErrnoText("ptsname_r");
        return nullptr;
    }
    line->m_name = name;
    // Without a slave descriptor open, the master reports a hang-up and every
    // read fails; holding one keeps the line up between clients.
    line->m_slave.Reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!line->m_slave.Valid()) {
        error = ErrnoText(name);
        return nullptr;
    }
    // The terminal settings are shared by both sides; raw mode keeps the line
    // discipline from echoing, translating or buffering anything.
    if (!MakeRaw(line->m_slave.Get(), false, error) || !SetNonBlocking(line->Fd(), error)) {
        return nullptr;
    }
    fcntl(line->Fd(), F_SETFD, FD_CLOEXEC);
    return line;
}

std::unique_ptr<Line> Line::OpenDevice(const std::string& path, std::string& error)
{
    auto line = std::make_unique<Line>();
    line->m_device = true;
    line->m_name = path;
    line->m_io.Reset(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line->m_io.Valid()) {
        error = ErrnoText(path.c_str());
        return nullptr;
    }
    if (!MakeRaw(line->Fd(), true, error)) {
        return nullptr;
    }
    tcflush(line->Fd(), TCIOFLUSH);
    return line;
}

void Line::SetBaud(unsigned baud)
{
    m_byteTime = baud == 0 ? std::chrono::nanoseconds(0)
                           : std::chrono::nanoseconds(10'000'000'000LL / baud);
}

LineRead Line::Read(std::vector<std::uint8_t>& bytes)
{
    if (!Open()) {
        return LineRead::Gone;
    }
    std::uint8_t buffer[4096];
    const ssize_t got = read(Fd(), buffer, sizeof buffer);
    if (got > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
        return LineRead::Data;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return LineRead::Nothing;
    }
    return LineRead::Gone;
}

Clock::time_point Line::StampArrival(Clock::time_point now)
{
    if (m_byteTime.count() == 0) {
        return now;
    }
    m_rxClock = std::max(m_rxClock, now) + m_byteTime;
    return m_rxClock;
}

void Line::Send(std::string_view text, Clock::time_point notBefore)
{
    for (char c : text) {
        m_queue.push_back({static_cast<std::uint8_t>(c), notBefore});
    }
}

void Line::Send(std::span<const std::uint8_t> bytes, Clock::time_point notBefore)
{
    for (std::uint8_t b : bytes) {
        m_queue.push_back({b, notBefore});
    }
}

Clock::time_point Line::SlotFor(const Pending& pending, Clock::time_point now) const
{
    // A byte starts when the line is free and its answer may go, and never
    // before now.
    return std::max({m_txClock, pending.notBefore, now});
}

bool Line::Flush(Clock::time_point now)
{
    if (!Open()) {
        m_queue.clear();
        return false;
    }
    m_blocked = false;
    std::vector<std::uint8_t> chunk;
    Clock::time_point clock = m_txClock;
    while (chunk.size() < m_queue.size() && chunk.size() < kMaxChunk) {
        const Pending& pending = m_queue[chunk.size()];
        const Clock::time_point slot = std::max({clock, pending.notBefore, now});
        if (slot > now + kPacingSlack) {
            break;
        }
        clock = slot + m_byteTime;
        chunk.push_back(pending.byte);
    }
    if (chunk.empty()) {
        return true;
    }
    const ssize_t wrote = write(Fd(), chunk.data(), chunk.size());
    if (wrote < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            m_blocked = true;
            return true;
        }
        return false;
    }
    // Only what the line took moves the clock.
    for (ssize_t i = 0; i < wrote; ++i) {
        m_txClock = SlotFor(m_queue.front(), now) + m_byteTime;
        m_queue.pop_front();
    }
    m_blocked = static_cast<std::size_t>(wrote) < chunk.size();
    return true;
}

void Line::FlushAll(Clock::time_point deadline)
{
    while (!m_queue.empty() && Open()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline || !Flush(now)) {
            return;
        }
        if (m_blocked) {
            pollfd pfd{Fd(), POLLOUT, 0};
            poll(&pfd, 1, 10);
        } else if (auto next = NextSendTime(Clock::now())) {
            std::this_thread::sleep_until(std::min(*next, deadline));
        }
    }
}

std::optional<Clock::time_point> Line::NextSendTime(Clock::time_point now) const
{
    if (m_queue.empty() || m_blocked) {
        return std::nullopt;
    }
    return SlotFor(m_queue.front(), now) - kPacingSlack;
}

Clock::time_point Line::TransmitDoneAt(Clock::time_point now) const
{
    Clock::time_point clock = std::max(m_txClock, now);
    for (const Pending& pending : m_queue) {
        clock = std::max(clock, pending.notBefore) + m_byteTime;
    }
    return clock;
}

std::size_t Line::Unread() const
{
    int count = 0;
    if (m_slave.Valid()) {
        // The slave's input queue holds what the client has yet to read.
        if (ioctl(m_slave.Get(), FIONREAD, &count) != 0) {
            return 0;
        }
    } else if (m_device && m_io.Valid()) {
        if (ioctl(m_io.Get(), TIOCOUTQ, &count) != 0) {
            return 0;
        }
    }
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

void Line::Discard()
{
    m_queue.clear();
    m_blocked = false;
}

void Line::Hangup()
{
    m_queue.clear();
    m_blocked = false;
    m_io.Reset();
    m_slave.Reset();
}
