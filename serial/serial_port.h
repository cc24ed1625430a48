// The serial link: the contract every platform backend meets.
//
// A link opens one port (115200 8N1, no flow control, DTR on, RTS off),
// starts its reader thread and empties its ring; from then on the reader
// moves every received byte into the ring, where the download worker takes
// them one at a time. SerialOpen and the other plain functions work on the
// default link and store the port handle in the caller's slot.
//
// Results are the small integers the rest of the system expects:
//   SerialOpen  0 open, 1 failure        PortProbe     0 can be opened, 1 not
//   SerialWrite 1 written, 0 failure     RxRingGetByte 1 byte taken, 0 empty
// Why an open or a probe failed comes beside the result in the system's own
// words (SerialLink::LastOpenError, PortProbe's reason); the front ends say
// it in their messages.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
using PortHandle = HANDLE;
#define KELVORA_INVALID_PORT INVALID_HANDLE_VALUE
// The path CreateFileA opens a port name by. Only COM1 to COM9 are known by
// their plain names; COM10 and above exist only in the device namespace, so
// a plain COM name gets \\.\ in front. Any other name (one that already
// carries the prefix) is used as it is. Names shown and printed stay plain.
std::string PortOpenPath(const char* pName);
#else
using PortHandle = int;  // file descriptor
#define KELVORA_INVALID_PORT (-1)
#endif

inline const PortHandle kInvalidPort = KELVORA_INVALID_PORT;

// ---------------------------------------------------------------------------
// Receive ring: 8192 bytes, at most 8191 unread. The link's reader thread is
// the only producer (pWrite), the download worker the only consumer (pRead).

constexpr std::size_t kRxRingSize = 8192;

class RxRingStore {
public:
    RxRingStore();
    RxRingStore(const RxRingStore&) = delete;
    RxRingStore& operator=(const RxRingStore&) = delete;

    // Empties the ring: the read position jumps to the published write
    // position, so no byte received before the call is handed out after it.
    // Consumer side.
    void Reset();
    // Takes the oldest unread byte into *pByte and gives 1; 0 when empty
    // (*pByte is left untouched).
    int GetByte(unsigned char* pByte);
    // Puts one byte; a full ring drops the byte and counts an overrun.
    void PutByte(unsigned char byte);
    // Puts what one read took, published at once: the consumer sees all of
    // it or none, so a Reset never splits what the line delivered together.
    // What does not fit is dropped and counted.
    void PutBytes(const unsigned char* pBytes, std::size_t count);
    // Unread bytes right now.
    std::size_t Count() const;
    // Waits until the ring holds a byte or timeoutMs ms have passed; returns
    // at once when a byte is already there. Gives 1 when a byte is waiting.
    int Wait(unsigned timeoutMs);
    // Wakes a consumer waiting in Wait, so that it looks at its link again
    // (the port is being closed, or the line was lost).
    void WakeConsumer();

    unsigned char storage[kRxRingSize];
    // Written by the producer only (release), read by the consumer (acquire).
    std::atomic<unsigned char*> pWrite;
    // Written by the consumer only: gets and resets both move the read side.
    std::atomic<unsigned char*> pRead;
    // Bytes dropped because the ring was full; written by the producer only.
    std::atomic<std::uint32_t> overruns{0};

private:
    unsigned char* Advance(unsigned char* p);

    // The producer only notifies when a consumer says it is waiting, so a
    // busy line costs no system call per byte.
    std::mutex m_waitMutex;
    std::condition_variable m_waitCond;
    std::atomic<int> m_waiters{0};
};

// ---------------------------------------------------------------------------
// The link: everything one open port needs (handle, reader thread, receive
// ring, stop request, lost-line state, write bookkeeping, open generation).
// A process may hold any number of links, each on its own port. The
// functions further down are the same operations on the default link.

struct LinkCore;

// The newest bytes a link received, how many it received in all, and
// when the last one came (a zero time point: none yet).
struct ConsoleTail {
    std::string bytes;
    std::uint64_t received = 0;
    std::chrono::steady_clock::time_point lastByte{};
};

// The modem lines of a port, as bits: DTR and RTS are ours to set, the
// others the far end's (a fixture's switches).
enum ModemLineBit : unsigned {
    kLineDtr = 1u << 0,
    kLineRts = 1u << 1,
    kLineCts = 1u << 2,
    kLineDsr = 1u << 3,
    kLineDcd = 1u << 4,
    kLineRi = 1u << 5,
};

// How a wait for a modem line's change ended.
enum class ModemWait {
    Changed,  // a line in the mask changed (or the wait was woken early: look again)
    Refused,  // the driver cannot wait for edges (EINVAL, ENOTTY): poll instead
    Stopped,  // StopModemWait was called
    Failed,   // the port is gone or not open
};

class SerialLink {
public:
    SerialLink();
    // Closes the port if it is still open.
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens and configures the port named pName, empties the ring and starts
    // the reader; the handle is stored in *pSlot when given. 0 on success, 1
    // on failure (the diagnostic line goes to stdout and LastOpenError gives
    // the reason; a failed open holds nothing and leaves an open port of this
    // link alone).
    int Open(const char* pName, PortHandle* pSlot = nullptr);
    // Why the latest Open failed, in the system's words ("No such file or
    // directory", "Device or resource busy", ...); "" after one that opened.
    std::string LastOpenError() const;
    // Writes the whole run and returns when it has been handed to the port.
    // 1 when written; 0 when hPort is not this link's open port, it is being
    // closed, the line is lost or the write failed.
    int Write(PortHandle hPort, const void* pBytes, std::uint32_t count);
    // Closes the port: stops its reader (waiting for it, bounded) and waits
    // for a write under way before the handle is released. Non-zero on
    // success; 0 when hPort is not this link's open port.
    int Close(PortHandle hPort);
    // Closes whatever port is open; 0 when none is.
    int Close();

