// Windows side of the station's input: key events from a console, or what
// a pipe or file holds, read by a thread of its own.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/station_input.h"

namespace {

// What the reader thread has taken from stdin and not yet handed over. The
// reader thread writes, Read takes, both under the mutex.
struct PipeBytes {
    std::mutex mutex;
    std::condition_variable arrived;
    std::string bytes;
    bool bEnded = false;  // stdin closed or unreadable
};

}  // namespace

// The console's mode before, to restore; or, for a pipe or file, its reader.
struct StationInput::Saved {
    DWORD mode = 0;
    std::shared_ptr<PipeBytes> pPipe;
    std::thread reader;
};

StationInput::StationInput() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    auto pSaved = std::make_unique<Saved>();
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode) != 0) {
        pSaved->mode = mode;
        // Keys one at a time and unechoed; Ctrl-C still reaches the handler.
        SetConsoleMode(input, (mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT);
        m_bKeys = true;
        m_pSaved = std::move(pSaved);
        return;
    }
    // A pipe can only be read with a blocking ReadFile: no time-out, and
    // under Wine a pipe from the host can be neither peeked, nor switched to
    // PIPE_NOWAIT, nor reopened for overlapped reads, nor have its read
    // cancelled. So a thread blocks in ReadFile and hands over what comes;
    // Read waits for it with a time-out. A file or NUL ends at once.
    pSaved->pPipe = std::make_shared<PipeBytes>();
    pSaved->reader = std::thread([pPipe = pSaved->pPipe, input] {
        char buffer[4096];
        for (;;) {
            DWORD got = 0;
            const bool bRead = ReadFile(input, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0;
            std::lock_guard<std::mutex> lock(pPipe->mutex);
            if (!bRead) {
                pPipe->bEnded = true;
                pPipe->arrived.notify_all();
                return;
            }
            pPipe->bytes.append(buffer, got);
            pPipe->arrived.notify_all();
        }
    });
    m_pSaved = std::move(pSaved);
}

StationInput::~StationInput() {
    if (!m_pSaved) {
        return;
    }
    if (m_bKeys) {
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), m_pSaved->mode);
        return;
    }
    bool bEnded = false;
    {
        std::lock_guard<std::mutex> lock(m_pSaved->pPipe->mutex);
        bEnded = m_pSaved->pPipe->bEnded;
    }
    // A reader still blocked in ReadFile cannot be woken (see above): it owns
    // its share of the bytes and nothing else, and ends with the process.
    if (bEnded) {
        m_pSaved->reader.join();
    } else {
        m_pSaved->reader.detach();
    }
}

StationInput::Result StationInput::Read(std::string& bytes, int timeoutMs) {
    if (m_bEnded) {
        return Result::End;
    }
    if (m_bKeys) {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        if (WaitForSingleObject(input, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
            return Result::Timeout;
        }
        INPUT_RECORD records[16];
        DWORD count = 0;
        if (ReadConsoleInputA(input, records, 16, &count) == 0) {
            m_bEnded = true;
            return Result::End;
        }
        std::size_t before = bytes.size();
        for (DWORD i = 0; i < count; ++i) {
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            if (records[i].EventType != KEY_EVENT || !key.bKeyDown) {
                continue;
            }
            if (key.wVirtualKeyCode == VK_RETURN) {
                bytes.push_back('\n');
            } else if (key.uChar.AsciiChar != 0) {
                bytes.push_back(key.uChar.AsciiChar);
            }
        }
        return bytes.size() > before ? Result::Data : Result::Timeout;
    }
    PipeBytes& pipe = *m_pSaved->pPipe;
    std::unique_lock<std::mutex> lock(pipe.mutex);
    pipe.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&pipe] { return !pipe.bytes.empty() || pipe.bEnded; });
    if (!pipe.bytes.empty()) {
        bytes += pipe.bytes;
        pipe.bytes.clear();
        return Result::Data;
    }
    if (pipe.bEnded) {
        m_bEnded = true;
        return Result::End;
    }
    return Result::Timeout;
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (GetComputerNameA(name, &size) == 0) {
        return {};
    }
    return std::string(name, size);
}
