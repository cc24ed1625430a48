// Byte streams into the emulator's XMODEM-1K receiver, mixed with line
// silences (Expire), refused blocks (Reject) and restarts (Reset). Besides
// running clean under the sanitizers, every event must be explained by the
// bytes that were fed:
//   - a data-frame event is the newest 1029 bytes fed: STX, n, and for Block
//     and Repeat a right complement and a CRC that an independent CRC agrees
//     with; a BadFrame names the first check the frame fails;
//   - accepted blocks are numbered 1, 2, 3 ... modulo 256 since the last
//     Reset, a rejected block's number being expected again; Repeat is only
//     the block before the expected one, once one was accepted;
//   - a framed end or cancel is the newest three bytes 04|18, n, 0xFF - n; a
//     plain cancel is 18 18;
//   - the waiting state and its silence limit agree with each other.
// The input is a list of operations (see Op) so that well-formed frames,
// which random bytes almost never make, are as easy to reach as noise.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "emulator/xmodem_receiver.h"
#include "tests/support/reference_crc.h"

namespace {

enum class Op : std::uint8_t { Raw, GoodFrame, DamagedFrame, PartFrame, Expire, Reject, EndOrCancel, Reset, kMaxValue = Reset };

[[noreturn]] void Fail(const char* what, std::uint64_t fed) {
    std::fprintf(stderr, "xmodem_receiver_fuzz: %s (after %llu bytes fed)\n", what,
                 static_cast<unsigned long long>(fed));
    std::abort();
}

void Require(bool ok, const char* what, std::uint64_t fed) {
    if (!ok) {
        Fail(what, fed);
    }
}

// The newest bytes fed, enough to hold one data frame.
class History {
public:
    void Push(std::uint8_t byte) {
        m_bytes[m_count % m_bytes.size()] = byte;
        ++m_count;
    }
    std::uint64_t Count() const { return m_count; }
    // back = 1 is the newest byte.
    std::uint8_t Back(std::size_t back) const { return m_bytes[(m_count - back) % m_bytes.size()]; }
    // The newest frame-sized run, oldest byte first.
    std::array<std::uint8_t, xmodem::kFrameSize> Frame() const {
        std::array<std::uint8_t, xmodem::kFrameSize> frame{};
        for (std::size_t i = 0; i < frame.size(); ++i) {
            frame[i] = Back(frame.size() - i);
        }
        return frame;
    }

private:
    std::array<std::uint8_t, 2048> m_bytes{};
    std::uint64_t m_count = 0;
};

class Checker {
public:
    void Feed(std::uint8_t byte) {
        m_history.Push(byte);
        std::vector<XmodemEvent> events;
        m_receiver.Feed(byte, events);
        // A byte completes at most a frame, or a lone end plus a plain cancel
        // from the two held bytes taken again.
        Require(events.size() <= 2, "more than two events from one byte", m_history.Count());
        m_lastWasBlock = false;
        for (const XmodemEvent& event : events) {
            CheckFedEvent(event, events.size());
        }
        CheckState();
    }

    void Expire() {
        const XmodemWait before = m_receiver.Waiting();
        std::vector<XmodemEvent> events;
        m_receiver.Expire(events);
        m_lastWasBlock = false;
        const std::uint64_t fed = m_history.Count();
        switch (before) {
        case XmodemWait::None:
            Require(events.empty(), "silence while idle made an event", fed);
            break;
        case XmodemWait::FrameRest:
            Require(events.size() == 1 && events[0].kind == XmodemEventKind::BadFrame &&
                        events[0].reason == BadFrameReason::Timeout,
                    "silence inside a frame is not one timed-out BadFrame", fed);
            Require(m_receiver.Waiting() == XmodemWait::None, "a timed-out frame left something held", fed);
            break;
        case XmodemWait::FrameTail:
            // A lone 04 ends the transfer; a lone 18 is noise. At most one
            // held byte is taken again, and on its own it completes nothing.
            Require(events.empty() || (events.size() == 1 && events[0].kind == XmodemEventKind::Eot &&
                                       !events[0].framed),
                    "silence after a lone 04 or 18 made something other than a plain end", fed);
            if (m_receiver.Waiting() == XmodemWait::FrameRest) {
                Require(m_history.Back(1) == xmodem::kStx, "a frame began from a byte that is not STX", fed);
            } else if (m_receiver.Waiting() == XmodemWait::FrameTail) {
                Require(m_history.Back(1) == xmodem::kEot || m_history.Back(1) == xmodem::kCan,
                        "a tail began from a byte that is neither 04 nor 18", fed);
            }
            break;
        }
        CheckState();
    }

    void Reject() {
        // Only right after a Block: that is the only use the receiver allows.
        if (!m_lastWasBlock) {
            return;
        }
        m_receiver.Reject();
        --m_expected;
        --m_accepted;
        m_lastWasBlock = false;
        CheckState();
    }

