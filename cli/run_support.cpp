#include "cli/run_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/terminal.h"

namespace {

constexpr auto kWorkerPollInterval = std::chrono::milliseconds(20);
// Written once by the main thread before any reader starts, read by the
// readers' diagnostic lines.
std::atomic<bool> g_bDiagLinesShown{false};

// A worker notices Ctrl-C within a poll of its wait.
constexpr auto kCancelGrace = std::chrono::seconds(3);

}  // namespace

void Complain(const std::string& text) {
    std::fprintf(stderr, "kelvora-upgrader: %s\n", text.c_str());
}

void DiagLinesShow(bool bShow) {
    g_bDiagLinesShown.store(bShow, std::memory_order_release);
}

bool DiagLinesShown() {
    return g_bDiagLinesShown.load(std::memory_order_acquire);
}

void AwaitWorkers(const std::function<bool()>& allDone, const std::function<void()>& closeUnder) {
    std::chrono::steady_clock::time_point interruptedAt{};
    bool bClosedUnder = false;
    while (!allDone()) {
        std::this_thread::sleep_for(kWorkerPollInterval);
        if (!InterruptRequested() || bClosedUnder) {
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (interruptedAt == std::chrono::steady_clock::time_point{}) {
            interruptedAt = now;
        }
        if (InterruptRepeated() || now - interruptedAt > kCancelGrace) {
            closeUnder();
            bClosedUnder = true;
        }
    }
}
