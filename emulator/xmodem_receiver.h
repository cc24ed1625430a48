// The receiving side of XMODEM-1K with CRC-16, as a pure byte parser: bytes go
// in, events come out, and nothing here reads a clock or touches a line. The
// caller owns time: when Waiting() says a partial frame or an end/cancel frame
// tail is pending and the line has been silent for SilenceLimitMs(), it calls
// Expire().
//
// Frames understood:
//   data frame   02 n FF-n <1024 bytes> crc-high crc-low   (1029 bytes)
//   end frame    04 n FF-n, or a lone 04 (plain XMODEM senders)
//   cancel frame 18 n FF-n, or 18 18 (plain XMODEM senders)
// Bytes outside a frame that start none of these are console noise and are
// skipped; Idle() tells the caller that a byte went nowhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace xmodem {
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;
constexpr std::size_t kBlockSize = 1024;
constexpr std::size_t kFrameSize = 3 + kBlockSize + 2;
// Silence after which a partial data frame is given up.
constexpr int kFrameSilenceMs = 1000;
// How long a lone 04 or 18 waits for the two bytes of a three-byte frame.
constexpr int kTailSilenceMs = 50;
}  // namespace xmodem

enum class XmodemEventKind {
    Block,     // the expected block: acknowledge and keep its data
    Repeat,    // the previous block again (its ACK was lost): acknowledge, drop
    BadFrame,  // refuse with NAK
    Eot,       // end of transmission
    Cancel,    // the sender gave up
};

enum class BadFrameReason { None, Complement, Crc, Number, Timeout };

struct XmodemEvent {
    XmodemEventKind kind = XmodemEventKind::BadFrame;
    // Block, Repeat, BadFrame: the frame's block number (0 when a timed-out
    // frame ended before it). Eot, Cancel: the frame's n when framed.
    std::uint8_t number = 0;
    // Eot, Cancel: true for the three-byte frame, false for the lone form.
    bool framed = false;
    BadFrameReason reason = BadFrameReason::None;
    std::vector<std::uint8_t> data;  // Block only: the 1024 payload bytes
};

const char* BadFrameReasonName(BadFrameReason reason);

enum class XmodemWait {
    None,       // nothing partial held
    FrameRest,  // inside a data frame
    FrameTail,  // after a lone 04 or 18, waiting for n and FF-n
};

class XmodemReceiver {
public:
    XmodemReceiver();

    // Takes one byte; appends the events it completes (none, one, or, when a
    // held tail turns out not to belong to a frame and is taken again, more).
    void Feed(std::uint8_t byte, std::vector<XmodemEvent>& events);
    std::vector<XmodemEvent> Feed(std::span<const std::uint8_t> bytes);

    // The line has been silent for SilenceLimitMs(): a partial data frame is
    // discarded (BadFrame, Timeout), a lone 04 becomes a plain end of
    // transmission, a lone 18 is ignored. Held tail bytes are taken again.
    void Expire(std::vector<XmodemEvent>& events);

    XmodemWait Waiting() const;
    int SilenceLimitMs() const;  // 0 when Waiting() is None
    bool Idle() const { return m_state == State::Idle; }
    // The block number the next good data frame must carry (1 at the start,
    // wrapping 255 -> 0).
    std::uint8_t Expected() const { return m_expected; }
    std::uint64_t AcceptedBlocks() const { return m_accepted; }

    // Takes back the Block event just reported: the caller chose not to
    // acknowledge it, so the same block number is expected again.
    void Reject();

    void Reset();

private:
    enum class State { Idle, Frame, EotTail, CanTail };

    void FeedIdle(std::uint8_t byte);
    void FinishFrame(std::vector<XmodemEvent>& events);
    // Leaves a tail state, then takes the held tail bytes again as fresh input.
    void Replay(std::vector<XmodemEvent>& events);

    State m_state = State::Idle;
    std::vector<std::uint8_t> m_frame;
    std::array<std::uint8_t, 2> m_tail{};
    std::size_t m_tailLength = 0;
    std::uint8_t m_expected = 1;
    std::uint64_t m_accepted = 0;
};
