#include "emulator_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, bool captureStdout)
{
    int pipeFds[2] = {-1, -1};
    if (captureStdout && pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    }
    if (captureStdout) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    } else if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (captureStdout) {
        close(pipeFds[1]);
        m_stdout = pipeFds[0];
    }
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_stdout >= 0) {
        close(m_stdout);
    }
}

void ChildProcess::Signal(int signal) const
{
    if (m_pid > 0) {
        kill(m_pid, signal);
    }
}

bool ChildProcess::WaitExit(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (m_pid > 0) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
            return true;
        }
        if (done < 0 || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return line;
        }
        if (m_stdout < 0) {
            return std::nullopt;
        }
        pollfd pfd{m_stdout, POLLIN, 0};
        if (poll(&pfd, 1, MillisecondsLeft(deadline)) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t got = read(m_stdout, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string ChildProcess::ReadRest(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (m_stdout >= 0) {
        pollfd pfd{m_stdout, POLLIN, 0};
        if (poll(&pfd, 1, MillisecondsLeft(deadline)) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t got = read(m_stdout, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
    std::string rest;
    rest.swap(m_pending);
    return rest;
}

Emulator::Emulator(const std::vector<std::string>& options)
    : m_process(
          [&options] {
              std::vector<std::string> argv{STB_EMULATOR_PATH};
              argv.insert(argv.end(), options.begin(), options.end());
              return argv;
          }(),
          -1, -1, true)
{
    if (auto line = m_process.ReadLine(5s)) {
        m_ptyPath = *line;
    }
}

std::string Emulator::Finish(std::chrono::milliseconds limit)
{
    if (!m_process.WaitExit(limit)) {
        return "";
    }
    const std::string rest = m_process.ReadRest(1s);
    const auto at = rest.find("stb-emulator: sessions=");
    if (at == std::string::npos) {
        return "";
    }
    return rest.substr(at, rest.find('\n', at) - at);
}

Port::Port(const std::string& path)
{
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        return;
    }
    termios tio{};
    if (tcgetattr(m_fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_fd, TCSANOW, &tio);
    }
}

Port::~Port()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void Port::Write(std::string_view text)
{
    Write(std::vector<std::uint8_t>(text.begin(), text.end()));
}

void Port::Write(const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    const auto deadline = Clock::now() + 5s;
    while (done < bytes.size() && m_fd >= 0 && Clock::now() < deadline) {
        const ssize_t wrote = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
            m_written += static_cast<std::uint64_t>(wrote);
        } else if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd pfd{m_fd, POLLOUT, 0};
            poll(&pfd, 1, 10);
        }
    }
}

bool Port::ReadSome(std::chrono::milliseconds wait)
{
    if (m_fd < 0 || m_hungUp) {
        return false;
    }
    pollfd pfd{m_fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(wait.count()));
    if (ready <= 0) {
        return true;
    }
    char buffer[4096];
    const ssize_t got = read(m_fd, buffer, sizeof buffer);
    if (got > 0) {
        m_received.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        // Readable without data: only a hang-up does that.
        if (pfd.revents & POLLHUP) {
            m_hungUp = true;
        }
        return !m_hungUp;
    }
    m_hungUp = true;  // EIO, or end of file
    return false;
}

bool Port::ReadUntil(std::string_view marker, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (m_received.find(marker) == std::string::npos) {
        if (Clock::now() >= deadline || !ReadSome(10ms)) {
            return m_received.find(marker) != std::string::npos;
        }
    }
    return true;
}

bool Port::ReadUntilAnyOf(std::string_view bytes, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (m_received.find_first_of(bytes) == std::string::npos) {
        if (Clock::now() >= deadline || !ReadSome(10ms)) {
            return m_received.find_first_of(bytes) != std::string::npos;
        }
    }
    return true;
}

void Port::ReadUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    auto lastData = Clock::now();
    std::size_t size = m_received.size();
    while (Clock::now() < deadline && Clock::now() - lastData < quiet) {
        if (!ReadSome(5ms)) {
            return;
        }
        if (m_received.size() != size) {
            size = m_received.size();
            lastData = Clock::now();
        }
    }
}

bool Port::ReadUntilHangup(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!m_hungUp && Clock::now() < deadline) {
        ReadSome(10ms);
    }
    return m_hungUp;
}

bool Port::SyncToMenu(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (m_received.find(kMenuLine) == std::string::npos && Clock::now() < deadline && !m_hungUp) {
        Write(" ");
        ++m_spaces;
        ReadSome(5ms);
    }
    return m_received.find(kMenuLine) != std::string::npos;
}

std::string Port::Take()
{
    std::string taken;
    taken.swap(m_received);
    return taken;
}
