// Image loading, CRC-16 and the block transfer, against a receiver played
// by the test on the far end of a real pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "download/download.h"
#include "tests/support/pty_link_test.h"
#include "tests/support/reference_crc.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::vector<unsigned char> RandomBytes(std::size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    std::mt19937 random(seed);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

fs::path WriteImage(const std::string& name, const std::vector<unsigned char>& bytes) {
    fs::path path = fs::temp_directory_path() / ("kelvora-framing-" + std::to_string(getpid()) + "-" + name);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(Crc16, CheckValues) {
    const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(CalcCrc16(digits, 9), 0x31C3);
    std::vector<unsigned char> zeros(1024, 0x00);
    std::vector<unsigned char> ones(1024, 0xFF);
    EXPECT_EQ(CalcCrc16(zeros.data(), 1024), 0x0000);
    EXPECT_EQ(CalcCrc16(ones.data(), 1024), 0xC084);
    EXPECT_EQ(CalcCrc16(digits, 0), 0x0000);
    // Only the low 16 bits of the length count.
    std::vector<unsigned char> big(65536 + 9, 0x5A);
    EXPECT_EQ(CalcCrc16(big.data(), 65536), 0x0000);
    std::copy(std::begin(digits), std::end(digits), big.begin());
    EXPECT_EQ(CalcCrc16(big.data(), 65536 + 9), 0x31C3);
}

TEST(Framing, FramesCarryNumberComplementAndCrcHighFirst) {
    std::vector<unsigned char> ones(1024, 0xFF);
    unsigned char frame[kDataFrameSize];
    FrameData(frame, 0x00, ones.data());
    EXPECT_EQ(frame[0], 0x02);
    EXPECT_EQ(frame[1], 0x00);
    EXPECT_EQ(frame[2], 0xFF);
    EXPECT_EQ(frame[1027], 0xC0);
    EXPECT_EQ(frame[1028], 0x84);
    unsigned char end[3];
    FrameShort(end, kEot, 0x04);
    EXPECT_EQ(std::vector<unsigned char>(end, end + 3), (std::vector<unsigned char>{0x04, 0x04, 0xFB}));
}

struct LoadCase {
    std::size_t size;
    std::uint32_t length;
};

TEST(ImageLoad, TransferLengthAndFillForEverySize) {
    const LoadCase cases[] = {
        {0, 0},
        {1, 1024},
        {1023, 1024},
        {1024, 1024},
        {1025, 2048},
        {3000, 3072},
        {kImageCapacity - 1, kImageCapacity},
        {kImageCapacity, kImageCapacity},
        {kImageCapacity + 5000, kImageCapacity},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        auto bytes = RandomBytes(c.size, static_cast<unsigned>(c.size));
        fs::path path = WriteImage("load", bytes);
        RecordingFrontEnd front;
        ImageBuffer buffer;
        std::uint32_t length = 12345;
        ASSERT_EQ(ImageLoad(path.c_str(), buffer, &length, front), LoadResult::Loaded);
        // The image the command line reads once holds exactly what one run
        // frames; it refuses a file the loader cannot take whole.
        std::shared_ptr<const LoadedImage> pShared;
        const SharedLoadResult shared = ImageLoadShared(path.c_str(), pShared);
        fs::remove(path);
        EXPECT_EQ(length, c.length);
        if (c.size > kImageCapacity) {
            EXPECT_EQ(shared, SharedLoadResult::TooLarge);
            EXPECT_EQ(pShared, nullptr);
        } else {
            ASSERT_EQ(shared, SharedLoadResult::Loaded);
            EXPECT_EQ(pShared->fileSize, c.size);
            ASSERT_EQ(pShared->bytes.size(), length);
            EXPECT_TRUE(std::equal(pShared->bytes.begin(), pShared->bytes.end(), buffer.Data()));
        }
        EXPECT_EQ(front.Events(), std::vector<std::string>{"status:start"});
        std::size_t data = std::min<std::size_t>(c.size, kImageCapacity);
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(data), buffer.Data()));
        for (std::size_t i = data; i < length; ++i) {
            ASSERT_EQ(buffer.Data()[i], 0xFF) << "fill byte " << i;
        }
    }
}

