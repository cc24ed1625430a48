// The console watch: follows the loader's console text through the receive
// ring and recognises its markers.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "download/download.h"

const char kMenuMarker[] = "1.  Upgrade Application with SSU";
const char kStartMarker[] = "CCCCC";
const char kRefusalMarker[] = "Image_parseSSU: software isn't match!";
const char kBurningMarker[] = "_burn_SSU_image: call this function!";
const char kCompletionMarker[] = "_burn_SSU_image:Start to write flash...";

namespace {

constexpr unsigned char kSyncByte = 0x20;
constexpr unsigned kStartSettleMs = 10;
// The longest an idle listening wait sleeps at a time.
constexpr long long kIdleWaitSliceMs = 20;
// After the burning marker the window is cleared and filling resumes here;
// the zero bytes before it match no marker.
constexpr std::uint16_t kPosAfterBurning = 3;
// When the window wraps, this many of its newest bytes are kept so that a
// marker whose bytes straddle the wrap is still found: the longest marker
// less its last byte.
constexpr std::size_t kWrapKeep = sizeof kCompletionMarker - 2;

struct WatchPlan {
    const char* const* markers;
    std::size_t markerCount;
    unsigned pollLimit;
    bool sendSync;  // the sync watch; the others only listen
    bool settleFirst;
};

const char* const kSyncMarkers[] = {kMenuMarker};
const char* const kStartMarkers[] = {kStartMarker};
// Test order; the lowest start in the window decides, this order only
// between markers starting at the same place.
const char* const kVerdictMarkers[] = {kRefusalMarker, kBurningMarker, kCompletionMarker};

WatchPlan PlanFor(WatchUse use) {
    switch (use) {
    case WatchUse::Sync:
        return {kSyncMarkers, 1, kSyncPollLimit, true, false};
    case WatchUse::Start:
        return {kStartMarkers, 1, kStartPollLimit, false, true};
    case WatchUse::Verdict:
        break;
    }
    return {kVerdictMarkers, 3, kVerdictPollLimit, false, false};
}

WatchResult ResultFor(WatchUse use, int found) {
    switch (use) {
    case WatchUse::Sync:
        return WatchResult::Menu;
    case WatchUse::Start:
        return WatchResult::Start;
    case WatchUse::Verdict:
        break;
    }
    return found == 0 ? WatchResult::Refusal : WatchResult::Completion;
}

}  // namespace

int MarkerSearch(const unsigned char* pWindow, std::size_t end, std::span<const char* const> markers) {
    constexpr std::size_t kMaxMarkers = 8;
    std::size_t lengths[kMaxMarkers];
    const std::size_t count = std::min(markers.size(), kMaxMarkers);
    for (std::size_t k = 0; k < count; ++k) {
        lengths[k] = std::strlen(markers[k]);
    }
    for (std::size_t start = 0; start < end; ++start) {
        for (std::size_t k = 0; k < count; ++k) {
            std::size_t length = lengths[k];
            if (start + length <= end && std::memcmp(pWindow + start, markers[k], length) == 0) {
                return static_cast<int>(k);
            }
        }
    }
    return -1;
}

int ConsoleWindowFeed(ConsoleWindow& window, unsigned char byte, std::span<const char* const> markers) {
    window.bytes[window.pos] = byte;
    std::size_t end = static_cast<std::size_t>(window.pos) + 1;
    // Every earlier byte of this watch was searched when it came, and found
    // nothing: only a marker that ends with this byte can be new. Of those
    // the one that starts lowest is the longest; the list's order decides
    // between equals. One look per marker, not a search of the window, so
    // a box that talks at line rate costs little per byte.
    int found = -1;
    std::size_t foundLength = 0;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        const std::size_t length = std::strlen(markers[k]);
        if (length <= end && length > foundLength &&
            std::memcmp(window.bytes + end - length, markers[k], length) == 0) {
            found = static_cast<int>(k);
            foundLength = length;
        }
    }
    if (end == kConsoleWindowSize) {
        std::memmove(window.bytes, window.bytes + end - kWrapKeep, kWrapKeep);
        window.pos = static_cast<std::uint16_t>(kWrapKeep);
    } else {
        window.pos = static_cast<std::uint16_t>(end);
    }
    return found;
}

