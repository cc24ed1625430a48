#include "cli/run_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "cli/terminal.h"
#include "serial/serial_port.h"

namespace {

constexpr auto kWorkerPollInterval = std::chrono::milliseconds(20);
// Written once by the main thread before any reader starts, read by the
// readers' diagnostic lines.
std::atomic<bool> g_bDiagLinesShown{false};

// Where DiagLinesTo sends the lines; empty outside its life.
std::mutex g_diagMutex;
std::function<void(const std::string&, const std::string&)> g_diagSink;

void DiagToSink(const char* pPort, const char* pLine) {
    if (!DiagLinesShown()) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_diagMutex);
    if (g_diagSink) {
        g_diagSink(pPort != nullptr ? pPort : "", pLine);
    }
}

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

DiagLinesTo::DiagLinesTo(std::function<void(const std::string& port, const std::string& line)> sink) {
    std::lock_guard<std::mutex> lock(g_diagMutex);
    g_diagSink = std::move(sink);
    SerialSetDiagSink(DiagToSink);
}

DiagLinesTo::~DiagLinesTo() {
    std::lock_guard<std::mutex> lock(g_diagMutex);
    g_diagSink = nullptr;
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
