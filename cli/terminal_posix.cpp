// POSIX side of the command line's platform calls: isatty, SIGINT, SIGTERM
// and SIGHUP, poll() on stdin, /proc/self for the resource line.
#include <dirent.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli/terminal.h"
#include "station/download_record.h"

namespace {

// Written by the signal handler, read by the main thread and the workers:
// the first signal's number, then the count of signals (published with
// release, after the number). Lock-free, so the handler may touch them.
std::atomic<int> g_interruptSignal{0};
std::atomic<int> g_interruptCount{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kEnterPollMs = 50;
// A shell's status for a process ended by signal N is 128 + N.
constexpr int kSignalStatusBase = 128;

extern "C" void OnInterrupt(int signal) {
    int none = 0;
    g_interruptSignal.compare_exchange_strong(none, signal, std::memory_order_relaxed);
    g_interruptCount.fetch_add(1, std::memory_order_release);
    // No record waits any longer for a file another writer holds.
    RecordWaitsAbandon();
}

}  // namespace

bool StdinIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

bool TerminalEnableRedraw() {
    return true;
}

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void InterruptInstall() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Not one-shot and not restarting: every signal is counted, and a wait
    // in poll() returns at once to look at the flag.
    action.sa_flags = 0;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
}

int TerminalRows() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
        return size.ws_row;
    }
    return 24;
}

bool InterruptRequested() {
    return g_interruptCount.load(std::memory_order_acquire) > 0;
}

bool InterruptRepeated() {
    return g_interruptCount.load(std::memory_order_acquire) > 1;
}

int InterruptExitStatus() {
    if (g_interruptCount.load(std::memory_order_acquire) == 0) {
        return kSignalStatusBase + SIGINT;
    }
    return kSignalStatusBase + g_interruptSignal.load(std::memory_order_relaxed);
}

EnterWait WaitForEnter(const std::function<bool()>& stop) {
    if (isatty(STDIN_FILENO) != 0) {
        tcflush(STDIN_FILENO, TCIFLUSH);
    }
    for (;;) {
        if (stop()) {
            return EnterWait::Stopped;
        }
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = poll(&pfd, 1, kEnterPollMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return EnterWait::Pressed;
        }
        if (ready == 0) {
            continue;
        }
        // A terminal in canonical mode hands over whole lines; anything up
        // to the line's end is the answer.
        char line[256];
        ssize_t got = read(STDIN_FILENO, line, sizeof line);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || std::memchr(line, '\n', static_cast<std::size_t>(got)) != nullptr) {
            return EnterWait::Pressed;
        }
    }
}

std::string LastErrorText() {
    return std::strerror(errno);
}

namespace {

// Entries of a /proc/self folder, less the descriptor used to read it.
int ProcEntries(const char* pFolder, bool bOwnDescriptor) {
    int count = 0;
    if (DIR* dir = opendir(pFolder)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        closedir(dir);
    }
    return bOwnDescriptor ? count - 1 : count;
}

}  // namespace

int ProcessDescriptorCount() {
    return ProcEntries("/proc/self/fd", true);
}

int ProcessThreadCount() {
    return ProcEntries("/proc/self/task", false);
}

std::string ProcessResourcesText() {
    const int descriptors = ProcessDescriptorCount();
    unsigned long pages = 0;
    unsigned long resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu %lu", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    const unsigned long residentKiB = resident * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) / 1024;
    char text[128];
    std::snprintf(text, sizeof text, "descriptors %d, resident %lu KiB", descriptors, residentKiB);
    return text;
}
