// Windows side of the command line's platform calls: console modes, the
// console control handler, console input records, handle count and working
// set.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/terminal.h"
#include "station/download_record.h"

namespace {

// Written by the console control handler (a thread the system starts), read
// by the main thread and the workers: how many requests to end came.
std::atomic<int> g_interruptCount{0};

constexpr DWORD kEnterPollMs = 50;
// As a POSIX shell reports SIGINT.
constexpr int kInterruptedStatus = 130;

BOOL WINAPI OnConsoleControl(DWORD type) {
    // No record waits any longer for a file another writer holds.
    RecordWaitsAbandon();
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_interruptCount.fetch_add(1, std::memory_order_acq_rel);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        g_interruptCount.fetch_add(1, std::memory_order_acq_rel);
        // The system ends the process as soon as this handler returns (and
        // anyway when its few seconds are up): holding on here gives the
        // main thread that time to cancel, write the records and close the
        // ports. The process's exit ends this thread with it.
        Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool StdinIsTerminal() {
    return IsConsole(STD_INPUT_HANDLE);
}

bool StdoutIsTerminal() {
    return IsConsole(STD_OUTPUT_HANDLE);
}

bool TerminalEnableRedraw() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode) == 0) {
        return false;
    }
    constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
    return (mode & kVirtualTerminal) != 0 || SetConsoleMode(output, mode | kVirtualTerminal) != 0;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 80;
}

int TerminalRows() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0) {
        return info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return 24;
}

void InterruptInstall() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool InterruptRequested() {
    return g_interruptCount.load(std::memory_order_acquire) > 0;
}

bool InterruptRepeated() {
    return g_interruptCount.load(std::memory_order_acquire) > 1;
}

int InterruptExitStatus() {
    return kInterruptedStatus;
}

EnterWait WaitForEnter(const std::function<bool()>& stop) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(input);
    for (;;) {
        if (stop()) {
            return EnterWait::Stopped;
        }
        if (WaitForSingleObject(input, kEnterPollMs) != WAIT_OBJECT_0) {
            continue;
        }
        // The console signals for mouse, focus and key-up records too: only
        // a pressed Enter key answers.
        INPUT_RECORD records[16];
        DWORD count = 0;
        if (ReadConsoleInputA(input, records, 16, &count) == 0) {
            return EnterWait::Pressed;
        }
        for (DWORD i = 0; i < count; ++i) {
            const INPUT_RECORD& record = records[i];
            if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
                record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN) {
                return EnterWait::Pressed;
            }
        }
    }
}

std::string LastErrorText() {
    return std::strerror(errno);
}

std::string ProcessResourcesText() {
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    unsigned long long workingKiB = 0;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) != 0) {
        workingKiB = counters.WorkingSetSize / 1024;
    }
    char text[128];
    std::snprintf(text, sizeof text, "handles %lu, working set %llu KiB", static_cast<unsigned long>(handles),
                  workingKiB);
    return text;
}

int ProcessDescriptorCount() {
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return static_cast<int>(handles);
}

int ProcessThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}