TEST(ImageLoad, UnreadableImagesAndMissingMemory) {
    RecordingFrontEnd front;
    ImageBuffer buffer;
    std::uint32_t length = 0;
    std::uint64_t obtained = ImageBuffer::ObtainedCount();
    std::uint64_t released = ImageBuffer::ReleasedCount();

    EXPECT_EQ(ImageLoad("/no/such/image.ssu", buffer, &length, front), LoadResult::NotOpened);
    EXPECT_TRUE(front.Events().empty());
    std::shared_ptr<const LoadedImage> pShared;
    EXPECT_EQ(ImageLoadShared("/no/such/image.ssu", pShared), SharedLoadResult::NotOpened);
    EXPECT_EQ(errno, ENOENT);
    // Only a regular file is read: a FIFO (no writer: it must not be waited
    // for), a device that never ends, a folder.
    const fs::path folder = fs::temp_directory_path();
    const fs::path fifo = folder / ("kelvora-framing-" + std::to_string(getpid()) + "-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char* pPath : {fifo.c_str(), "/dev/zero", folder.c_str()}) {
        EXPECT_EQ(ImageLoadShared(pPath, pShared), SharedLoadResult::NotRegular) << pPath;
    }
    fs::remove(fifo);
    EXPECT_EQ(pShared, nullptr);

    // A directory opens but cannot be read: not an image, and the buffer
    // taken for it is given back.
    EXPECT_EQ(ImageLoad(fs::temp_directory_path().c_str(), buffer, &length, front), LoadResult::NotOpened);
    EXPECT_FALSE(buffer.Held());

    fs::path path = WriteImage("nomem", RandomBytes(100, 1));
    ImageBuffer::FailAllocationsForTest(true);
    EXPECT_EQ(ImageLoad(path.c_str(), buffer, &length, front), LoadResult::NoBuffer);
    ImageBuffer::FailAllocationsForTest(false);
    fs::remove(path);
    EXPECT_FALSE(buffer.Held());
    EXPECT_EQ(ImageBuffer::ObtainedCount() - obtained, ImageBuffer::ReleasedCount() - released);
}

// The receiver on the far end: collects frames and answers each data frame
// with what the script gives for its index (0-based).
class Receiver {
public:
    using Script = std::function<std::string(std::size_t block)>;

    Receiver(const PtyPair& pty, Script script) : m_pty(pty), m_script(std::move(script)) {
        m_thread = std::thread([this] { Run(); });
    }
    ~Receiver() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    // Data frames, then the final short frame, as received; read after Stop.
    std::vector<std::vector<unsigned char>> frames;

private:
    void Run() {
        std::vector<unsigned char> pending;
        while (!m_stop) {
            std::size_t want = pending.empty() ? 1 : (pending[0] == kStx ? kDataFrameSize : 3) - pending.size();
            auto got = m_pty.Receive(want, 20ms);
            pending.insert(pending.end(), got.begin(), got.end());
            while (!pending.empty()) {
                std::size_t need = pending[0] == kStx ? kDataFrameSize : 3;
                if (pending.size() < need) {
                    break;
                }
                frames.emplace_back(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(need));
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(need));
                if (need == kDataFrameSize) {
                    m_pty.Send(m_script(frames.size() - 1));
                }
            }
        }
    }

    const PtyPair& m_pty;
    Script m_script;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class ImageSendTest : public PtyLinkTest {
protected:
    SendResult Send(const std::vector<unsigned char>& image, const Receiver::Script& script,
                    std::vector<std::vector<unsigned char>>* pFrames) {
        fs::path path = WriteImage("send", image);
        std::uint32_t length = 0;
        EXPECT_EQ(ImageLoad(path.c_str(), buffer, &length, front), LoadResult::Loaded);
        fs::remove(path);
        SendResult result;
        {
            Receiver receiver(m_pty, script);
            result = ImageSend(buffer, length, Link());
            std::this_thread::sleep_for(200ms);
            receiver.Stop();
            *pFrames = receiver.frames;
        }
        return result;
    }

    ImageBuffer buffer;
};

TEST_F(ImageSendTest, ThreeThousandBytesShowStatusAndProgressPerBlock) {
    auto image = RandomBytes(3000, 3);
    std::vector<std::vector<unsigned char>> frames;
    ASSERT_EQ(Send(image, [](std::size_t) { return std::string(1, kAck); }, &frames), SendResult::Completed);
    EXPECT_TRUE(buffer.Held()) << "the worker releases it after the verdict";
    EXPECT_EQ(front.Events(),
              (std::vector<std::string>{"status:start", "range:0-3", "pos:0", "status:1024 / 3072", "pos:0",
                                        "status:2048 / 3072", "pos:1", "status:3072 / 3072", "pos:2"}));
    ASSERT_EQ(frames.size(), 4u);
    for (unsigned n = 1; n <= 3; ++n) {
        const auto& frame = frames[n - 1];
        EXPECT_EQ(frame[0], kStx);
        EXPECT_EQ(frame[1], n);
        EXPECT_EQ(frame[2], 0xFF - n);
        std::vector<unsigned char> payload(frame.begin() + 3, frame.begin() + 1027);
        std::uint16_t crc = ReferenceCrc(payload.data(), 1024);
        EXPECT_EQ(frame[1027], crc >> 8);
        EXPECT_EQ(frame[1028], crc & 0xFF);
        for (std::size_t i = 0; i < 1024; ++i) {
            std::size_t at = (n - 1) * 1024 + i;
            ASSERT_EQ(payload[i], at < image.size() ? image[at] : 0xFF) << "block " << n << " byte " << i;
        }
    }
    EXPECT_EQ(frames[3], (std::vector<unsigned char>{0x04, 0x04, 0xFB}));
}

