// Bookkeeping of the open port shared by the platform backends: which handle
// is open, which writes are under way on it, and whether its reader thread
// still runs. It lets Close wait for a write in flight before the handle is
// released (a reused handle number must never receive our bytes), and lets
// Close or the next Open wait for the old reader so one reader feeds the ring.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "serial/serial_port.h"

class PortState {
public:
    // Records hPort as the open port and counts a new generation.
    void Publish(PortHandle hPort);
    // A write on hPort may begin: it is the open port, not closing, line not
    // lost. Every true must be followed by EndWrite.
    bool BeginWrite(PortHandle hPort);
    void EndWrite();
    // Writers that wait on a slow line poll this to give up early.
    bool Closing();
    // Starts closing hPort: no new write may begin, and the call returns once
    // the writes under way have ended. False when hPort is not the open port.
    bool BeginClose(PortHandle hPort);
    // The handle has been released: nothing is open any more.
    void EndClose();
    bool Usable(PortHandle hPort, std::uint32_t generation);
    std::uint32_t Generation();

    void ReaderStarted();
    void ReaderEnded();
    // Waits up to timeoutMs for the reader to end; true when none runs.
    bool WaitReaderEnded(unsigned timeoutMs);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bOpen = false;
    bool m_bClosing = false;
    PortHandle m_hPort{};
    std::uint32_t m_generation = 0;
    int m_writers = 0;
    int m_readers = 0;
};

// The one open port of the process.
extern PortState g_portState;

// Prints a diagnostic line on stdout at once (stdout may be a pipe).
void SerialDiag(const char* pFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