void ConsoleWindowRestart(ConsoleWindow& window) {
    std::memset(window.bytes, 0, sizeof window.bytes);
    window.pos = kPosAfterBurning;
}

namespace {

// The sync watch: a space and a 1 ms sleep at every poll until the menu
// shows, a time-out on the poll after the limit. Each poll takes every byte
// that has arrived since the last.
WatchResult SyncWatch(const WatchPlan& plan, ConsoleWindow& window, const LinkContext& link) {
    const std::span<const char* const> markers(plan.markers, plan.markerCount);
    for (unsigned polls = 0;;) {
        if (link.front.CancelRequested()) {
            return WatchResult::Cancelled;
        }
        if (!link.Write(&kSyncByte, 1)) {
            return WatchResult::PortGone;
        }
        SerialSleep(1);
        // Everything that has arrived: a box that prints its boot text at
        // line rate would otherwise fill the ring and lose the menu.
        unsigned char byte = 0;
        while (link.Ring().GetByte(&byte) != 0) {
            link.front.ConsoleByte(byte);
            if (ConsoleWindowFeed(window, byte, markers) >= 0) {
                return WatchResult::Menu;
            }
        }
        if (++polls > plan.pollLimit) {
            return WatchResult::TimeOut;
        }
    }
}

// The start and verdict watches: they send nothing and take the box's text
// within a ListenBudget of their limit.
WatchResult ListenWatch(WatchUse use, const WatchPlan& plan, ConsoleWindow& window, const LinkContext& link,
                        void (*onBurning)(FrontEnd&)) {
    const std::span<const char* const> markers(plan.markers, plan.markerCount);
    ListenBudget budget(link.Ring(), plan.pollLimit);
    for (;;) {
        if (link.front.CancelRequested()) {
            return WatchResult::Cancelled;
        }
        if (!link.Usable()) {
            return WatchResult::PortGone;
        }
        unsigned char byte = 0;
        if (!budget.Take(&byte)) {
            if (budget.TimedOut()) {
                return WatchResult::TimeOut;
            }
            budget.Idle();
            continue;
        }
        link.front.ConsoleByte(byte);
        // A marker counts as found with its last byte.
        const int found = ConsoleWindowFeed(window, byte, markers);
        if (found < 0) {
            continue;
        }
        if (plan.markers[found] != kBurningMarker) {
            return ResultFor(use, found);
        }
        // The loader has started burning: say so, and give the verdict a
        // fresh budget, this byte its first.
        onBurning(link.front);
        ConsoleWindowRestart(window);
        budget.Restart();
    }
}

}  // namespace

WatchResult WatchConsole(WatchUse use, ConsoleWindow& window, const LinkContext& link, void (*onBurning)(FrontEnd&)) {
    const WatchPlan plan = PlanFor(use);
    window.pos = 0;
    if (plan.settleFirst) {
        SerialSleep(kStartSettleMs);
    }
    return plan.sendSync ? SyncWatch(plan, window, link) : ListenWatch(use, plan, window, link, onBurning);
}

ListenBudget::ListenBudget(RxRingStore& ring, unsigned pollLimit)
    : m_ring(ring), m_start(std::chrono::steady_clock::now()), m_limit(pollLimit), m_byteLimit(pollLimit + 1) {}

bool ListenBudget::Take(unsigned char* pByte) {
    if (m_taken >= m_byteLimit || m_ring.GetByte(pByte) == 0) {
        return false;
    }
    ++m_taken;
    return true;
}

void ListenBudget::Restart() {
    m_start = std::chrono::steady_clock::now();
    m_taken = 1;
}

bool ListenBudget::TimedOut() const {
    return std::chrono::steady_clock::now() - m_start >= m_limit;
}

void ListenBudget::Idle() {
    using std::chrono::milliseconds;
    const auto left = m_start + m_limit - std::chrono::steady_clock::now();
    // Rounded up: waking a little late costs nothing, waking early one more turn.
    const auto leftMs = std::chrono::ceil<milliseconds>(left).count();
    const unsigned waitMs = static_cast<unsigned>(std::clamp<long long>(leftMs, 1, kIdleWaitSliceMs));
    if (m_taken < m_byteLimit) {
        m_ring.Wait(waitMs);
    } else {
        // The ring may hold bytes this wait will never take: only the clock
        // can end it now.
        SerialSleep(waitMs);
    }
}