TEST_F(ImageSendTest, BlockNumbersWrapPastTwoHundredFiftyFive) {
    std::vector<std::vector<unsigned char>> frames;
    ASSERT_EQ(Send(RandomBytes(257 * 1024, 4), [](std::size_t) { return std::string(1, kAck); }, &frames),
              SendResult::Completed);
    ASSERT_EQ(frames.size(), 258u);
    EXPECT_EQ(frames[254][1], 0xFF);
    EXPECT_EQ(frames[255][1], 0x00);
    EXPECT_EQ(frames[255][2], 0xFF);
    EXPECT_EQ(frames[256][1], 0x01);
    EXPECT_EQ(frames[256][2], 0xFE);
    EXPECT_EQ(frames[257], (std::vector<unsigned char>{0x04, 0x02, 0xFD}));
}

TEST_F(ImageSendTest, EmptyImageSendsOnlyTheEndFrame) {
    std::vector<std::vector<unsigned char>> frames;
    ASSERT_EQ(Send({}, [](std::size_t) { return std::string(1, kAck); }, &frames), SendResult::Completed);
    EXPECT_EQ(front.Events(), (std::vector<std::string>{"status:start", "range:0-0", "pos:0"}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (std::vector<unsigned char>{0x04, 0x01, 0xFE}));
}

TEST_F(ImageSendTest, NoiseBeforeTheAckIsDroppedAndADoubledAckIsNoLaterAnswer) {
    std::vector<std::vector<unsigned char>> frames;
    // Block 1: "C" and CAN before the ACK; block 2: two ACKs, the second of
    // which is discarded before block 3 is written; block 3 is acknowledged;
    // block 4 is refused.
    auto script = [](std::size_t block) -> std::string {
        switch (block) {
        case 0:
            return std::string("C\x18") + static_cast<char>(kAck);
        case 1:
            return std::string(2, static_cast<char>(kAck));
        case 2:
            return std::string(1, static_cast<char>(kAck));
        default:
            return std::string(1, static_cast<char>(kNak));
        }
    };
    std::uint64_t released = ImageBuffer::ReleasedCount();
    ASSERT_EQ(Send(RandomBytes(5 * 1024, 5), script, &frames), SendResult::Refused);
    EXPECT_FALSE(buffer.Held());
    EXPECT_EQ(ImageBuffer::ReleasedCount() - released, 1u);
    ASSERT_EQ(frames.size(), 5u) << "four blocks, no resend, then the cancel frame";
    EXPECT_EQ(frames[3][1], 4);
    EXPECT_EQ(frames[4], (std::vector<unsigned char>{0x18, 0x04, 0xFB}));
}

TEST_F(ImageSendTest, NakOnTheFirstBlockCancelsWithoutResend) {
    std::vector<std::vector<unsigned char>> frames;
    ASSERT_EQ(Send(RandomBytes(4096, 6), [](std::size_t) { return std::string(1, kNak); }, &frames),
              SendResult::Refused);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], (std::vector<unsigned char>{0x18, 0x01, 0xFE}));
}

// A block's wait looks at 5001 bytes at most and ends no sooner than 5000 ms
// after the block went out, however fast the box chatters: block 3's ACK
// comes as byte 5002, stays in the ring, and the block counts as unanswered.
TEST_F(ImageSendTest, ChatterWithoutAnAnswerCancelsNoSoonerThanTheAnswerWait) {
    std::vector<std::vector<unsigned char>> frames;
    auto start = std::chrono::steady_clock::now();
    auto script = [](std::size_t block) {
        return block == 2 ? std::string(kAnswerPollLimit + 1, '.') + static_cast<char>(kAck) : std::string(1, kAck);
    };
    ASSERT_EQ(Send(RandomBytes(4096, 7), script, &frames), SendResult::NoAnswer);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5000ms);
    EXPECT_EQ(RxRingCount(), 1u) << "byte 5002 is not taken";
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3], (std::vector<unsigned char>{0x18, 0x03, 0xFC}));
    EXPECT_FALSE(buffer.Held());
}

TEST_F(ImageSendTest, PortClosedMidTransferStopsWritingAtOnce) {
    std::vector<std::vector<unsigned char>> frames;
    auto script = [this](std::size_t block) {
        if (block == 1) {
            // The operator closes the port while block 2 awaits its answer.
            g_bStopThread = 1;
            SerialClose(front.hComm);
        }
        return std::string(1, kAck);
    };
    ASSERT_EQ(Send(RandomBytes(10 * 1024, 8), script, &frames), SendResult::PortGone);
    EXPECT_EQ(frames.size(), 2u) << "nothing written after the close";
    EXPECT_FALSE(buffer.Held());
}

}  // namespace
