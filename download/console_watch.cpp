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
// The longest an idle watch or block wait sleeps at a time.
constexpr unsigned kIdleWaitSliceMs = 20;
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
    bool sendSync;
    bool settleFirst;
    bool pauseAfterPoll;
};

const char* const kSyncMarkers[] = {kMenuMarker};
const char* const kStartMarkers[] = {kStartMarker};
// Test order; the lowest start in the window decides, this order only
// between markers starting at the same place.
const char* const kVerdictMarkers[] = {kRefusalMarker, kBurningMarker, kCompletionMarker};

WatchPlan PlanFor(WatchUse use) {
    switch (use) {
    case WatchUse::Sync:
        return {kSyncMarkers, 1, kSyncPollLimit, true, false, false};
    case WatchUse::Start:
        return {kStartMarkers, 1, kStartPollLimit, false, true, true};
    case WatchUse::Verdict:
        break;
    }
    return {kVerdictMarkers, 3, kVerdictPollLimit, false, false, true};
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
    int found = MarkerSearch(window.bytes, end, markers);
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

WatchResult WatchConsole(WatchUse use, ConsoleWindow& window, const LinkContext& link, void (*onBurning)(FrontEnd&),
                         unsigned* pPollsMade) {
    const WatchPlan plan = PlanFor(use);
    const std::span<const char* const> markers(plan.markers, plan.markerCount);
    unsigned polls = 0;
    unsigned pollsMade = 0;
    auto finish = [&](WatchResult result) {
        if (pPollsMade != nullptr) {
            *pPollsMade = pollsMade;
        }
        return result;
    };

    window.pos = 0;
    if (plan.settleFirst) {
        SerialSleep(kStartSettleMs);
    }
    for (;;) {
        ++pollsMade;
        if (link.front.CancelRequested()) {
            return finish(WatchResult::Cancelled);
        }
        if (plan.sendSync) {
            if (!link.Write(&kSyncByte, 1)) {
                return finish(WatchResult::PortGone);
            }
            SerialSleep(1);
        } else if (!link.Usable()) {
            return finish(WatchResult::PortGone);
        }

        unsigned char byte = 0;
        const bool bTaken = link.Ring().GetByte(&byte) != 0;
        if (bTaken) {
            // A marker counts as found at the poll that takes its last byte.
            int found = ConsoleWindowFeed(window, byte, markers);
            if (found >= 0) {
                if (plan.markers[found] != kBurningMarker) {
                    return finish(ResultFor(use, found));
                }
                // The loader has started burning: say so, and give the
                // verdict a fresh count from this poll on.
                onBurning(link.front);
                ConsoleWindowRestart(window);
                polls = 0;
            }
        }
        // The sync watch's poll has held its 1 ms sleep; a watch that only
        // listens waits for the next byte, and a taken byte is one poll.
        unsigned passed = 1;
        if (plan.pauseAfterPoll && !bTaken) {
            passed = RingIdleWait(link.Ring(), plan.pollLimit + 1 - polls);
        }
        polls += passed;
        pollsMade += passed - 1;
        if (polls > plan.pollLimit) {
            return finish(WatchResult::TimeOut);
        }
    }
}

unsigned RingIdleWait(RxRingStore& ring, unsigned pollsLeft) {
    const unsigned waitMs = std::max(1u, std::min(pollsLeft, kIdleWaitSliceMs));
    const auto start = std::chrono::steady_clock::now();
    ring.Wait(waitMs);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return static_cast<unsigned>(std::clamp<long long>(waited, 1, waitMs));
}
