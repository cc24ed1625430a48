// Windows side of the station's input: key events from a console, or what
// a pipe or file holds.
#include <windows.h>

#include <memory>

#include "cli/station_input.h"

struct StationInput::Saved {
    DWORD mode = 0;
};

StationInput::StationInput() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode) == 0) {
        return;
    }
    auto pSaved = std::make_unique<Saved>();
    pSaved->mode = mode;
    // Keys one at a time and unechoed; Ctrl-C still reaches the handler.
    SetConsoleMode(input, (mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT);
    m_bKeys = true;
    m_pSaved = std::move(pSaved);
}

StationInput::~StationInput() {
    if (m_pSaved) {
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), m_pSaved->mode);
    }
}

StationInput::Result StationInput::Read(std::string& bytes, int timeoutMs) {
    if (m_bEnded) {
        return Result::End;
    }
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (m_bKeys) {
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
    // A pipe: wait for bytes without blocking in ReadFile, so that the
    // station can end while nothing comes. A file is always ready.
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        for (int waited = 0; waited <= timeoutMs; waited += 20) {
            if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) == 0) {
                m_bEnded = true;  // the writer closed its end
                return Result::End;
            }
            if (available > 0) {
                break;
            }
            Sleep(20);
        }
        if (available == 0) {
            return Result::Timeout;
        }
    }
    char buffer[256];
    DWORD got = 0;
    if (ReadFile(input, buffer, sizeof buffer, &got, nullptr) == 0 || got == 0) {
        m_bEnded = true;
        return Result::End;
    }
    bytes.append(buffer, got);
    return Result::Data;
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (GetComputerNameA(name, &size) == 0) {
        return {};
    }
    return std::string(name, size);
}
