// The box's power input: a modem line of its pseudo-terminal, as the shared
// modem-line state says (a relay on the fixture), or a file holding "on".
#pragma once

#include <memory>
#include <string>

#include "emulator/modem_state.h"

class PowerInput {
public:
    // line: dtr, rts, !dtr or !rts (powered while the line is dropped). The
    // state of ptyPath is in folder, made when missing.
    static std::unique_ptr<PowerInput> FromLine(const std::string& line, const std::string& ptyPath,
                                                const std::string& folder, std::string& error);
    static std::unique_ptr<PowerInput> FromFile(const std::string& path);
    static bool ValidLineName(const std::string& line);

    PowerInput() = default;
    PowerInput(const PowerInput&) = delete;
    PowerInput& operator=(const PowerInput&) = delete;
    ~PowerInput();

    bool On() const;

private:
    ModemStateMap m_map{nullptr, -1};
    unsigned m_line = 0;  // TIOCM_* bit; 0 for a file
    bool m_bInverted = false;
    std::string m_path;
};
