// The receive ring: one producer (the link's reader), one consumer (the
// download worker). Each position is moved by one side only, so no lock is
// needed: the producer stores the byte before it publishes the advanced
// pWrite (release), and the consumer reads a byte only after it has seen
// pWrite move (acquire).
#include <chrono>

#include "serial/serial_port.h"

RxRingStore::RxRingStore() : storage{}, pWrite(storage), pRead(storage) {}

unsigned char* RxRingStore::Advance(unsigned char* p) {
    ++p;
    return p == storage + kRxRingSize ? storage : p;
}

void RxRingStore::Reset() {
    pRead.store(pWrite.load(std::memory_order_acquire), std::memory_order_release);
}

int RxRingStore::GetByte(unsigned char* pByte) {
    unsigned char* pNow = pRead.load(std::memory_order_relaxed);
    if (pNow == pWrite.load(std::memory_order_acquire)) {
        return 0;
    }
    *pByte = *pNow;
    pRead.store(Advance(pNow), std::memory_order_release);
    return 1;
}

void RxRingStore::PutByte(unsigned char byte) {
    unsigned char* pNow = pWrite.load(std::memory_order_relaxed);
    unsigned char* pNext = Advance(pNow);
    // Full at 8191 unread bytes: the held bytes are kept, the new one dropped.
    if (pNext == pRead.load(std::memory_order_acquire)) {
        overruns.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    *pNow = byte;
    // Sequentially consistent with the waiter's count and its look at
    // pWrite in Wait: either the waiter sees the new byte or this side sees
    // the waiter and wakes it.
    pWrite.store(pNext, std::memory_order_seq_cst);
    if (m_waiters.load(std::memory_order_seq_cst) != 0) {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_waitCond.notify_all();
    }
}

void RxRingStore::PutBytes(const unsigned char* pBytes, std::size_t count) {
    unsigned char* pNow = pWrite.load(std::memory_order_relaxed);
    const unsigned char* pRead0 = pRead.load(std::memory_order_acquire);
    std::size_t put = 0;
    for (; put < count; ++put) {
        unsigned char* pNext = Advance(pNow);
        if (pNext == pRead0) {
            break;
        }
        *pNow = pBytes[put];
        pNow = pNext;
    }
    if (put < count) {
        overruns.fetch_add(static_cast<std::uint32_t>(count - put), std::memory_order_relaxed);
    }
    if (put == 0) {
        return;
    }
    // As in PutByte: either the waiter sees the bytes or this side sees it.
    pWrite.store(pNow, std::memory_order_seq_cst);
    if (m_waiters.load(std::memory_order_seq_cst) != 0) {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_waitCond.notify_all();
    }
}

std::size_t RxRingStore::Count() const {
    unsigned char* pW = pWrite.load(std::memory_order_acquire);
    unsigned char* pR = pRead.load(std::memory_order_acquire);
    return static_cast<std::size_t>((pW - pR + static_cast<std::ptrdiff_t>(kRxRingSize)) %
                                    static_cast<std::ptrdiff_t>(kRxRingSize));
}

int RxRingStore::Wait(unsigned timeoutMs) {
    auto hasByte = [this] {
        return pRead.load(std::memory_order_relaxed) != pWrite.load(std::memory_order_seq_cst);
    };
    if (hasByte()) {
        return 1;
    }
    std::unique_lock<std::mutex> lock(m_waitMutex);
    m_waiters.fetch_add(1, std::memory_order_seq_cst);
    // Looked at again after counting ourselves in: a byte published before
    // the producer could see us is not waited past. Any wake-up returns, so
    // that WakeConsumer reaches the caller.
    if (!hasByte()) {
        m_waitCond.wait_for(lock, std::chrono::milliseconds(timeoutMs));
    }
    m_waiters.fetch_sub(1, std::memory_order_seq_cst);
    return hasByte() ? 1 : 0;
}

void RxRingStore::WakeConsumer() {
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_waitCond.notify_all();
}

void RxRingReset() { RxRing.Reset(); }
int RxRingGetByte(unsigned char* pByte) { return RxRing.GetByte(pByte); }
void RxRingPutByte(unsigned char byte) { RxRing.PutByte(byte); }
std::size_t RxRingCount() { return RxRing.Count(); }
int RxRingWait(unsigned timeoutMs) { return RxRing.Wait(timeoutMs); }
