#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/crc16.h"
#include "emulator/xmodem_receiver.h"
#include "xmodem_frames.h"

namespace {

using namespace test_frames;

TEST(Crc16, MatchesXmodemCheckValues)
{
    const std::string digits = "123456789";
    const Bytes nine(digits.begin(), digits.end());
    const Bytes zeros(1024, 0x00);
    const Bytes ones(1024, 0xFF);
    struct Case {
        const Bytes* data;
        std::uint16_t crc;
    } const cases[] = {{&nine, 0x31C3}, {&zeros, 0x0000}, {&ones, 0xC084}};
    for (const Case& c : cases) {
        EXPECT_EQ(ReferenceCrc(*c.data), c.crc) << "the reference CRC";
        EXPECT_EQ(Crc16Xmodem(*c.data), c.crc) << "the emulator's CRC";
    }
    for (unsigned seed = 0; seed < 64; ++seed) {
        EXPECT_EQ(Crc16Xmodem(Payload(seed)), ReferenceCrc(Payload(seed))) << "seed " << seed;
    }
}

// What a test expects of one event; data is checked for blocks only.
struct Expected {
    XmodemEventKind kind;
    std::uint8_t number = 0;
    bool framed = false;
    BadFrameReason reason = BadFrameReason::None;
    int payloadSeed = -1;
};

std::string Describe(const XmodemEvent& e)
{
    static const char* const kinds[] = {"Block", "Repeat", "BadFrame", "Eot", "Cancel"};
    return std::string(kinds[static_cast<int>(e.kind)]) + " n=" + std::to_string(e.number) +
           (e.framed ? " framed" : "") + " (" + BadFrameReasonName(e.reason) + ")";
}

void ExpectEvents(const std::vector<XmodemEvent>& got, const std::vector<Expected>& want, const std::string& where)
{
    std::string gotText;
    for (const XmodemEvent& e : got) {
        gotText += Describe(e) + "; ";
    }
    ASSERT_EQ(got.size(), want.size()) << where << ": got " << gotText;
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(where + ", event " + std::to_string(i) + ": " + Describe(got[i]));
        EXPECT_EQ(got[i].kind, want[i].kind);
        EXPECT_EQ(got[i].number, want[i].number);
        EXPECT_EQ(got[i].framed, want[i].framed);
        EXPECT_EQ(got[i].reason, want[i].reason);
        if (want[i].kind == XmodemEventKind::Block) {
            EXPECT_EQ(got[i].data, Payload(static_cast<unsigned>(want[i].payloadSeed)));
        } else {
            EXPECT_TRUE(got[i].data.empty());
        }
    }
}

Bytes WithFlippedPayloadByte(Bytes frame)
{
    frame[3 + 500] ^= 0x80;
    return frame;
}

struct StreamCase {
    const char* name;
    Bytes stream;
    std::vector<Expected> events;
};

