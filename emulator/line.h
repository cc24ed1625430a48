// The emulator's end of the serial line: the master side of a pseudo-terminal
// (or a real serial device), in raw mode, with an output queue that can be
// paced to a baud rate.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using Clock = std::chrono::steady_clock;

// Owns one file descriptor and closes it.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

enum class LineRead { Data, Nothing, Gone };

class Line {
public:
    // A new pseudo-terminal; Name() is the path a client opens. The emulator
    // keeps a descriptor of that path open itself, so that a client closing
    // and reopening the port does not hang up the master side.
    static std::unique_ptr<Line> CreatePty(std::string& error);
    // A real serial device (115200 8N1, raw), e.g. for a null-modem cable.
    static std::unique_ptr<Line> OpenDevice(const std::string& path, std::string& error);

    const std::string& Name() const { return m_name; }
    int Fd() const { return m_io.Get(); }
    bool Open() const { return m_io.Valid(); }

    // 0 sends as fast as the line takes it; otherwise both directions are
    // paced at 10 bits per byte.
    void SetBaud(unsigned baud);

    // Appends what has arrived to bytes.
    LineRead Read(std::vector<std::uint8_t>& bytes);
    // The earliest time the next received byte could have finished arriving,
    // given that it was read at now: received bytes are stamped with it in
    // order, so an answer can be held back until its question could have
    // crossed the line.
    Clock::time_point StampArrival(Clock::time_point now);

    // Queues bytes to leave no earlier than notBefore.
    void Send(std::string_view text, Clock::time_point notBefore);
    void Send(std::span<const std::uint8_t> bytes, Clock::time_point notBefore);
    // Writes what the pacing allows at now. False when the line is gone.
    bool Flush(Clock::time_point now);
    // Flushes the whole queue, sleeping as the pacing asks, giving up at
    // deadline (a client that reads nothing).
    void FlushAll(Clock::time_point deadline);
    bool QueueEmpty() const { return m_queue.empty(); }
    // When the queue waits on the clock rather than on the line.
    std::optional<Clock::time_point> NextSendTime(Clock::time_point now) const;
    bool WantsWritable() const { return m_blocked; }
    // When the last queued byte will have left the line.
    Clock::time_point TransmitDoneAt(Clock::time_point now) const;

    // Bytes sent to the client that it has not read yet (pseudo-terminal), or
    // still in the device's output buffer.
    std::size_t Unread() const;

    // Drops what is queued and not yet written (the box lost its power).
    void Discard();

    // Unplugs the line: closes every descriptor, so a client sees the port
    // hang up.
    void Hangup();

private:
    struct Pending {
        std::uint8_t byte;
        Clock::time_point notBefore;
    };

    Clock::time_point SlotFor(const Pending& pending, Clock::time_point now) const;

    FileDescriptor m_io;     // pseudo-terminal master, or the device
    FileDescriptor m_slave;  // the emulator's own hold on the client's side
    bool m_device = false;
    std::string m_name;
    std::chrono::nanoseconds m_byteTime{0};
    Clock::time_point m_rxClock{};
    Clock::time_point m_txClock{};
    std::deque<Pending> m_queue;
    bool m_blocked = false;  // the last write met a full line
};