    // 1 while hPort is the port this link opened with the given generation
    // and it has been neither closed nor lost.
    int Usable(PortHandle hPort, std::uint32_t generation) const;
    // The generation of the latest successful open; a run records it when it
    // starts so that a port closed and opened again under it is not taken
    // for the one it started with.
    std::uint32_t Generation() const;
    bool IsOpen() const;
    PortHandle Handle() const;
    // The reader found the line gone (adapter unplugged, peer hung up).
    bool LineLost() const;
    RxRingStore& Ring();
    // Waits up to timeoutMs for this link's reader to end; true when none runs.
    bool WaitReaderEnded(unsigned timeoutMs) const;

    // While on, every byte received is also kept, the newest limit bytes,
    // for a record of what the box said. TakeConsole hands them out and
    // empties the store.
    void CaptureConsole(std::size_t limit);
    std::string TakeConsole();
    // While paused, received bytes are not kept for the record (the live
    // tail still gets them): a transfer's protocol bytes, one answer per
    // block, are no part of what the box said. CaptureConsole ends a pause.
    void PauseConsoleCapture(bool bPaused);
    // While on, the newest limit bytes received are kept for a live view of
    // the box's console, across runs and reopens; ConsoleTailNow copies them.
    void KeepConsoleTail(std::size_t limit);
    ConsoleTail ConsoleTailNow() const;

    // A fixture's power switch on DTR or RTS: from the next open on, that
    // line is set to bAssertedAtOpen right after the port is configured
    // (instead of the default DTR up, RTS down), and the port's close leaves
    // the lines as they are (the hang-up on close, which drops both, is
    // turned off where the system has one).
    void HoldLine(unsigned line, bool bAssertedAtOpen);
    // The open port's modem lines (kLine* bits); false with the system's
    // reason when it has none (a pseudo-terminal, some adapters).
    bool ModemLines(unsigned& lines, std::string* pReason = nullptr);
    // Asserts or drops kLineDtr or kLineRts; false with the system's reason.
    bool SetModemLine(unsigned line, bool bAsserted, std::string* pReason = nullptr);
    // Waits until an input line in mask changes, on the driver's own wait;
    // Refused where there is none (the caller polls ModemLines instead).
    ModemWait WaitModemChange(unsigned mask);
    // Ends a WaitModemChange under way on another thread and every one that
    // begins after it, until AllowModemWait.
    void StopModemWait();
    void AllowModemWait();

private:
    friend SerialLink& SerialDefaultLink();
    explicit SerialLink(bool bDefault);

    std::shared_ptr<LinkCore> m_pCore;
};

// The link that the plain functions below and RxRing stand for: the
// dialog's, and the command line's when it drives one port.
SerialLink& SerialDefaultLink();

// The default link's ring.
extern RxRingStore& RxRing;

void RxRingReset();
int RxRingGetByte(unsigned char* pByte);
void RxRingPutByte(unsigned char byte);
std::size_t RxRingCount();
int RxRingWait(unsigned timeoutMs);

// ---------------------------------------------------------------------------
// Reader thread control.

// Non-zero ends the default link's reader at the end of its current turn.
// The front end sets it to 0 before SerialOpen and to 1 before SerialClose.
// Each open's reader also has a stop request of its own, set by its Close
// and by the next open, so that no later open can revive an old reader.
extern std::atomic<int> g_bStopThread;

// A reader thread's routine. Started by an open with that open's own
// record (the link, its stop request and the handle it reads through).
void SerialThread(void* pOpen);

// ---------------------------------------------------------------------------
// Port operations on the default link.

int SerialOpen(PortHandle* pSlot, const char* pName);
int SerialWrite(PortHandle hPort, const void* pBytes, std::uint32_t count);
int SerialClose(PortHandle hPort);
// 0 when the port can be opened now (it is closed again at once), else 1
// with the system's reason in *pReason when given. Prints nothing.
int PortProbe(const char* pName, std::string* pReason = nullptr);
// Whether the system has a port of that name now, found without opening it:
// a look that never disturbs a port another program may be opening.
bool PortPresent(const char* pName);
// The ports that can be opened now, in the platform's order.
std::vector<std::string> PortList();

int SerialPortUsable(PortHandle hPort, std::uint32_t generation);
std::uint32_t SerialOpenGeneration();

// The platform's millisecond sleep.
void SerialSleep(unsigned ms);

// Where the serial link's diagnostic lines go: stdout by default. A front
// end that draws on the terminal itself takes them, with the name of the
// port whose open or reader printed the line ("" when none is known).
using SerialDiagSink = void (*)(const char* pPort, const char* pLine);
void SerialSetDiagSink(SerialDiagSink sink);

// Test seam: while set, every reader stops at the top of its turn, as a
// reader held up by a slow system call would.
void SerialHoldReadersForTest(bool bHold);

// ---------------------------------------------------------------------------
// Trace: off unless a front end switches it on.

extern std::atomic<int> g_bTrace;
extern char g_szTraceLine[1024];
// Prints the formatted line when bSwitch is non-zero.
void TraceLog(int bSwitch, const char* pFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
