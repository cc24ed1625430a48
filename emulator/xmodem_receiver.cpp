#include "emulator/xmodem_receiver.h"

#include "emulator/crc16.h"

const char* BadFrameReasonName(BadFrameReason reason)
{
    switch (reason) {
    case BadFrameReason::None: return "none";
    case BadFrameReason::Complement: return "bad complement";
    case BadFrameReason::Crc: return "bad crc";
    case BadFrameReason::Number: return "wrong block number";
    case BadFrameReason::Timeout: return "partial frame timed out";
    }
    return "?";
}

namespace {

XmodemEvent MakeEvent(XmodemEventKind kind, std::uint8_t number = 0, bool framed = false,
                      BadFrameReason reason = BadFrameReason::None)
{
    XmodemEvent event;
    event.kind = kind;
    event.number = number;
    event.framed = framed;
    event.reason = reason;
    return event;
}

}  // namespace

XmodemReceiver::XmodemReceiver()
{
    m_frame.reserve(xmodem::kFrameSize);
}

void XmodemReceiver::Reset()
{
    m_state = State::Idle;
    m_frame.clear();
    m_tailLength = 0;
    m_expected = 1;
    m_accepted = 0;
}

void XmodemReceiver::Reject()
{
    if (m_accepted > 0) {
        --m_accepted;
        --m_expected;
    }
}

XmodemWait XmodemReceiver::Waiting() const
{
    switch (m_state) {
    case State::Frame: return XmodemWait::FrameRest;
    case State::EotTail:
    case State::CanTail: return XmodemWait::FrameTail;
    case State::Idle: break;
    }
    return XmodemWait::None;
}

int XmodemReceiver::SilenceLimitMs() const
{
    switch (Waiting()) {
    case XmodemWait::FrameRest: return xmodem::kFrameSilenceMs;
    case XmodemWait::FrameTail: return xmodem::kTailSilenceMs;
    case XmodemWait::None: break;
    }
    return 0;
}

std::vector<XmodemEvent> XmodemReceiver::Feed(std::span<const std::uint8_t> bytes)
{
    std::vector<XmodemEvent> events;
    for (std::uint8_t byte : bytes) {
        Feed(byte, events);
    }
    return events;
}

void XmodemReceiver::FeedIdle(std::uint8_t byte)
{
    switch (byte) {
    case xmodem::kStx:
        m_frame.clear();
        m_frame.push_back(byte);
        m_state = State::Frame;
        break;
    case xmodem::kEot:
        m_tailLength = 0;
        m_state = State::EotTail;
        break;
    case xmodem::kCan:
        m_tailLength = 0;
        m_state = State::CanTail;
        break;
    default:
        break;  // console noise between frames
    }
}

void XmodemReceiver::Feed(std::uint8_t byte, std::vector<XmodemEvent>& events)
{
    switch (m_state) {
    case State::Idle:
        FeedIdle(byte);
        return;
    case State::Frame:
        m_frame.push_back(byte);
        if (m_frame.size() == xmodem::kFrameSize) {
            FinishFrame(events);
        }
        return;
    case State::EotTail:
    case State::CanTail:
        break;
    }

    // A plain sender cancels with two CAN bytes in a row.
    if (m_state == State::CanTail && m_tailLength == 0 && byte == xmodem::kCan) {
        m_state = State::Idle;
        events.push_back(MakeEvent(XmodemEventKind::Cancel));
        return;
    }
    m_tail[m_tailLength++] = byte;
    if (m_tailLength < m_tail.size()) {
        return;
    }
    if (static_cast<std::uint8_t>(m_tail[0] + m_tail[1]) == 0xFF) {
        const bool eot = m_state == State::EotTail;
        m_state = State::Idle;
        m_tailLength = 0;
        events.push_back(MakeEvent(eot ? XmodemEventKind::Eot : XmodemEventKind::Cancel, m_tail[0], true));
        return;
    }
    // Not n and FF-n: the 04 stood alone, and the two bytes are new input.
    Replay(events);
}

void XmodemReceiver::Replay(std::vector<XmodemEvent>& events)
{
    if (m_state == State::EotTail) {
        events.push_back(MakeEvent(XmodemEventKind::Eot));
    }
    // A lone 18 is line noise: plain XMODEM wants two.
    m_state = State::Idle;
    const std::array<std::uint8_t, 2> held = m_tail;
    const std::size_t heldLength = m_tailLength;
    m_tailLength = 0;
    for (std::size_t i = 0; i < heldLength; ++i) {
        Feed(held[i], events);
    }
}

void XmodemReceiver::Expire(std::vector<XmodemEvent>& events)
{
    switch (m_state) {
    case State::Idle:
        return;
    case State::Frame:
        events.push_back(MakeEvent(XmodemEventKind::BadFrame, m_frame.size() > 1 ? m_frame[1] : std::uint8_t{0},
                                   false, BadFrameReason::Timeout));
        m_frame.clear();
        m_state = State::Idle;
        return;
    case State::EotTail:
    case State::CanTail:
        Replay(events);
        return;
    }
}

void XmodemReceiver::FinishFrame(std::vector<XmodemEvent>& events)
{
    m_state = State::Idle;
    const std::uint8_t number = m_frame[1];
    XmodemEvent event = MakeEvent(XmodemEventKind::BadFrame, number);

    const std::span<const std::uint8_t> payload(m_frame.data() + 3, xmodem::kBlockSize);
    const unsigned sentCrc = (unsigned{m_frame[xmodem::kFrameSize - 2]} << 8) | m_frame[xmodem::kFrameSize - 1];
    const std::uint8_t previous = static_cast<std::uint8_t>(m_expected - 1);

    if (static_cast<std::uint8_t>(number + m_frame[2]) != 0xFF) {
        event.reason = BadFrameReason::Complement;
    } else if (Crc16Xmodem(payload) != sentCrc) {
        event.reason = BadFrameReason::Crc;
    } else if (number == m_expected) {
        event.kind = XmodemEventKind::Block;
        event.data.assign(payload.begin(), payload.end());
        ++m_expected;
        ++m_accepted;
    } else if (m_accepted > 0 && number == previous) {
        event.kind = XmodemEventKind::Repeat;
    } else {
        event.reason = BadFrameReason::Number;
    }
    m_frame.clear();
    events.push_back(std::move(event));
}
