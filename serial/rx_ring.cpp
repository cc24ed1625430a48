// The receive ring: one producer (SerialThread), one consumer (the download
// worker). Each position is moved by one side only, so no lock is needed:
// the producer stores the byte before it publishes the advanced pWrite
// (release), and the consumer reads a byte only after it has seen pWrite
// move (acquire).
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "serial/serial_port.h"

RxRingStore RxRing = {{}, {RxRing.storage}, {RxRing.storage}, {0}};

namespace {

unsigned char* Advance(unsigned char* p) {
    ++p;
    return p == RxRing.storage + kRxRingSize ? RxRing.storage : p;
}

// Wakes a consumer that waits in RxRingWait. The producer only notifies when a
// consumer says it is waiting, so a busy line costs no system call per byte.
std::mutex g_waitMutex;
std::condition_variable g_waitCond;
std::atomic<int> g_waiters{0};

}  // namespace

void RxRingReset() {
    RxRing.pRead.store(RxRing.pWrite.load(std::memory_order_acquire), std::memory_order_release);
}

int RxRingGetByte(unsigned char* pByte) {
    unsigned char* pRead = RxRing.pRead.load(std::memory_order_relaxed);
    if (pRead == RxRing.pWrite.load(std::memory_order_acquire)) {
        return 0;
    }
    *pByte = *pRead;
    RxRing.pRead.store(Advance(pRead), std::memory_order_release);
    return 1;
}

void RxRingPutByte(unsigned char byte) {
    unsigned char* pWrite = RxRing.pWrite.load(std::memory_order_relaxed);
    unsigned char* pNext = Advance(pWrite);
    // Full at 8191 unread bytes: the held bytes are kept, the new one dropped.
    if (pNext == RxRing.pRead.load(std::memory_order_acquire)) {
        RxRing.overruns.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    *pWrite = byte;
    // Sequentially consistent with the waiter's count and its look at
    // pWrite in RxRingWait: either the waiter sees the new byte or this side
    // sees the waiter and wakes it.
    RxRing.pWrite.store(pNext, std::memory_order_seq_cst);
    if (g_waiters.load(std::memory_order_seq_cst) != 0) {
        std::lock_guard<std::mutex> lock(g_waitMutex);
        g_waitCond.notify_all();
    }
}

std::size_t RxRingCount() {
    unsigned char* pWrite = RxRing.pWrite.load(std::memory_order_acquire);
    unsigned char* pRead = RxRing.pRead.load(std::memory_order_acquire);
    return static_cast<std::size_t>((pWrite - pRead + static_cast<std::ptrdiff_t>(kRxRingSize)) %
                                    static_cast<std::ptrdiff_t>(kRxRingSize));
}

int RxRingWait(unsigned timeoutMs) {
    auto hasByte = [] {
        return RxRing.pRead.load(std::memory_order_relaxed) != RxRing.pWrite.load(std::memory_order_seq_cst);
    };
    if (hasByte()) {
        return 1;
    }
    std::unique_lock<std::mutex> lock(g_waitMutex);
    g_waiters.fetch_add(1, std::memory_order_seq_cst);
    bool got = g_waitCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), hasByte);
    g_waiters.fetch_sub(1, std::memory_order_seq_cst);
    return got ? 1 : 0;
}