// Every stream must give the same events however the line splits it.
TEST(XmodemReceiver, StreamsGiveTheirEventsWhateverTheSplit)
{
    using K = XmodemEventKind;
    const std::vector<StreamCase> cases = {
        {"good blocks",
         Concat({DataFrame(1, Payload(1)), DataFrame(2, Payload(2))}),
         {{K::Block, 1, false, BadFrameReason::None, 1}, {K::Block, 2, false, BadFrameReason::None, 2}}},
        {"repeated block is acknowledged once more and dropped",
         Concat({DataFrame(1, Payload(1)), DataFrame(1, Payload(1)), DataFrame(2, Payload(2))}),
         {{K::Block, 1, false, BadFrameReason::None, 1},
          {K::Repeat, 1},
          {K::Block, 2, false, BadFrameReason::None, 2}}},
        {"bad crc, then the resend",
         Concat({WithBadCrc(DataFrame(1, Payload(1))), DataFrame(1, Payload(1))}),
         {{K::BadFrame, 1, false, BadFrameReason::Crc}, {K::Block, 1, false, BadFrameReason::None, 1}}},
        {"corrupted payload",
         WithFlippedPayloadByte(DataFrame(1, Payload(1))),
         {{K::BadFrame, 1, false, BadFrameReason::Crc}}},
        {"bad complement",
         Concat({WithBadComplement(DataFrame(1, Payload(1))), DataFrame(1, Payload(1))}),
         {{K::BadFrame, 1, false, BadFrameReason::Complement}, {K::Block, 1, false, BadFrameReason::None, 1}}},
        {"number ahead of the expected one",
         Concat({DataFrame(1, Payload(1)), DataFrame(3, Payload(3)), DataFrame(2, Payload(2))}),
         {{K::Block, 1, false, BadFrameReason::None, 1},
          {K::BadFrame, 3, false, BadFrameReason::Number},
          {K::Block, 2, false, BadFrameReason::None, 2}}},
        {"block 0 before any block is no repeat",
         DataFrame(0, Payload(0)),
         {{K::BadFrame, 0, false, BadFrameReason::Number}}},
        {"three-byte end frame",
         Concat({DataFrame(1, Payload(1)), EndFrame(2)}),
         {{K::Block, 1, false, BadFrameReason::None, 1}, {K::Eot, 2, true}}},
        {"end frame of an empty image",
         EndFrame(1),
         {{K::Eot, 1, true}}},
        {"lone end byte followed by other bytes keeps them",
         Concat({Bytes{0x04}, DataFrame(1, Payload(1))}),
         {{K::Eot}, {K::Block, 1, false, BadFrameReason::None, 1}}},
        {"cancel frame",
         Concat({DataFrame(1, Payload(1)), CancelFrame(2)}),
         {{K::Block, 1, false, BadFrameReason::None, 1}, {K::Cancel, 2, true}}},
        {"two cancel bytes",
         Bytes{0x18, 0x18, 0x18, 0x18},
         {{K::Cancel}, {K::Cancel}}},
        {"lone cancel byte is noise",
         Concat({Bytes{0x18, 'a', 'b'}, DataFrame(1, Payload(1))}),
         {{K::Block, 1, false, BadFrameReason::None, 1}}},
        {"console noise between frames",
         Concat({Bytes{' ', ' ', '1', 'C', '\r', '\n'}, DataFrame(1, Payload(1)), Bytes{0x06, 0x15, 'x'},
                 DataFrame(2, Payload(2))}),
         {{K::Block, 1, false, BadFrameReason::None, 1}, {K::Block, 2, false, BadFrameReason::None, 2}}},
    };

    // Each split: how many bytes go into each Feed call, cycling.
    const std::vector<std::vector<std::size_t>> splits = {{1}, {1u << 20}, {1029}, {3, 1026}, {7, 500, 1}, {1030}};
    for (const StreamCase& c : cases) {
        for (const auto& split : splits) {
            XmodemReceiver receiver;
            std::vector<XmodemEvent> got;
            std::size_t at = 0;
            for (std::size_t k = 0; at < c.stream.size(); ++k) {
                const std::size_t n = std::min(split[k % split.size()], c.stream.size() - at);
                if (n == 1) {
                    receiver.Feed(c.stream[at], got);
                } else {
                    auto more = receiver.Feed(std::span<const std::uint8_t>(c.stream).subspan(at, n));
                    for (auto& e : more) {
                        got.push_back(std::move(e));
                    }
                }
                at += n;
            }
            ExpectEvents(got, c.events, std::string(c.name) + ", split " + std::to_string(split[0]));
            EXPECT_TRUE(receiver.Idle()) << c.name;
        }
    }
}

