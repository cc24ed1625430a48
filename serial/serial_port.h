// The serial link: the contract every platform backend meets.
//
// One port is open at a time. SerialOpen configures it (115200 8N1, no flow
// control, DTR on, RTS off), starts SerialThread and empties RxRing; from then
// on SerialThread moves every received byte into RxRing, where the download
// worker takes them one at a time. The port handle lives in the caller's slot;
// SerialOpen writes it and the reader reads it through the slot's address.
//
// Results are the small integers the rest of the system expects:
//   SerialOpen  0 open, 1 failure        PortProbe     0 can be opened, 1 not
//   SerialWrite 1 written, 0 failure     RxRingGetByte 1 byte taken, 0 empty
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
using PortHandle = HANDLE;
#define KELVORA_INVALID_PORT INVALID_HANDLE_VALUE
#else
using PortHandle = int;  // file descriptor
#define KELVORA_INVALID_PORT (-1)
#endif

inline const PortHandle kInvalidPort = KELVORA_INVALID_PORT;

// ---------------------------------------------------------------------------
// Receive ring: 8192 bytes, at most 8191 unread. SerialThread is the only
// producer (pWrite), the download worker the only consumer (pRead).

constexpr std::size_t kRxRingSize = 8192;

struct RxRingStore {
    unsigned char storage[kRxRingSize];
    // Written by the producer only (release), read by the consumer (acquire).
    std::atomic<unsigned char*> pWrite;
    // Written by the consumer only: gets and resets both move the read side.
    std::atomic<unsigned char*> pRead;
    // Bytes dropped because the ring was full; written by the producer only.
    std::atomic<std::uint32_t> overruns;
};

extern RxRingStore RxRing;

// Empties the ring: the read position jumps to the published write position,
// so no byte received before the call is handed out after it. Consumer side.
void RxRingReset();
// Takes the oldest unread byte into *pByte and gives 1; 0 when empty
// (*pByte is left untouched).
int RxRingGetByte(unsigned char* pByte);
// Puts one byte; a full ring drops the byte and counts an overrun.
void RxRingPutByte(unsigned char byte);
// Unread bytes right now.
std::size_t RxRingCount();
// Waits until the ring holds a byte or timeoutMs ms have passed; returns at
// once when a byte is already there. Gives 1 when a byte is waiting.
int RxRingWait(unsigned timeoutMs);

// ---------------------------------------------------------------------------
// Reader thread control and line state.

// Non-zero ends SerialThread at the end of its current turn. The front end
// sets it to 0 before SerialOpen and to 1 before SerialClose.
extern std::atomic<int> g_bStopThread;
// Set by SerialThread when the line disappears (adapter unplugged, peer hung
// up); cleared by SerialOpen. The reader stops reading once it is set.
extern std::atomic<int> g_bLineLost;

// The reader thread's routine. Started by SerialOpen with the address of the
// port-handle slot; reads the handle from the slot for every call.
void SerialThread(void* pSlot);

// ---------------------------------------------------------------------------
// Port operations.

// Opens and configures the port named pName, stores its handle in *pSlot,
// empties RxRing and starts SerialThread. 0 on success, 1 on failure (the
// reason goes to stdout as a diagnostic line; a failed open holds nothing).
int SerialOpen(PortHandle* pSlot, const char* pName);
// Writes the whole run and returns when it has been handed to the port.
// 1 when written; 0 when the port is not the open one, is being closed, the
// line is lost or the write failed. Never writes through a closed handle.
int SerialWrite(PortHandle hPort, const void* pBytes, std::uint32_t count);
// Closes the port: stops SerialThread (waiting for it, bounded, so that no
// old reader runs beside the next one) and waits for a write under way to
// finish before the handle is released. Returns non-zero on success.
int SerialClose(PortHandle hPort);
// 0 when the port can be opened now (it is closed again at once), else 1.
int PortProbe(const char* pName);
// The ports that can be opened now, in the platform's order.
std::vector<std::string> PortList();

// 1 while hPort is the port SerialOpen opened with the given generation and
// it has been neither closed nor lost. The worker checks this before writes.
int SerialPortUsable(PortHandle hPort, std::uint32_t generation);
// Counts successful opens; a worker records it when it starts so that a port
// closed and opened again under it (maybe with the same handle value) is
// not taken for the port it started with.
std::uint32_t SerialOpenGeneration();

// The platform's millisecond sleep.
void SerialSleep(unsigned ms);

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
