#include "cli/station_commands.h"

#include <sstream>
#include <utility>

namespace {

constexpr unsigned char kEsc = 0x1b;
// A key's escape sequence is a few bytes; one that goes on longer is not a
// key's, and what follows it is read as keys again.
constexpr std::size_t kEscapeMax = 32;
// How much of a line a complaint repeats.
constexpr std::size_t kLineShown = 80;

const char kCommandsHint[] = "(start N | start all | stop N | quit)";

// The start of a typed line as a complaint shows it.
std::string ShownLine(std::string_view line) {
    return line.size() <= kLineShown ? PrintableText(line) : PrintableText(line.substr(0, kLineShown)) + "...";
}

}  // namespace

std::string PrintableText(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            shown.push_back(c);
        } else {
            shown += "\\x";
            shown.push_back(kHex[byte >> 4]);
            shown.push_back(kHex[byte & 0x0f]);
        }
    }
    return shown;
}

StationCommandReader::StationCommandReader(std::function<unsigned(char)> slotOfKey, bool bKeys)
    : m_slotOfKey(std::move(slotOfKey)), m_bKeys(bKeys) {}

std::vector<StationCommand> StationCommandReader::Feed(std::string_view bytes, std::vector<std::string>& complaints) {
    std::vector<StationCommand> commands;
    for (char c : bytes) {
        if (m_bKeys) {
            Byte(static_cast<unsigned char>(c), commands);
            continue;
        }
        if (c == '\n') {
            if (!m_bDiscarding) {
                Line(commands, complaints);
            }
            m_line.clear();
            m_bDiscarding = false;
        } else if (m_bDiscarding || c == '\r') {
            continue;
        } else if (m_line.size() < kCommandLineMax) {
            m_line.push_back(c);
        } else {
            // Said once, when the cap is passed: the line's end may never come.
            complaints.push_back("line longer than " + std::to_string(kCommandLineMax) +
                                 " bytes ignored up to its end: '" + ShownLine(m_line) + "'");
            m_line.clear();
            m_bDiscarding = true;
        }
    }
    return commands;
}

void StationCommandReader::Pause() {
    if (m_escape == Escape::Begun) {
        std::vector<StationCommand> none;
        m_escape = Escape::None;
        Key(static_cast<char>(kEsc), none);
    }
    // A sequence cut short is dropped; the next byte starts afresh.
    m_escape = Escape::None;
}

// Keys: a terminal sends Delete, PageUp, Home, the arrows, F1 to F12 and
// Alt with a key as escape sequences (ESC [ ... final byte, ESC O x, ESC x,
// the Linux console's ESC [ [ x). A sequence is read whole and ignored, so
// that its digits and letters never count as slot keys; so are NUL (Ctrl-
// Space) and the other control bytes, and the bytes of non-ASCII characters.
void StationCommandReader::Byte(unsigned char c, std::vector<StationCommand>& commands) {
    if (m_escape != Escape::None && ++m_escapeBytes > kEscapeMax) {
        m_escape = Escape::None;
    }
    switch (m_escape) {
    case Escape::None:
        break;
    case Escape::Begun:
        if (c == kEsc) {
            Key(static_cast<char>(kEsc), commands);  // Esc, then a new sequence
            m_escapeBytes = 0;
        } else {
            m_escape = c == '[' ? Escape::Csi : c == 'O' ? Escape::OneMore : Escape::None;
        }
        return;
    case Escape::Csi:
        if (c == '[' && m_escapeBytes == 2) {
            m_escape = Escape::OneMore;  // the Linux console's F1 to F5
        } else if (c == kEsc) {
            m_escape = Escape::Begun;
            m_escapeBytes = 0;
        } else if (c >= 0x40 && c <= 0x7e) {
            m_escape = Escape::None;  // the final byte
        } else if (c >= 0x80) {
            m_escape = Escape::None;
        }
        return;
    case Escape::OneMore:
        m_escape = Escape::None;
        return;
    }
    if (c == kEsc) {
        m_escape = Escape::Begun;
        m_escapeBytes = 0;
    } else if (c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7f)) {
        Key(static_cast<char>(c), commands);
    }
}

void StationCommandReader::Key(char c, std::vector<StationCommand>& commands) {
    const bool bEsc = c == static_cast<char>(kEsc);
    const Pending pending = std::exchange(m_pending, Pending::None);
    if (pending == Pending::Quit) {
        if (c == 'q') {
            commands.push_back({StationCommand::Kind::Quit, 0});
        }
        return;
    }
    if (pending == Pending::Stop) {
        if (const unsigned slot = bEsc ? 0 : m_slotOfKey(c)) {
            commands.push_back({StationCommand::Kind::Stop, slot});
        }
        return;
    }
    if (c == '\n' || c == '\r') {
        commands.push_back({StationCommand::Kind::StartAll, 0});
    } else if (c == 's') {
        m_pending = Pending::Stop;
    } else if (c == 'q') {
        m_pending = Pending::Quit;
    } else if (const unsigned slot = bEsc ? 0 : m_slotOfKey(c)) {
        commands.push_back({StationCommand::Kind::Start, slot});
    }
}

void StationCommandReader::Line(std::vector<StationCommand>& commands, std::vector<std::string>& complaints) {
    std::istringstream words(m_line);
    std::string verb, what, extra;
    words >> verb >> what >> extra;
    if (verb.empty()) {
        return;
    }
    if (verb == "quit" && what.empty()) {
        commands.push_back({StationCommand::Kind::Quit, 0});
        return;
    }
    if ((verb == "start" || verb == "stop") && extra.empty() && !what.empty()) {
        if (verb == "start" && what == "all") {
            commands.push_back({StationCommand::Kind::StartAll, 0});
            return;
        }
        if (what.find_first_not_of("0123456789") == std::string::npos && what.size() < 6) {
            commands.push_back({verb == "start" ? StationCommand::Kind::Start : StationCommand::Kind::Stop,
                                static_cast<unsigned>(std::stoul(what))});
            return;
        }
    }
    complaints.push_back("unknown command '" + ShownLine(m_line) + "' " + kCommandsHint);
}
