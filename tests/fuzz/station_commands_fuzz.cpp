// Feeds the station's stdin command reader whatever a terminal or a line
// controller could send, and checks what must hold for any bytes:
// - the commands and complaints do not depend on how the bytes are split
//   across reads (a key's escape sequence or a line may be cut anywhere);
// - a slot comes only from a slot's key (keys) or a number of at most five
//   digits (lines);
// - every complaint is printable ASCII of bounded length, so nothing typed
//   can reach the terminal raw, and an overlong line is told once;
// - PrintableText gives printable ASCII only.
//
// Input:
//   byte 0   bit 0: keys (a terminal), else lines; bit 1: a pause (no byte
//            for a while) after every read
//   byte 1   the read size for the split feeding, 1 to 64
//   then     the bytes on stdin
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/station_commands.h"

namespace {

// The slot keys of a station with many slots: 1 to 9, then a to z but q and s.
unsigned SlotOfKey(char key) {
    if (key >= '1' && key <= '9') {
        return static_cast<unsigned>(key - '0');
    }
    if (key >= 'a' && key <= 'z' && key != 'q' && key != 's') {
        return 10 + static_cast<unsigned>(key - 'a') - (key > 'q' ? 1 : 0) - (key > 's' ? 1 : 0);
    }
    return 0;
}

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "station_commands_fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

bool Printable(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            return false;
        }
    }
    return true;
}

struct Outcome {
    std::vector<StationCommand> commands;
    std::vector<std::string> complaints;
    StationCommandReader::Pending pending = StationCommandReader::Pending::None;
};

Outcome Read(std::string_view bytes, bool bKeys, std::size_t readSize, bool bPauses) {
    StationCommandReader reader(SlotOfKey, bKeys);
    Outcome outcome;
    for (std::size_t at = 0; at < bytes.size(); at += readSize) {
        for (const StationCommand& command : reader.Feed(bytes.substr(at, readSize), outcome.complaints)) {
            outcome.commands.push_back(command);
        }
        if (bPauses) {
            reader.Pause();
        }
    }
    outcome.pending = reader.Waiting();
    return outcome;
}

void Check(const Outcome& outcome, bool bKeys, std::size_t lineBreaks) {
    for (const StationCommand& command : outcome.commands) {
        const bool bSlot = command.kind == StationCommand::Kind::Start || command.kind == StationCommand::Kind::Stop;
        if (bSlot && (bKeys ? command.slot < 1 || command.slot > 33 : command.slot > 99999)) {
            Fail("slot out of range", std::to_string(command.slot));
        }
        if (!bSlot && command.slot != 0) {
            Fail("a slot with a command for none", std::to_string(command.slot));
        }
    }
    if (bKeys && !outcome.complaints.empty()) {
        Fail("a complaint about keys", outcome.complaints.front());
    }
    // One complaint per line at most (the last one may have no break yet).
    if (outcome.complaints.size() > lineBreaks + 1) {
        Fail("more complaints than lines", std::to_string(outcome.complaints.size()));
    }
    for (const std::string& complaint : outcome.complaints) {
        if (!Printable(complaint) || complaint.size() > 400) {
            Fail("complaint not printable or too long", complaint);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const bool bKeys = (pData[0] & 1) != 0;
    const bool bPauses = (pData[0] & 2) != 0;
    const std::size_t readSize = 1 + pData[1] % 64;
    const std::string_view bytes(reinterpret_cast<const char*>(pData + 2), size - 2);
    std::size_t lineBreaks = 0;
    for (char c : bytes) {
        lineBreaks += c == '\n' ? 1 : 0;
    }

    const Outcome whole = Read(bytes, bKeys, bytes.size() + 1, false);
    Check(whole, bKeys, lineBreaks);
    if (bPauses) {
        Check(Read(bytes, bKeys, readSize, true), bKeys, lineBreaks);
    } else {
        const Outcome split = Read(bytes, bKeys, readSize, false);
        bool bSame = split.commands.size() == whole.commands.size() && split.complaints == whole.complaints &&
                     split.pending == whole.pending;
        for (std::size_t i = 0; bSame && i < split.commands.size(); ++i) {
            bSame = split.commands[i].kind == whole.commands[i].kind && split.commands[i].slot == whole.commands[i].slot;
        }
        if (!bSame) {
            Fail("the split reads differ from the whole", std::to_string(readSize));
        }
    }

    const std::string shown = PrintableText(bytes);
    if (!Printable(shown) || shown.size() > 4 * bytes.size()) {
        Fail("PrintableText let a byte through", shown);
    }
    return 0;
}
