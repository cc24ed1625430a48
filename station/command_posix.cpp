#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "station/command.h"

extern char** environ;

namespace {

// How much of the program's standard error is kept for its last line.
constexpr std::size_t kErrorTailMost = 4096;

// A pipe whose ends do not leak into other programs started meanwhile.
bool MakePipe(int ends[2]) {
    return pipe2(ends, O_CLOEXEC) == 0;
}

// Writes to the program's standard input without the process being killed
// by SIGPIPE when the program has closed it: the signal is blocked on this
// thread for the write, and one it raised is taken back.
ssize_t WriteNoPipeSignal(int fd, const char* pBytes, std::size_t count) {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    const ssize_t put = write(fd, pBytes, count);
    const int error = errno;
    if (put < 0 && error == EPIPE) {
        const timespec now{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return put;
}

}  // namespace

bool CommandRun(const std::vector<std::string>& argv, const std::string& input, std::chrono::milliseconds limit,
                std::string& failure) {
    int in[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (!MakePipe(in) || !MakePipe(err)) {
        failure = std::string("cannot run: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], err[0], err[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so that a program killed at the limit takes what
    // it started with it; signals back to their defaults.
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (const std::string& word : argv) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(err[1]);
    if (spawned != 0) {
        close(in[1]);
        close(err[0]);
        failure = std::string("cannot run: ") + std::strerror(spawned);
        return false;
    }

    // Feeds the input and keeps the end of standard error until the program
    // has exited and closed its standard error, or the limit is reached.
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    std::string errorText;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Once the program has exited, what it started may still hold its
    // standard error open: that is read a short while more, not waited for.
    auto errorDeadline = deadline;
    int status = 0;
    bool bExited = false;
    bool bErrorOpen = true;
    while (!bExited || bErrorOpen) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= (bExited ? errorDeadline : deadline)) {
            break;
        }
        if (!bExited && waitpid(pid, &status, WNOHANG) == pid) {
            bExited = true;
            errorDeadline = std::min(deadline, now + std::chrono::milliseconds(100));
            continue;
        }
        pollfd fds[2] = {{bErrorOpen ? err[0] : -1, POLLIN, 0}, {in[1], POLLOUT, 0}};
        // Short turns: the program's exit is looked at between them.
        if (poll(fds, 2, 10) < 0 && errno != EINTR) {
            break;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[1024];
            const ssize_t got = read(err[0], buffer, sizeof buffer);
            if (got > 0) {
                errorText.append(buffer, static_cast<std::size_t>(got));
                if (errorText.size() > kErrorTailMost) {
                    errorText.erase(0, errorText.size() - kErrorTailMost);
                }
            } else if (got == 0 || errno != EINTR) {
                bErrorOpen = false;
            }
        }
        if (in[1] >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t put = WriteNoPipeSignal(in[1], input.data() + written, input.size() - written);
            if (put > 0) {
                written += static_cast<std::size_t>(put);
            }
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) {
        close(in[1]);
    }
    close(err[0]);
    if (!bExited) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        failure = "no exit within " + std::to_string(limit.count() / 1000) + " s";
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    failure = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                : "killed by signal " + std::to_string(WTERMSIG(status));
    const std::string last = CommandLastLine(errorText);
    if (!last.empty()) {
        failure += ": " + last;
    }
    return false;
}
