#include "cli/output_queue.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

constexpr auto kDrainPoll = std::chrono::milliseconds(20);
// How long a stop waits for a stdout that has stopped taking output.
constexpr auto kStallGrace = std::chrono::milliseconds(500);

}  // namespace

OutputQueue::OutputQueue() : m_writer(&OutputQueue::WriteLoop, this) {}

OutputQueue::~OutputQueue() {
    Drain([] { return false; });
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    m_changed.notify_all();
    m_writer.join();
}

void OutputQueue::Post(std::string text) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending.size() + text.size() > kBacklogLimit) {
            m_dropped += text.size();
            return;
        }
        m_pending += text;
    }
    m_changed.notify_all();
}

bool OutputQueue::Idle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending.empty() && !m_bWriting;
}

bool OutputQueue::Drain(const std::function<bool()>& stop) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto lastProgress = std::chrono::steady_clock::now();
    std::uint64_t written = m_written;
    while (!m_pending.empty() || m_bWriting) {
        const auto now = std::chrono::steady_clock::now();
        if (m_written != written) {
            written = m_written;
            lastProgress = now;
        }
        // Asked to stop: what stdout still takes is written, a stalled
        // stdout is given up on.
        if (now - lastProgress > kStallGrace && stop()) {
            return false;
        }
        m_changed.wait_for(lock, kDrainPoll);
    }
    return true;
}

void OutputQueue::WriteLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_pending.empty() || m_dropped > 0 || m_bStopping; });
        if (m_pending.empty() && m_dropped == 0) {
            return;  // stopping, and nothing left
        }
        std::string text;
        text.swap(m_pending);
        if (m_dropped > 0 && text.empty()) {
            text = "[kelvora-upgrader: " + std::to_string(m_dropped) +
                   " bytes of output dropped while stdout was not read]\n";
            m_dropped = 0;
        }
        m_bWriting = true;
        lock.unlock();
        // Only this thread writes stdout while the queue lives; a write that
        // blocks holds no lock that a worker takes.
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        lock.lock();
        m_written += text.size();
        m_bWriting = false;
        m_changed.notify_all();
    }
}