    void Reset() {
        m_receiver.Reset();
        m_expected = 1;
        m_accepted = 0;
        m_lastWasBlock = false;
        CheckState();
    }

    std::uint8_t Expected() const { return m_expected; }

private:
    void CheckFedEvent(const XmodemEvent& event, std::size_t eventCount) {
        const std::uint64_t fed = m_history.Count();
        switch (event.kind) {
        case XmodemEventKind::Block:
        case XmodemEventKind::Repeat:
        case XmodemEventKind::BadFrame:
            CheckFrameEvent(event, eventCount);
            return;
        case XmodemEventKind::Eot:
        case XmodemEventKind::Cancel: {
            const std::uint8_t lead = event.kind == XmodemEventKind::Eot ? xmodem::kEot : xmodem::kCan;
            Require(event.data.empty() && event.reason == BadFrameReason::None, "an end carries frame details", fed);
            if (event.framed) {
                Require(fed >= 3 && m_history.Back(3) == lead && m_history.Back(2) == event.number &&
                            static_cast<std::uint8_t>(m_history.Back(2) + m_history.Back(1)) == 0xFF,
                        "a framed end or cancel is not the newest three bytes lead, n, 0xFF - n", fed);
            } else if (event.kind == XmodemEventKind::Cancel) {
                Require(fed >= 2 && m_history.Back(2) == xmodem::kCan && m_history.Back(1) == xmodem::kCan,
                        "a plain cancel is not 18 18", fed);
            } else {
                // A lone 04 given up because the two bytes after it were no
                // n and 0xFF - n.
                Require(fed >= 3 && m_history.Back(3) == xmodem::kEot &&
                            static_cast<std::uint8_t>(m_history.Back(2) + m_history.Back(1)) != 0xFF,
                        "a plain end from bytes that are not 04 followed by two non-complements", fed);
            }
            return;
        }
        }
        Fail("unknown event kind", fed);
    }

    void CheckFrameEvent(const XmodemEvent& event, std::size_t eventCount) {
        const std::uint64_t fed = m_history.Count();
        Require(eventCount == 1, "a completed frame came with other events", fed);
        Require(fed >= xmodem::kFrameSize, "a frame completed before 1029 bytes were fed", fed);
        const auto frame = m_history.Frame();
        Require(frame[0] == xmodem::kStx, "a frame that does not begin with STX", fed);
        Require(event.number == frame[1], "the event's number is not the frame's", fed);
        const bool complementOk = static_cast<std::uint8_t>(frame[1] + frame[2]) == 0xFF;
        const unsigned sentCrc = (unsigned{frame[xmodem::kFrameSize - 2]} << 8) | frame[xmodem::kFrameSize - 1];
        const bool crcOk = ReferenceCrc(frame.data() + 3, xmodem::kBlockSize) == sentCrc;
        const std::uint8_t previous = static_cast<std::uint8_t>(m_expected - 1);

        switch (event.kind) {
        case XmodemEventKind::Block:
            Require(complementOk && crcOk, "a block accepted with a bad complement or CRC", fed);
            Require(event.number == m_expected, "a block accepted out of sequence", fed);
            Require(event.data.size() == xmodem::kBlockSize &&
                        std::equal(event.data.begin(), event.data.end(), frame.begin() + 3),
                    "a block's data is not the frame's payload", fed);
            ++m_expected;
            ++m_accepted;
            m_lastWasBlock = true;
            break;
        case XmodemEventKind::Repeat:
            Require(complementOk && crcOk, "a repeat taken with a bad complement or CRC", fed);
            Require(m_accepted > 0 && event.number == previous, "a repeat that is not the previous block", fed);
            Require(event.data.empty(), "a repeat carries data", fed);
            break;
        case XmodemEventKind::BadFrame:
            Require(event.data.empty(), "a bad frame carries data", fed);
            switch (event.reason) {
            case BadFrameReason::Complement:
                Require(!complementOk, "refused for its complement, which is right", fed);
                break;
            case BadFrameReason::Crc:
                Require(complementOk && !crcOk, "refused for its CRC, which is right", fed);
                break;
            case BadFrameReason::Number:
                Require(complementOk && crcOk && event.number != m_expected &&
                            !(m_accepted > 0 && event.number == previous),
                        "refused for a number that is expected or the previous one", fed);
                break;
            case BadFrameReason::None:
            case BadFrameReason::Timeout:
                Fail("a completed frame refused without a frame reason", fed);
            }
            break;
        case XmodemEventKind::Eot:
        case XmodemEventKind::Cancel:
            Fail("not a frame event", fed);
        }
    }

