// A box's identity ("unit") read from its console by the operator's pattern.
// The pattern is matched against one line at a time, each line cut at
// kUnitLineLimit bytes, as the lines arrive, so that a box's text of any
// length costs a bounded amount of work per line and the identity is known
// before the loader's menu is answered.
//
// Matching uses the standard library's polynomial (automaton) executor,
// not its backtracking one, in a single pass over the line: its work grows
// with the line's length times the pattern's size, never exponentially, and
// it does not recurse once per character. The same library does it on
// Linux and on Windows. Back-references need backtracking and are refused,
// and so is a pattern whose counted repetitions ({n}, {n,m}) expand it past
// kUnitPatternSizeLimit positions.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

constexpr std::size_t kUnitLineLimit = 1024;
constexpr std::size_t kUnitPatternSizeLimit = 1000;

class UnitPattern {
public:
    // The pattern as given (ECMAScript syntax); nullopt with the reason,
    // naming the construct, when it is refused.
    static std::optional<UnitPattern> Compile(const std::string& text, std::string& reason);

    // The identity in one line: the pattern's first group when it has one
    // and it took part, else the whole match; "" when the line has none.
    // Only the line's first kUnitLineLimit bytes are looked at. Safe to call
    // from several threads at once.
    std::string Find(std::string_view line) const;
    // Whether the pattern matches anywhere in the line's first
    // kUnitLineLimit bytes (a pattern may match an empty text).
    bool Matches(std::string_view line) const;

    const std::string& Text() const { return m_text; }

private:
    // The match's groups (1: the whole match, 2: the pattern's first), or
    // nullopt when the line has none.
    std::optional<std::match_results<std::string_view::const_iterator>> Search(std::string_view line) const;

    std::string m_text;
    std::shared_ptr<const std::regex> m_pRegex;
};

// Splits a console into lines as its bytes come: CR or LF ends a line, empty
// lines are skipped, and only a line's first kUnitLineLimit bytes are kept.
class ConsoleLines {
public:
    void Reset() { m_line.clear(); }
    // One console byte; true when it ended a line, which Take then gives.
    bool Feed(unsigned char byte);
    // Whether a line is open (to be taken as if it had ended).
    bool Finish();
    std::string Take();

private:
    std::string m_line;
};

// Splits a console into lines as its bytes come and looks for the identity
// in each complete line until it is found; the first found stays.
class UnitLines {
public:
    explicit UnitLines(const UnitPattern* pPattern = nullptr) : m_pPattern(pPattern) {}

    // Starts afresh for a new run.
    void Reset();
    // One console byte; a line ends at CR or LF. True when this byte
    // completed the line that gave the identity.
    bool Feed(unsigned char byte);
    // The run has ended: the line still open is looked at too.
    void Finish();

    const std::string& Unit() const { return m_unit; }

private:
    const UnitPattern* m_pPattern;
    ConsoleLines m_lines;
    std::string m_unit;
};