TEST(XmodemReceiver, NumberingWrapsFrom255To0)
{
    XmodemReceiver receiver;
    std::vector<XmodemEvent> events;
    for (unsigned k = 1; k <= 257; ++k) {
        receiver.Feed(DataFrame(static_cast<std::uint8_t>(k & 0xFF), Payload(k)));
    }
    EXPECT_EQ(receiver.AcceptedBlocks(), 257u);
    EXPECT_EQ(receiver.Expected(), 2);

    // Block 256 carried 0 and 257 carried 1: a further 1 is a repeat, 2 is new.
    const auto repeat = receiver.Feed(DataFrame(1, Payload(257)));
    ExpectEvents(repeat, {{XmodemEventKind::Repeat, 1}}, "repeat after the wrap");
    const auto next = receiver.Feed(Concat({DataFrame(2, Payload(258)), EndFrame(3)}));
    ExpectEvents(next, {{XmodemEventKind::Block, 2, false, BadFrameReason::None, 258}, {XmodemEventKind::Eot, 3, true}},
                 "block 258 and the end frame");

    XmodemReceiver wrapped;
    for (unsigned k = 1; k <= 255; ++k) {
        wrapped.Feed(DataFrame(static_cast<std::uint8_t>(k), Payload(k)));
    }
    ExpectEvents(wrapped.Feed(DataFrame(0, Payload(256))), {{XmodemEventKind::Block, 0, false, BadFrameReason::None, 256}},
                 "block 256 numbered 0");
}

TEST(XmodemReceiver, SilenceEndsWhatIsPending)
{
    using K = XmodemEventKind;
    struct Case {
        const char* name;
        Bytes before;
        XmodemWait waiting;
        std::vector<Expected> onExpire;
    };
    const Bytes whole = DataFrame(1, Payload(1));
    const Bytes partial(whole.begin(), whole.begin() + 600);
    const std::vector<Case> cases = {
        {"partial data frame is refused", partial, XmodemWait::FrameRest, {{K::BadFrame, 1, false, BadFrameReason::Timeout}}},
        {"lone STX", Bytes{0x02}, XmodemWait::FrameRest, {{K::BadFrame, 0, false, BadFrameReason::Timeout}}},
        {"lone end byte is a plain end of transmission", Bytes{0x04}, XmodemWait::FrameTail, {{K::Eot}}},
        {"end byte and one more", Bytes{0x04, 0x07}, XmodemWait::FrameTail, {{K::Eot}}},
        {"lone cancel byte is ignored", Bytes{0x18}, XmodemWait::FrameTail, {}},
    };
    for (const Case& c : cases) {
        XmodemReceiver receiver;
        EXPECT_TRUE(receiver.Feed(c.before).empty()) << c.name;
        EXPECT_EQ(receiver.Waiting(), c.waiting) << c.name;
        EXPECT_FALSE(receiver.Idle()) << c.name;
        EXPECT_EQ(receiver.SilenceLimitMs(),
                  c.waiting == XmodemWait::FrameRest ? xmodem::kFrameSilenceMs : xmodem::kTailSilenceMs);
        std::vector<XmodemEvent> events;
        receiver.Expire(events);
        ExpectEvents(events, c.onExpire, c.name);
        EXPECT_EQ(receiver.Waiting(), XmodemWait::None) << c.name;

        // The receiver is usable again: the first block is still expected.
        ExpectEvents(receiver.Feed(DataFrame(1, Payload(1))), {{K::Block, 1, false, BadFrameReason::None, 1}},
                     std::string(c.name) + ", then block 1");
    }
}

TEST(XmodemReceiver, RejectedBlockIsExpectedAgain)
{
    XmodemReceiver receiver;
    receiver.Feed(DataFrame(1, Payload(1)));
    receiver.Reject();
    EXPECT_EQ(receiver.Expected(), 1);
    ExpectEvents(receiver.Feed(DataFrame(1, Payload(1))),
                 {{XmodemEventKind::Block, 1, false, BadFrameReason::None, 1}}, "block 1 after its refusal");
}

}  // namespace
