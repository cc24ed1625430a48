// Fuzzes the identity search: an operator's pattern and a box's console of
// any bytes. Whatever the two hold, a pattern is either refused or matched
// line by line within the fuzzer's time limit, and what it finds comes from
// one line's first 1 KiB. A literal pattern (no special characters) must be
// found exactly where a plain search finds it.
//
// Input: one byte N, then N bytes of pattern, then the console.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "station/unit_pattern.h"

namespace {

bool IsLiteral(const std::string& pattern) {
    return !pattern.empty() && pattern.find_first_of("\\^$.|?*+()[]{}\r\n") == std::string::npos;
}

// The first complete line (ended by CR or LF), cut to 1 KiB, that holds the
// literal.
bool LiteralInSomeLine(std::string_view console, const std::string& literal, bool bWithOpenLine) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= console.size(); ++i) {
        const bool bEnd = i == console.size();
        if (!bEnd && console[i] != '\n' && console[i] != '\r') {
            continue;
        }
        if (bEnd && !bWithOpenLine) {
            break;
        }
        const std::string_view line = console.substr(start, i - start).substr(0, kUnitLineLimit);
        if (line.find(literal) != std::string_view::npos) {
            return true;
        }
        start = i + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t patternLength = std::min<std::size_t>(pData[0], size - 1);
    const std::string pattern(reinterpret_cast<const char*>(pData + 1), patternLength);
    const std::string_view console(reinterpret_cast<const char*>(pData + 1 + patternLength),
                                   size - 1 - patternLength);

    std::string reason;
    const std::optional<UnitPattern> compiled = UnitPattern::Compile(pattern, reason);
    if (!compiled) {
        if (reason.empty()) {
            std::abort();  // a refusal always says why
        }
        return 0;
    }
    UnitLines lines(&*compiled);
    bool bFoundByByte = false;
    for (char c : console) {
        bFoundByByte = lines.Feed(static_cast<unsigned char>(c)) || bFoundByByte;
    }
    if (bFoundByByte && lines.Unit().empty()) {
        std::abort();
    }
    lines.Finish();
    const std::string& unit = lines.Unit();
    if (unit.size() > kUnitLineLimit || unit.find_first_of("\r\n") != std::string::npos) {
        std::abort();
    }
    if (IsLiteral(pattern) && pattern.size() <= kUnitLineLimit) {
        const bool bExpected = LiteralInSomeLine(console, pattern, true);
        if (bExpected != (unit == pattern)) {
            std::abort();
        }
    }
    return 0;
}
