// The station's commands as they come on stdin: single keys from a terminal
// or lines from a pipe or file. Knows no terminal and no station: the bytes
// come in, commands and complaints go out. Whoever types on stdin is not
// trusted: a line is kept up to a fixed cap, and every complaint shows the
// typed text printable.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The longest stdin line taken as a command; the rest of a longer line is
// discarded.
constexpr std::size_t kCommandLineMax = 4096;

// What the operator asked for, from keys or lines.
struct StationCommand {
    enum class Kind { Start, StartAll, Stop, Quit } kind = Kind::Start;
    unsigned slot = 0;
};

class StationCommandReader {
public:
    // slotOfKey: the slot a key starts or stops (0 when none); bKeys: single
    // keys from a terminal, else lines.
    StationCommandReader(std::function<unsigned(char)> slotOfKey, bool bKeys);

    // Adds what came; gives the commands complete so far, and one complaint
    // per line that is no command.
    std::vector<StationCommand> Feed(std::string_view bytes, std::vector<std::string>& complaints);
    // Nothing came for a while: an Esc byte on its own was the Esc key, not
    // the start of a longer key's sequence.
    void Pause();
    // An escape sequence has begun: the next bytes are due at once, and a
    // pause should be told soon.
    bool MidEscape() const { return m_escape != Escape::None; }

    // What a key has begun and the next key completes: "s" waits for the
    // slot to stop, "q" for the second "q". Esc or any other key cancels it.
    enum class Pending { None, Stop, Quit };
    Pending Waiting() const { return m_pending; }

private:
    enum class Escape { None, Begun, Csi, OneMore };

    void Byte(unsigned char c, std::vector<StationCommand>& commands);
    void Key(char c, std::vector<StationCommand>& commands);
    void Line(std::vector<StationCommand>& commands, std::vector<std::string>& complaints);

    const std::function<unsigned(char)> m_slotOfKey;
    const bool m_bKeys;
    Pending m_pending = Pending::None;
    Escape m_escape = Escape::None;
    std::size_t m_escapeBytes = 0;  // of the sequence under way, to end a runaway one
    std::string m_line;             // at most kCommandLineMax bytes
    bool m_bDiscarding = false;     // the line went over the cap: skip to its end
};

// The text with every byte that is not printable ASCII (control bytes,
// escape, line breaks, bytes of 0x7F and above) written as \xHH, so that no
// port name or typed line can move the cursor, recolour or clear a terminal
// or break a line.
std::string PrintableText(std::string_view text);
