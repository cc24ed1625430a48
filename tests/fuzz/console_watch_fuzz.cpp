// Feeds console text through the watch's window one byte at a time, exactly as
// the watch takes bytes from the receive ring, and checks every step against a
// plain search over all the text received since the watch began: the same
// marker must be found, at the very byte that completes it, however the text
// falls across the window's wrap and whatever stale bytes the window holds.
//
// Input:
//   byte 0       bits 0-1: the markers (0 verdict, 1 menu, 2 start, 3 taken
//                from the input); bit 2: the window starts full of stale
//                marker text
//   markers      set 3 only: a count byte (1 to 3 markers), then per marker a
//                length byte (1 to the longest real marker's length) and its
//                bytes
//   then one segment after another, each:
//     bytes 0-1  filler count, little endian: with bit 15 set, as many as
//                put the text within 128 bytes before the window's wrap (bits
//                0-6 say how far before); otherwise bits 0-10, at most up to
//                the wrap. The wrap itself is always crossed by the text.
//     byte 2     the filler byte
//     text       fed byte by byte until a marker is found; the next segment
//                begins after that byte
// After a finding, the next segment is the next watch over the same window,
// as the worker's watches follow one another; after the burning marker the
// window restarts as the verdict watch does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/download.h"

namespace {

constexpr std::size_t kNearWrap = 0x8000;

const char* const kVerdict[] = {kRefusalMarker, kBurningMarker, kCompletionMarker};
const char* const kMenu[] = {kMenuMarker};
const char* const kStart[] = {kStartMarker};

// The window keeps enough bytes across its wrap for markers as long as the
// longest real one; markers made from the input are held to that length.
std::size_t LongestMarker() {
    std::size_t longest = 0;
    for (const char* pMarker : {kMenuMarker, kStartMarker, kRefusalMarker, kBurningMarker, kCompletionMarker}) {
        longest = std::max(longest, std::strlen(pMarker));
    }
    return longest;
}

// The marker that starts lowest in the text, the list's order deciding
// between markers at the same start; -1 when none is in the text.
int ReferenceFind(std::string_view text, std::span<const char* const> markers) {
    int best = -1;
    std::size_t bestStart = std::string_view::npos;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        const std::size_t start = text.find(markers[k]);
        if (start != std::string_view::npos && (best < 0 || start < bestStart)) {
            best = static_cast<int>(k);
            bestStart = start;
        }
    }
    return best;
}

class Input {
public:
    Input(const std::uint8_t* pData, std::size_t size) : m_pData(pData), m_size(size) {}
    bool Empty() const { return m_at >= m_size; }
    std::uint8_t Byte() { return Empty() ? 0 : m_pData[m_at++]; }

private:
    const std::uint8_t* m_pData;
    std::size_t m_size;
    std::size_t m_at = 0;
};

class WatchCheck {
public:
    explicit WatchCheck(std::span<const char* const> markers) : m_markers(markers) {}

    ConsoleWindow& Window() { return m_window; }

    // One byte as the watch takes it; true when it ended a watch.
    bool Step(std::uint8_t byte) {
        const int found = ConsoleWindowFeed(m_window, byte, m_markers);
        if (m_window.pos >= kConsoleWindowSize) {
            Fail("write position past the window", found, -1);
        }
        m_received.push_back(static_cast<char>(byte));
        const int expected = ReferenceFind(m_received, m_markers);
        if (found != expected) {
            Fail("marker findings differ", found, expected);
        }
        ++m_fed;
        if (found < 0) {
            return false;
        }
        if (m_markers[static_cast<std::size_t>(found)] == kBurningMarker) {
            ConsoleWindowRestart(m_window);
        } else {
            // The next watch begins at the window's start; its bytes stay.
            m_window.pos = 0;
        }
        m_received.clear();
        return true;
    }

    // Filler before a segment's text. When it holds no marker, even together
    // with the text before it, and does not reach the wrap, feeding it would
    // only store it after the write position and move the position on, so it
    // is placed that way directly: that spares a full window search per
    // filler byte, which would be most of the time an input takes.
    void Fill(std::size_t count, std::uint8_t byte) {
        const std::string filler(count, static_cast<char>(byte));
        if (m_window.pos + count < kConsoleWindowSize && ReferenceFind(m_received + filler, m_markers) < 0) {
            std::copy(filler.begin(), filler.end(), m_window.bytes + m_window.pos);
            m_window.pos = static_cast<std::uint16_t>(m_window.pos + count);
            m_received += filler;
            return;
        }
        for (char c : filler) {
            Step(static_cast<std::uint8_t>(c));
        }
    }

private:
    [[noreturn]] void Fail(const char* what, int found, int expected) const {
        std::fprintf(stderr, "console_watch_fuzz: %s at fed byte %zu (write position now %u): window found %d, "
                             "reference %d\n",
                     what, m_fed, static_cast<unsigned>(m_window.pos), found, expected);
        std::abort();
    }

    std::span<const char* const> m_markers;
    ConsoleWindow m_window;
    std::string m_received;  // all the text since the current watch began
    std::size_t m_fed = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
    Input input(pData, size);
    const std::uint8_t mode = input.Byte();

    // Markers taken from the input are C strings like the real ones: no zero
    // byte inside, at least one byte.
    std::vector<std::string> madeMarkers;
    std::vector<const char*> madePointers;
    std::span<const char* const> markers;
    switch (mode & 3) {
    case 0:
        markers = kVerdict;
        break;
    case 1:
        markers = kMenu;
        break;
    case 2:
        markers = kStart;
        break;
    default: {
        static const std::size_t longest = LongestMarker();
        const std::size_t count = 1 + input.Byte() % 3;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t length = 1 + input.Byte() % longest;
            std::string marker;
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint8_t byte = input.Byte();
                marker.push_back(static_cast<char>(byte == 0 ? 1 : byte));
            }
            madeMarkers.push_back(std::move(marker));
        }
        for (const std::string& marker : madeMarkers) {
            madePointers.push_back(marker.c_str());
        }
        markers = madePointers;
        break;
    }
    }

    WatchCheck check(markers);
    ConsoleWindow& window = check.Window();
    if ((mode & 4) != 0) {
        // Text left over from an earlier watch: it must never count.
        std::string stale;
        while (stale.size() < kConsoleWindowSize) {
            for (const char* pMarker : markers) {
                stale += pMarker;
            }
        }
        std::copy_n(stale.begin(), kConsoleWindowSize, window.bytes);
    }
    window.pos = 0;

    while (!input.Empty()) {
        std::size_t count = input.Byte();
        count |= static_cast<std::size_t>(input.Byte()) << 8;
        const std::size_t room = kConsoleWindowSize - 1 - window.pos;
        if ((count & kNearWrap) != 0) {
            const std::size_t before = count & 0x7F;
            count = room > before ? room - before : 0;
        } else {
            count = std::min(count % kConsoleWindowSize, room);
        }
        check.Fill(count, input.Byte());
        while (!input.Empty() && !check.Step(input.Byte())) {
        }
    }
    return 0;
}
