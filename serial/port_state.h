// The inside of a link, shared by the platform backends: which handle is
// open, which writes are under way on it, whether its reader still runs,
// and the record of each open that its reader keeps alive.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "serial/serial_port.h"

// How long an open or a close waits for a reader to end.
inline constexpr unsigned kReaderEndWaitMs = 1000;

// Bookkeeping of a link's open port. It lets Close wait for a write in
// flight before the handle is released (a reused handle number must never
// receive our bytes), and lets Close or the next Open wait for the old
// reader so one reader feeds the ring.
class PortState {
public:
    explicit PortState(const std::atomic<int>& lineLost) : m_lineLost(lineLost) {}

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
    bool Open();
    PortHandle Handle();

    void ReaderStarted();
    void ReaderEnded();
    // Waits up to timeoutMs for the reader to end; true when none runs.
    bool WaitReaderEnded(unsigned timeoutMs);

private:
    const std::atomic<int>& m_lineLost;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bOpen = false;
    bool m_bClosing = false;
    PortHandle m_hPort{};
    std::uint32_t m_generation = 0;
    int m_writers = 0;
    int m_readers = 0;
};

// The newest bytes a link received, kept for a record of the run, and a
// short tail of them that is only read, never taken, for a live view.
class ConsoleCapture {
public:
    void Enable(std::size_t limit);
    void EnableTail(std::size_t limit);
    // While paused, Append keeps nothing for Take; the tail goes on.
    void Pause(bool bPaused);
    // Called by the reader for every run of bytes it puts into the ring.
    void Append(const unsigned char* pBytes, std::size_t count);
    std::string Take();
    ConsoleTail Tail();

private:
    std::atomic<std::size_t> m_limit{0};
    std::atomic<std::size_t> m_tailLimit{0};
    // Written by the run's worker, read by the reader.
    std::atomic<bool> m_bPaused{false};
    std::mutex m_mutex;
    std::string m_bytes;
    std::string m_tail;
    std::uint64_t m_received = 0;
    std::chrono::steady_clock::time_point m_lastByte{};
};

// One open of a link: the reader's own state, kept alive by the reader
// itself, so that a reader that outlives its Close never touches freed
// memory and is never started again by a later open.
struct OpenRecord {
    std::shared_ptr<LinkCore> pCore;
    // The port's name, for the diagnostic lines of its reader.
    std::string name;
    // The handle the reader reads through (the reader's slot).
    PortHandle hPort = kInvalidPort;
    // Set by Close and by the next open of the link; the reader ends at the
    // end of its turn once it is set. Never cleared.
    std::atomic<bool> bStop{false};
    // When Close's wait for the reader runs out, the handle is not closed
    // under the reader: the reader closes it as it ends. Guarded by mutex.
    std::mutex mutex;
    bool bEnded = false;
    bool bCloseOnEnd = false;
};

struct LinkCore : std::enable_shared_from_this<LinkCore> {
    explicit LinkCore(bool bDefault);
    ~LinkCore();
    LinkCore(const LinkCore&) = delete;
    LinkCore& operator=(const LinkCore&) = delete;

    // The default link's reader also ends on g_bStopThread.
    const bool bDefault;
    // Set by the reader when the line disappears; cleared by each open.
    std::atomic<int> lineLost{0};
    PortState state{lineLost};
    RxRingStore ring;
    ConsoleCapture capture;

    // Serialises opens and closes of this link.
    std::mutex openMutex;
    // The latest open; written under openMutex.
    std::shared_ptr<OpenRecord> pOpen;
    // Why the latest open failed, in the system's words; "" after one that
    // succeeded. Written by the backend's open under openMutex.
    std::string openError;

    // POSIX backend: the descriptor that wakes the reader out of its wait
    // at once, and the reader thread, joined by Close or the next open.
    int wakeFd = -1;
    std::thread reader;

    // The line held for a fixture (kLineDtr or kLineRts; 0: none) and its
    // level at each open.
    std::atomic<unsigned> heldLine{0};
    std::atomic<bool> bHeldAsserted{false};
    // A wait for a modem line's change: the thread in it, so that a stop
    // can interrupt it, and whether waits are stopped.
    std::mutex modemWaitMutex;
    bool bModemWaitStopped = false;
    bool bModemWaiting = false;
    std::thread::native_handle_type modemWaiter{};

    // Win32 backend: the new reader says whether it could create its events.
    enum class ReaderStart { kPending, kRunning, kFailed };
    std::mutex startMutex;
    std::condition_variable startChanged;
    ReaderStart readerStart = ReaderStart::kPending;
};

// What each backend provides for the common link code. BackendOpen leaves
// the reason of a failure in core.openError.
int BackendOpen(LinkCore& core, const char* pName, PortHandle* pSlot);
int BackendWrite(LinkCore& core, PortHandle hPort, const void* pBytes, std::uint32_t count);
int BackendClose(LinkCore& core, PortHandle hPort);
void BackendInit(LinkCore& core);
void BackendFree(LinkCore& core);
// Releases a port handle (the backend's own close of the device).
void BackendReleaseHandle(PortHandle hPort);

// Records why an open failed and gives 1, the failed open's result.
int OpenRefused(LinkCore& core, std::string reason);
// The reason of an open that got the port but could not set it up (line
// settings, modem lines, the reader): nothing the system words better.
inline constexpr const char* kOpenNotConfigured = "the port could not be configured";

// Whether a reader should end at the end of its turn.
bool ReaderStopRequested(const OpenRecord& open);
// A reader's last act with its handle: closes it when Close handed it over.
void ReaderFinished(OpenRecord& open);
// Close's part after its wait for the reader: releases the handle now, or
// leaves it to the reader when the reader still runs.
void ReleaseAfterReader(OpenRecord& open, bool bReaderEnded);
// One reader feeds the ring: the reader of an earlier open of the link must
// be gone before anything of a new open is done, so that a refused open
// leaves a port still open on the link alone. (Close has set that reader's
// own stop; a later open never clears it.) Waits a bounded time; false,
// with the diagnostic line, when it still runs.
bool EarlierReaderGone(LinkCore& core, const char* pName);
// Blocks while the readers are held for a test.
void ReaderHoldPoint();

// Names the port that the diagnostic lines of this thread are about, for
// as long as it lives.
class DiagPortScope {
public:
    explicit DiagPortScope(const char* pPort);
    ~DiagPortScope();
    DiagPortScope(const DiagPortScope&) = delete;
    DiagPortScope& operator=(const DiagPortScope&) = delete;

private:
    const char* m_pPrevious;
};

// Prints a diagnostic line on stdout at once (stdout may be a pipe), or
// hands it to the sink a front end installed.
void SerialDiag(const char* pFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Runs call(handle) on the link's open port while no close can release it.
// False when the port is not open ("the port is not open") or the call
// failed; pReason, when given, then gets the reason, for a failed call what
// errorText() says right after it (the system's last error).
template <typename Call, typename ErrorText>
bool WithOpenPort(LinkCore& core, std::string* pReason, Call call, ErrorText errorText) {
    const PortHandle hPort = core.state.Handle();
    if (!core.state.BeginWrite(hPort)) {
        if (pReason != nullptr) {
            *pReason = "the port is not open";
        }
        return false;
    }
    const bool bDone = call(hPort);
    if (!bDone && pReason != nullptr) {
        *pReason = errorText();
    }
    core.state.EndWrite();
    return bDone;
}
