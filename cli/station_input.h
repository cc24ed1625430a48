// What the station reads from stdin: single keys from a terminal (no echo,
// no line editing while the station runs) or lines from a pipe or file.
// station_input_posix.cpp and station_input_win32.cpp implement it; the
// build picks one.
#pragma once

#include <memory>
#include <string>

class StationInput {
public:
    // Takes stdin as it is: a terminal is switched to single keys until the
    // object goes.
    StationInput();
    ~StationInput();
    StationInput(const StationInput&) = delete;
    StationInput& operator=(const StationInput&) = delete;

    bool Keys() const { return m_bKeys; }

    enum class Result { Data, Timeout, End };
    // Waits up to timeoutMs for input and appends what has come to bytes
    // (keys: one byte per key, Enter as '\n'). End: stdin is closed.
    Result Read(std::string& bytes, int timeoutMs);

private:
    bool m_bKeys = false;
    bool m_bEnded = false;
    struct Saved;
    std::unique_ptr<Saved> m_pSaved;  // the terminal's settings to restore; the platform's reader state
};

// The machine's name, for the records of a station ("" when unknown).
std::string HostName();