    void CheckState() const {
        const std::uint64_t fed = m_history.Count();
        Require(m_receiver.Expected() == m_expected, "the expected block number drifted", fed);
        Require(m_receiver.AcceptedBlocks() == m_accepted, "the accepted block count drifted", fed);
        const XmodemWait wait = m_receiver.Waiting();
        Require(m_receiver.Idle() == (wait == XmodemWait::None), "Idle disagrees with Waiting", fed);
        const int limit = m_receiver.SilenceLimitMs();
        switch (wait) {
        case XmodemWait::None:
            Require(limit == 0, "a silence limit with nothing held", fed);
            break;
        case XmodemWait::FrameRest:
            Require(limit == xmodem::kFrameSilenceMs, "a partial frame without the frame silence", fed);
            break;
        case XmodemWait::FrameTail:
            Require(limit == xmodem::kTailSilenceMs, "a held tail without the tail silence", fed);
            break;
        }
    }

    XmodemReceiver m_receiver;
    History m_history;
    std::uint8_t m_expected = 1;
    std::uint64_t m_accepted = 0;
    bool m_lastWasBlock = false;
};

// A data frame with a right complement and CRC; its number and payload come
// from the input.
std::array<std::uint8_t, xmodem::kFrameSize> MakeFrame(FuzzedDataProvider& input, std::uint8_t expected) {
    std::uint8_t number = 0;
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: number = expected; break;
    case 1: number = static_cast<std::uint8_t>(expected - 1); break;
    case 2: number = static_cast<std::uint8_t>(expected + 1); break;
    default: number = input.ConsumeIntegral<std::uint8_t>(); break;
    }
    std::array<std::uint8_t, xmodem::kFrameSize> frame{};
    frame[0] = xmodem::kStx;
    frame[1] = number;
    frame[2] = static_cast<std::uint8_t>(0xFF - number);
    // A payload pattern, with a few bytes of it taken from the input as they
    // are, so control bytes (02, 04, 18) turn up inside frames.
    const std::uint8_t seed = input.ConsumeIntegral<std::uint8_t>();
    const std::uint8_t step = input.ConsumeIntegral<std::uint8_t>();
    for (std::size_t i = 0; i < xmodem::kBlockSize; ++i) {
        frame[3 + i] = static_cast<std::uint8_t>(seed + step * i);
    }
    const std::vector<std::uint8_t> literal = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    std::copy(literal.begin(), literal.end(), frame.begin() + 3);
    const std::uint16_t crc = ReferenceCrc(frame.data() + 3, xmodem::kBlockSize);
    frame[xmodem::kFrameSize - 2] = static_cast<std::uint8_t>(crc >> 8);
    frame[xmodem::kFrameSize - 1] = static_cast<std::uint8_t>(crc & 0xFF);
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    Require(ReferenceCrc(digits, sizeof digits) == 0x31C3, "the reference CRC misses the check value", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
    FuzzedDataProvider input(pData, size);
    Checker checker;
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeEnum<Op>()) {
        case Op::Raw:
            for (std::uint8_t byte : input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 64))) {
                checker.Feed(byte);
            }
            break;
        case Op::GoodFrame:
            for (std::uint8_t byte : MakeFrame(input, checker.Expected())) {
                checker.Feed(byte);
            }
            break;
        case Op::DamagedFrame: {
            auto frame = MakeFrame(input, checker.Expected());
            const std::size_t at = input.ConsumeIntegralInRange<std::size_t>(1, xmodem::kFrameSize - 1);
            frame[at] ^= static_cast<std::uint8_t>(input.ConsumeIntegralInRange<int>(1, 255));
            for (std::uint8_t byte : frame) {
                checker.Feed(byte);
            }
            break;
        }
        case Op::PartFrame: {
            const auto frame = MakeFrame(input, checker.Expected());
            const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(1, xmodem::kFrameSize - 1);
            for (std::size_t i = 0; i < length; ++i) {
                checker.Feed(frame[i]);
            }
            break;
        }
        case Op::Expire:
            checker.Expire();
            break;
        case Op::Reject:
            checker.Reject();
            break;
        case Op::EndOrCancel: {
            const std::uint8_t n = input.ConsumeBool() ? checker.Expected() : input.ConsumeIntegral<std::uint8_t>();
            switch (input.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                for (std::uint8_t byte : {xmodem::kEot, n, static_cast<std::uint8_t>(0xFF - n)}) {
                    checker.Feed(byte);
                }
                break;
            case 1:
                checker.Feed(xmodem::kEot);
                break;
            case 2:
                for (std::uint8_t byte : {xmodem::kCan, n, static_cast<std::uint8_t>(0xFF - n)}) {
                    checker.Feed(byte);
                }
                break;
            default:
                checker.Feed(xmodem::kCan);
                checker.Feed(xmodem::kCan);
                break;
            }
            break;
        }
        case Op::Reset:
            checker.Reset();
            break;
        }
    }
    return 0;
}
