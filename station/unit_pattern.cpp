#include "station/unit_pattern.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

// Saturating arithmetic: a size only has to be compared with the limit.
constexpr std::size_t kSizeCap = 1u << 30;

std::size_t Capped(std::size_t size) { return std::min(size, kSizeCap); }

std::size_t CappedProduct(std::size_t a, std::size_t b) {
    return b != 0 && a > kSizeCap / b ? kSizeCap : a * b;
}

// Reads the decimal number at text[pos]; pos moves past it. -1 when none.
long long NumberAt(const std::string& text, std::size_t& pos) {
    long long value = -1;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = std::min<long long>((value < 0 ? 0 : value) * 10 + (text[pos] - '0'), kSizeCap);
        ++pos;
    }
    return value;
}

// Whether text[pos] starts a counted repetition "{n}", "{n,}" or "{n,m}";
// if so its largest count (n + 1 for "{n,}") and pos moves past it.
bool CountAt(const std::string& text, std::size_t& pos, std::size_t& count) {
    std::size_t at = pos + 1;
    const long long low = NumberAt(text, at);
    if (low < 0 || at >= text.size()) {
        return false;
    }
    long long high = low;
    if (text[at] == ',') {
        ++at;
        high = NumberAt(text, at);
        if (high < 0) {
            high = low + 1;
        }
    }
    if (at >= text.size() || text[at] != '}') {
        return false;
    }
    pos = at + 1;
    count = static_cast<std::size_t>(std::max(low, high));
    return true;
}

// How many positions the pattern's automaton has, roughly: every atom one,
// a group the sum of what it holds, a counted repetition its operand times
// its largest count. Brackets and escapes are single atoms.
std::size_t ExpandedSize(const std::string& text) {
    struct Level {
        std::size_t total = 0;
        std::size_t last = 0;  // the size of the latest atom, for a count after it
    };
    std::vector<Level> levels(1);
    for (std::size_t pos = 0; pos < text.size();) {
        Level& level = levels.back();
        const char c = text[pos];
        std::size_t atom = 1;
        if (c == '\\') {
            pos += 2;
        } else if (c == '[') {
            ++pos;
            if (pos < text.size() && text[pos] == '^') {
                ++pos;
            }
            if (pos < text.size() && text[pos] == ']') {
                ++pos;
            }
            while (pos < text.size() && text[pos] != ']') {
                pos += text[pos] == '\\' ? 2 : 1;
            }
            ++pos;
        } else if (c == '(') {
            levels.emplace_back();
            ++pos;
            continue;
        } else if (c == ')' && levels.size() > 1) {
            atom = Capped(levels.back().total + 1);
            levels.pop_back();
            ++pos;
        } else if (c == '{') {
            std::size_t count = 0;
            if (CountAt(text, pos, count)) {
                level.total = Capped(level.total - level.last + CappedProduct(level.last, count));
                level.last = 0;
                continue;
            }
            ++pos;
        } else {
            ++pos;
        }
        Level& into = levels.back();
        into.total = Capped(into.total + atom);
        into.last = atom;
    }
    std::size_t size = 0;
    for (const Level& level : levels) {
        size = Capped(size + level.total);
    }
    return size;
}

bool HasBackReference(const std::string& text) {
    for (std::size_t pos = 0; pos + 1 < text.size(); ++pos) {
        if (text[pos] == '\\') {
            if (text[pos + 1] >= '1' && text[pos + 1] <= '9') {
                return true;
            }
            ++pos;  // the escaped character is not looked at again
        }
    }
    return false;
}

}  // namespace

std::optional<UnitPattern> UnitPattern::Compile(const std::string& text, std::string& reason) {
    if (HasBackReference(text)) {
        reason = "back-references (\\1 to \\9) are not supported";
        return std::nullopt;
    }
    if (ExpandedSize(text) > kUnitPatternSizeLimit) {
        reason = "its counted repetitions ({n}, {n,m}) expand it past " + std::to_string(kUnitPatternSizeLimit) +
                 " positions";
        return std::nullopt;
    }
    UnitPattern pattern;
    pattern.m_text = text;
    try {
        // Any start within the line, in the same single pass: the lazy prefix
        // stands for every start position, so no search starts again per
        // character. Group 1 is the pattern's whole match.
        pattern.m_pRegex = std::make_shared<const std::regex>(
            "[\\s\\S]*?(" + text + ")", std::regex::ECMAScript | std::regex_constants::__polynomial);
    } catch (const std::regex_error& failure) {
        reason = failure.what();
        return std::nullopt;
    }
    return pattern;
}

std::optional<std::match_results<std::string_view::const_iterator>> UnitPattern::Search(std::string_view line) const {
    if (!m_pRegex) {
        return std::nullopt;
    }
    line = line.substr(0, kUnitLineLimit);
    std::match_results<std::string_view::const_iterator> match;
    if (!std::regex_search(line.begin(), line.end(), match, *m_pRegex, std::regex_constants::match_continuous)) {
        return std::nullopt;
    }
    return match;
}

std::string UnitPattern::Find(std::string_view line) const {
    const auto match = Search(line);
    if (!match) {
        return {};
    }
    return match->size() > 2 && (*match)[2].matched ? (*match)[2].str() : (*match)[1].str();
}

bool UnitPattern::Matches(std::string_view line) const {
    return Search(line).has_value();
}

bool ConsoleLines::Feed(unsigned char byte) {
    if (byte == '\n' || byte == '\r') {
        return Finish();
    }
    if (m_line.size() < kUnitLineLimit) {
        m_line.push_back(static_cast<char>(byte));
    }
    return false;
}

bool ConsoleLines::Finish() {
    return !m_line.empty();
}

std::string ConsoleLines::Take() {
    std::string line;
    line.swap(m_line);
    return line;
}

void UnitLines::Reset() {
    m_lines.Reset();
    m_unit.clear();
}

bool UnitLines::Feed(unsigned char byte) {
    if (m_pPattern == nullptr || !m_unit.empty() || !m_lines.Feed(byte)) {
        return false;
    }
    m_unit = m_pPattern->Find(m_lines.Take());
    return !m_unit.empty();
}

void UnitLines::Finish() {
    if (m_pPattern != nullptr && m_unit.empty() && m_lines.Finish()) {
        m_unit = m_pPattern->Find(m_lines.Take());
    }
}
