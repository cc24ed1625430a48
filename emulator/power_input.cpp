#include "emulator/power_input.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

bool PowerInput::ValidLineName(const std::string& line)
{
    return line == "dtr" || line == "rts" || line == "!dtr" || line == "!rts";
}

std::unique_ptr<PowerInput> PowerInput::FromLine(const std::string& line, const std::string& ptyPath,
                                                 const std::string& folder, std::string& error)
{
    struct stat info {};
    if (stat(ptyPath.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) || ModemStatePtyIndex(info.st_rdev) < 0) {
        error = "--power-line needs a pseudo-terminal: " + ptyPath;
        return nullptr;
    }
    auto input = std::make_unique<PowerInput>();
    const int failed = ModemStateMapOpen(folder.c_str(), ModemStatePtyIndex(info.st_rdev), &input->m_map);
    if (failed != 0) {
        error = folder + ": " + std::strerror(failed);
        return nullptr;
    }
    input->m_bInverted = line[0] == '!';
    input->m_line = line.ends_with("dtr") ? TIOCM_DTR : TIOCM_RTS;
    return input;
}

std::unique_ptr<PowerInput> PowerInput::FromFile(const std::string& path)
{
    auto input = std::make_unique<PowerInput>();
    input->m_path = path;
    return input;
}

PowerInput::~PowerInput()
{
    ModemStateUnmap(&m_map);
}

bool PowerInput::On() const
{
    if (m_line != 0) {
        const bool asserted = (ModemStateLines(&m_map) & m_line) != 0;
        return asserted != m_bInverted;
    }
    // A missing or unreadable file is a switch that is off.
    const int fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[16];
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    std::string_view word(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) {
        word.remove_suffix(1);
    }
    return word == "on";
}
