// The receive ring on its own: its edges, and one producer against one
// consumer that resets at random.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "serial/serial_port.h"

namespace {

class RxRingTest : public ::testing::Test {
protected:
    void SetUp() override {
        RxRingReset();
        RxRing.overruns.store(0);
    }
};

TEST_F(RxRingTest, EmptyGetLeavesTheByteAndResetEmpties) {
    unsigned char byte = 0xA5;
    EXPECT_EQ(RxRingGetByte(&byte), 0);
    EXPECT_EQ(byte, 0xA5);

    for (int i = 0; i < 100; ++i) {
        RxRingPutByte(static_cast<unsigned char>(i));
    }
    EXPECT_EQ(RxRingCount(), 100u);
    RxRingReset();
    EXPECT_EQ(RxRingCount(), 0u);
    EXPECT_EQ(RxRingGetByte(&byte), 0);
    EXPECT_EQ(byte, 0xA5);
}

TEST_F(RxRingTest, BothPositionsWrapAtTheEndOfTheStorage) {
    // Walk both positions to the last byte of the storage.
    unsigned char* pLast = RxRing.storage + kRxRingSize - 1;
    unsigned char byte = 0;
    while (RxRing.pWrite.load() != pLast) {
        RxRingPutByte(0);
        ASSERT_EQ(RxRingGetByte(&byte), 1);
    }
    ASSERT_EQ(RxRing.pRead.load(), pLast);

    RxRingPutByte(0x11);
    EXPECT_EQ(RxRing.pWrite.load(), RxRing.storage);
    RxRingPutByte(0x22);
    ASSERT_EQ(RxRingGetByte(&byte), 1);
    EXPECT_EQ(byte, 0x11);
    EXPECT_EQ(RxRing.pRead.load(), RxRing.storage);
    ASSERT_EQ(RxRingGetByte(&byte), 1);
    EXPECT_EQ(byte, 0x22);
    EXPECT_EQ(RxRingGetByte(&byte), 0);
}

TEST_F(RxRingTest, FullRingKeepsItsBytesAndCountsWhatItDrops) {
    for (std::size_t i = 0; i < kRxRingSize - 1; ++i) {
        RxRingPutByte(static_cast<unsigned char>(i * 7));
    }
    EXPECT_EQ(RxRingCount(), kRxRingSize - 1);
    EXPECT_EQ(RxRing.overruns.load(), 0u);

    // The 8192nd and 8193rd unread bytes find no room.
    RxRingPutByte(0xEE);
    RxRingPutByte(0xEF);
    EXPECT_EQ(RxRing.overruns.load(), 2u);
    EXPECT_EQ(RxRingCount(), kRxRingSize - 1);

    for (std::size_t i = 0; i < kRxRingSize - 1; ++i) {
        unsigned char byte = 0;
        ASSERT_EQ(RxRingGetByte(&byte), 1) << "at " << i;
        ASSERT_EQ(byte, static_cast<unsigned char>(i * 7)) << "at " << i;
    }
    unsigned char byte = 0;
    EXPECT_EQ(RxRingGetByte(&byte), 0);

    // Room again after the drain.
    RxRingPutByte(0x42);
    ASSERT_EQ(RxRingGetByte(&byte), 1);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(RxRingTest, WaitReturnsOnArrivalOrTimeOut) {
    EXPECT_EQ(RxRingWait(5), 0);
    std::thread producer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RxRingPutByte(0x5A);
    });
    // Far longer than the producer needs: returns on the byte, not the limit.
    EXPECT_EQ(RxRingWait(5000), 1);
    producer.join();
    unsigned char byte = 0;
    ASSERT_EQ(RxRingGetByte(&byte), 1);
    EXPECT_EQ(byte, 0x5A);
}

// The producer puts a running sequence (byte = sequence mod 256) and never
// overfills the ring; the consumer takes bytes and resets at random. Between
// resets every byte must follow its predecessor, and the first byte after a
// reset must have been put after the reset began.
TEST_F(RxRingTest, ProducerAndConsumerWithRandomResets) {
    constexpr std::uint64_t kTotal = 3'000'000;
    std::atomic<std::uint64_t> produced{0};
    std::atomic<bool> done{false};

    std::thread producer([&] {
        for (std::uint64_t seq = 0; seq < kTotal; ++seq) {
            while (RxRingCount() >= kRxRingSize - 16) {
                std::this_thread::yield();
            }
            RxRingPutByte(static_cast<unsigned char>(seq));
            produced.store(seq + 1, std::memory_order_release);
        }
        done.store(true);
    });

    std::mt19937 random(12345);
    std::uint64_t taken = 0;
    std::uint64_t resets = 0;
    int expected = -1;  // -1: unknown, right after a reset
    std::uint64_t resetLow = 0;
    std::uint64_t resetHigh = 0;
    while (!done.load() || RxRingCount() != 0) {
        if (random() % 5000 == 0) {
            resetLow = produced.load(std::memory_order_acquire);
            RxRingReset();
            resetHigh = produced.load(std::memory_order_acquire);
            expected = -1;
            ++resets;
            continue;
        }
        unsigned char byte = 0;
        if (RxRingGetByte(&byte) == 0) {
            continue;
        }
        ++taken;
        if (expected < 0) {
            // The reset moved the read position to the then write position,
            // so this byte's sequence number lies in [resetLow, resetHigh + 1]
            // (+1: the producer publishes its count just after the byte);
            // checkable while that window is narrower than a byte's range.
            std::uint64_t span = resetHigh - resetLow;
            if (span < 200) {
                unsigned distance = static_cast<unsigned char>(byte - static_cast<unsigned char>(resetLow));
                ASSERT_LE(distance, span + 1) << "a byte from before the reset was handed out";
            }
        } else {
            ASSERT_EQ(byte, static_cast<unsigned char>(expected)) << "after " << taken << " bytes";
        }
        expected = static_cast<unsigned char>(byte + 1);
    }
    producer.join();
    EXPECT_GT(resets, 10u);
    EXPECT_GT(taken, kTotal / 10);  // resets drop what the ring held
    EXPECT_EQ(RxRing.overruns.load(), 0u);
}

}  // namespace
