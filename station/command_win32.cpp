#include <windows.h>

#include <thread>

#include "serial/system_text.h"
#include "station/command.h"

namespace {

constexpr std::size_t kErrorTailMost = 4096;

// One argument as the C runtime's parser reads it back: quoted when it has
// white space or quotes, backslashes doubled only before a quote.
std::string QuotedArgument(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
        return word;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

class Handle {
public:
    Handle() = default;
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE* Put() { return &m_h; }
    HANDLE Get() const { return m_h; }
    void Reset() {
        if (m_h != nullptr && m_h != INVALID_HANDLE_VALUE) {
            CloseHandle(m_h);
        }
        m_h = nullptr;
    }

private:
    HANDLE m_h = nullptr;
};

}  // namespace

bool CommandRun(const std::vector<std::string>& argv, const std::string& input, std::chrono::milliseconds limit,
                std::string& failure) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle inRead, inWrite, errRead, errWrite, nul;
    if (!CreatePipe(inRead.Put(), inWrite.Put(), &inherit, 0) || !CreatePipe(errRead.Put(), errWrite.Put(), &inherit, 0)) {
        failure = "cannot run: " + SystemErrorText(GetLastError());
        return false;
    }
    // Our ends stay ours.
    SetHandleInformation(inWrite.Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);
    *nul.Put() = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

    std::string line;
    for (const std::string& word : argv) {
        if (!line.empty()) {
            line.push_back(' ');
        }
        line += QuotedArgument(word);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead.Get();
    startup.hStdOutput = nul.Get();
    startup.hStdError = errWrite.Get();
    PROCESS_INFORMATION process{};
    // A job that ends with its handle: a program killed at the limit takes
    // what it started with it.
    Handle job;
    *job.Put() = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.Get() != nullptr) {
        SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process)) {
        failure = "cannot run: " + SystemErrorText(GetLastError());
        return false;
    }
    if (job.Get() != nullptr) {
        AssignProcessToJobObject(job.Get(), process.hProcess);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    Handle processHandle;
    *processHandle.Put() = process.hProcess;
    inRead.Reset();
    errWrite.Reset();
    nul.Reset();

    // The input is written and standard error read on threads of their own,
    // so that neither a program that reads nothing nor one that writes much
    // holds up the wait for its exit.
    std::thread feeder([&input, &inWrite] {
        DWORD written = 0;
        for (std::size_t done = 0; done < input.size(); done += written) {
            if (!WriteFile(inWrite.Get(), input.data() + done, static_cast<DWORD>(input.size() - done), &written,
                           nullptr)) {
                break;
            }
        }
        inWrite.Reset();
    });
    std::string errorText;
    std::thread reader([&errorText, &errRead] {
        char buffer[1024];
        DWORD got = 0;
        while (ReadFile(errRead.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            errorText.append(buffer, got);
            if (errorText.size() > kErrorTailMost) {
                errorText.erase(0, errorText.size() - kErrorTailMost);
            }
        }
    });
    const bool bExited = WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
    if (!bExited) {
        if (job.Get() != nullptr) {
            TerminateJobObject(job.Get(), 1);
        } else {
            TerminateProcess(process.hProcess, 1);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    // What the program started may hold the pipes open: the job's end
    // ends it too, which closes them.
    job.Reset();
    feeder.join();
    reader.join();
    if (!bExited) {
        failure = "no exit within " + std::to_string(limit.count() / 1000) + " s";
        return false;
    }
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    if (code == 0) {
        return true;
    }
    failure = "exit status " + std::to_string(code);
    const std::string last = CommandLastLine(errorText);
    if (!last.empty()) {
        failure += ": " + last;
    }
    return false;
}
