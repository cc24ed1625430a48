// Everything the command line prints on stdout, written by a thread of its
// own: a worker or the view only hands text over and goes on, so a stdout
// that nobody drains (a pipe whose reader stalled) never holds up a transfer
// or a Ctrl-C.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class OutputQueue {
public:
    OutputQueue();
    // Waits until everything is written (Drain without a way out).
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Hands text over for writing; never waits for stdout. Past kBacklogLimit
    // of unwritten text further text is dropped and counted, and a line
    // saying how much was lost is written once stdout drains again.
    void Post(std::string text);
    // Nothing waiting and nothing being written.
    bool Idle();
    // Waits until everything posted is written; false when stop() gives true
    // while stdout takes nothing for half a second.
    bool Drain(const std::function<bool()>& stop);

    static constexpr std::size_t kBacklogLimit = 4 * 1024 * 1024;

private:
    void WriteLoop();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_pending;       // posted, not yet taken by the writer
    bool m_bWriting = false;     // the writer holds text it has not finished writing
    bool m_bStopping = false;
    std::size_t m_dropped = 0;   // bytes refused since the backlog was full
    std::uint64_t m_written = 0;
    std::thread m_writer;
};
