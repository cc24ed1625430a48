// Helpers for tests that drive the real stb-emulator: a child process with
// its standard output captured, and the client's end of the emulator's
// pseudo-terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

using namespace std::chrono_literals;

// A child process started with posix_spawn. Killed (by its pid) and reaped
// when the object goes, if it is still running.
class ChildProcess {
public:
    // stdinFd / stdoutFd: descriptors to hand over as the child's 0 and 1;
    // -1 keeps the test's own. captureStdout puts a pipe on 1 instead.
    ChildProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, bool captureStdout);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    bool Started() const { return m_pid > 0; }
    void Signal(int signal) const;
    // False when the process is still running at the limit.
    bool WaitExit(std::chrono::milliseconds limit);
    // Exit code, or 128 + the signal that ended it.
    int ExitStatus() const { return m_status; }
    // One line of captured output, without its end; nullopt at the limit or
    // at the end of the output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit);
    // Captured output after the lines already read, up to its end.
    std::string ReadRest(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    int m_status = -1;
    int m_stdout = -1;
    std::string m_pending;
};

// stb-emulator with the given options; PtyPath() is its first output line.
class Emulator {
public:
    explicit Emulator(const std::vector<std::string>& options);

    const std::string& PtyPath() const { return m_ptyPath; }
    ChildProcess& Process() { return m_process; }
    // Waits for the exit and returns the summary line ("" when missing).
    std::string Finish(std::chrono::milliseconds limit = 10s);

private:
    ChildProcess m_process;
    std::string m_ptyPath;
};

// The client's side of the line, raw, as the upgrader opens it.
class Port {
public:
    explicit Port(const std::string& path);
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port();

    bool Open() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    void Write(std::string_view text);
    void Write(const std::vector<std::uint8_t>& bytes);
    std::uint64_t BytesWritten() const { return m_written; }

    // Reads until `marker` is in the text received since the last Take(), the
    // line hangs up, or the limit passes. True when the marker arrived.
    bool ReadUntil(std::string_view marker, std::chrono::milliseconds limit = 5s);
    // Reads until one of `bytes` has arrived since the last Take(); true when
    // one did.
    bool ReadUntilAnyOf(std::string_view bytes, std::chrono::milliseconds limit);
    // Reads until nothing has arrived for `quiet`, or the limit passes.
    void ReadUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit = 5s);
    // Reads until the line hangs up (the emulator unplugged or ended); true
    // when it did within the limit.
    bool ReadUntilHangup(std::chrono::milliseconds limit = 5s);
    // Sends a space every few milliseconds until the loader's menu line shows.
    bool SyncToMenu(std::chrono::milliseconds limit = 5s);

    const std::string& Received() const { return m_received; }
    // Hands over what was received and starts afresh.
    std::string Take();
    bool HungUp() const { return m_hungUp; }
    // Spaces sent by SyncToMenu.
    std::uint64_t SpacesWritten() const { return m_spaces; }

private:
    // One wait of at most `wait` for bytes; false when the line hung up.
    bool ReadSome(std::chrono::milliseconds wait);

    int m_fd = -1;
    std::string m_received;
    bool m_hungUp = false;
    std::uint64_t m_written = 0;
    std::uint64_t m_spaces = 0;
};

constexpr std::string_view kMenuLine = "1.  Upgrade Application with SSU";
