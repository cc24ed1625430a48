// POSIX side of the station's input: a terminal in non-canonical mode
// without echo, poll() on stdin.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "cli/station_input.h"

struct StationInput::Saved {
    termios tio{};
};

StationInput::StationInput() {
    if (isatty(STDIN_FILENO) == 0) {
        return;
    }
    auto pSaved = std::make_unique<Saved>();
    if (tcgetattr(STDIN_FILENO, &pSaved->tio) != 0) {
        return;
    }
    termios keys = pSaved->tio;
    // Keys one at a time and unechoed; Ctrl-C still raises SIGINT.
    keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) {
        return;
    }
    m_bKeys = true;
    m_pSaved = std::move(pSaved);
}

StationInput::~StationInput() {
    if (m_pSaved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &m_pSaved->tio);
    }
}

StationInput::Result StationInput::Read(std::string& bytes, int timeoutMs) {
    if (m_bEnded) {
        return Result::End;
    }
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&pfd, 1, timeoutMs);
    if (ready <= 0) {
        return Result::Timeout;  // nothing yet, or a signal came
    }
    // A line controller may send a lot at once; a bigger read costs no more.
    char buffer[4096];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0) {
        return errno == EINTR || errno == EAGAIN ? Result::Timeout : (m_bEnded = true, Result::End);
    }
    if (got == 0) {
        m_bEnded = true;
        return Result::End;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
    return Result::Data;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}
