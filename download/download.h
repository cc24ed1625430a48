// The image download: image buffer and XMODEM-1K framing, console watch and
// the worker that runs one whole download.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "download/front_end.h"
#include "serial/serial_port.h"

// ---------------------------------------------------------------------------
// Image buffer and framing.

constexpr std::uint32_t kImageCapacity = 16u * 1024u * 1024u;  // 16 MiB
constexpr std::uint32_t kBlockSize = 1024;
constexpr std::size_t kDataFrameSize = 3 + kBlockSize + 2;  // 1029
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEot = 0x04;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
constexpr unsigned char kCan = 0x18;
// A block's answer: at most 5001 bytes looked at, no time-out before 5000 ms.
constexpr unsigned kAnswerPollLimit = 5000;

// An image read once and shared, read-only, by every run of the command
// line: the file's bytes followed by the 0xFF fill up to the transfer length.
struct LoadedImage {
    std::vector<unsigned char> bytes;
    std::uint64_t fileSize = 0;  // how many of the bytes came from the file
};

// The 16 MiB block holding one image for one download, or a run's share of
// a LoadedImage. Each obtained block or share is counted, and so is each
// release, so that tests and the soak can prove that every download releases
// its buffer exactly once.
class ImageBuffer {
public:
    ImageBuffer() = default;
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;
    ~ImageBuffer() { Release(); }

    // Obtains the block; false when it cannot be had.
    bool Obtain();
    // Holds a share of an image read earlier instead of a block of its own.
    void Share(std::shared_ptr<const LoadedImage> pImage);
    void Release();
    bool Held() const { return m_pData != nullptr || m_pShared != nullptr; }
    // The block to fill; only for a buffer obtained with Obtain.
    unsigned char* Data() { return m_pData.get(); }
    // The image's bytes, from the block or the share.
    const unsigned char* Bytes() const { return m_pData ? m_pData.get() : m_pShared->bytes.data(); }

    static std::uint64_t ObtainedCount();
    static std::uint64_t ReleasedCount();
    // Test seam: the next Obtain calls fail while set.
    static void FailAllocationsForTest(bool bFail);

private:
    std::unique_ptr<unsigned char[]> m_pData;
    std::shared_ptr<const LoadedImage> m_pShared;
};

enum class LoadResult { Loaded, NotOpened, NoBuffer };
enum class SendResult { Completed, Refused, NoAnswer, PortGone, Cancelled };

// Reads the file at pPath into buffer. On Loaded, *pLength holds the transfer
// length (the data size rounded up to a multiple of 1024, at most 16 MiB) and
// every byte after the file's data up to that length is 0xFF. A read error
// before the end of the file counts as NotOpened. Sets the status "start"
// once the file is open and the buffer obtained.
LoadResult ImageLoad(const char* pPath, ImageBuffer& buffer, std::uint32_t* pLength, FrontEnd& front);

enum class SharedLoadResult { Loaded, NotOpened, NotRegular, TooLarge, NoBuffer };

// Reads the file at pPath once, through one descriptor, for the runs that
// share it: its bytes and the 0xFF fill up to the transfer length, as
// ImageLoad would frame them. Only a regular file is read (NotRegular for a
// pipe, a FIFO, a device, a folder), and only whole: TooLarge when it holds
// more than the 16 MiB the loader receives. NotOpened on any open or read
// error, with errno telling why; NoBuffer when the memory cannot be had.
SharedLoadResult ImageLoadShared(const char* pPath, std::shared_ptr<const LoadedImage>& pImage);

// CRC-16/XMODEM (poly 0x1021, init 0, unreflected). Only the low 16 bits of
// length count.
std::uint16_t CalcCrc16(const unsigned char* pData, std::uint32_t length);

// Assembles the 1029-byte data frame for block number n from 1024 bytes.
void FrameData(unsigned char* pFrame, unsigned char n, const unsigned char* pBlock);
// Assembles a three-byte frame: lead (EOT or CAN), n, 0xFF - n.
void FrameShort(unsigned char* pFrame, unsigned char lead, unsigned char n);

// What the sending side needs besides the image: where to write, and whether
// the run may still write (port still the one it started with, no cancel).
struct LinkContext {
    FrontEnd& front;
    SerialLink& link;
    PortHandle hPort;
    std::uint32_t generation;
    RxRingStore& Ring() const { return link.Ring(); }
    // 1 when the port may be written: still open, same port, line not lost.
    bool Usable() const;
    // Writes a run when the port is usable; false otherwise.
    bool Write(const void* pBytes, std::uint32_t count) const;
};

// Sends the loaded image block by block, each block's answer awaited within a
// ListenBudget of kAnswerPollLimit (bytes other than ACK and NAK are dropped).
// On Refused, NoAnswer and Cancelled the buffer is released and the cancel
// frame written; on PortGone the buffer is released and nothing more is
// written.
SendResult ImageSend(ImageBuffer& buffer, std::uint32_t length, const LinkContext& link);
// The transfer's status text as the dialog shows it: "sent / total".
std::string ProgressText(unsigned sent, unsigned total);

// A wait that only listens to the box (the start and verdict watches, a
// block's answer), kept within the two bounds that a limit of N polls, each
// taking at most one byte and pausing 1 ms, gives: it takes at most N + 1
// bytes, and it times out only once N ms have passed on the steady clock,
// never sooner, however many bytes came meanwhile. Bytes are taken as fast
// as they arrive rather than one a millisecond; once N + 1 have been taken
// the wait takes no more and only the clock can end it. An idle wait sleeps
// on the ring, so an idle box costs some fifty wake-ups a second instead of
// a thousand, and never longer than 20 ms at a time, so that the caller sees
// a cancel or a lost line soon.
class ListenBudget {
public:
    ListenBudget(RxRingStore& ring, unsigned pollLimit);
    // Takes the next received byte while the byte budget lasts; false when
    // none is waiting or the budget is used up.
    bool Take(unsigned char* pByte);
    // Both bounds start afresh, the byte just taken counted as the first.
    void Restart();
    // The time-out is due: pollLimit ms have passed since the start.
    bool TimedOut() const;
    // Waits until a byte may be taken, the time-out is due, or 20 ms passed.
    void Idle();

private:
    RxRingStore& m_ring;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::milliseconds m_limit;
    unsigned m_byteLimit;
    unsigned m_taken = 0;
};

// ---------------------------------------------------------------------------
// Console watch.

constexpr std::size_t kConsoleWindowSize = 2048;

extern const char kMenuMarker[];        // "1.  Upgrade Application with SSU"
extern const char kStartMarker[];       // "CCCCC"
extern const char kRefusalMarker[];     // "Image_parseSSU: software isn't match!"
extern const char kBurningMarker[];     // "_burn_SSU_image: call this function!"
extern const char kCompletionMarker[];  // "_burn_SSU_image:Start to write flash..."

// The sync watch makes 6001 polls at most, each sending a space and sleeping
// 1 ms. The start and verdict watches only listen, within a ListenBudget of
// their limit: at most 20001 bytes, no time-out before 20000 ms.
constexpr unsigned kSyncPollLimit = 6000;
constexpr unsigned kStartPollLimit = 20000;
constexpr unsigned kVerdictPollLimit = 20000;

// The received console text a watch searches, with its write position.
struct ConsoleWindow {
    unsigned char bytes[kConsoleWindowSize] = {};
    std::uint16_t pos = 0;
};

// Searches window[0 .. end) for the markers (each compared over its own
// length) and gives the index of the marker that starts lowest, the list's
// order deciding between markers at the same start; -1 when none is there.
int MarkerSearch(const unsigned char* pWindow, std::size_t end, std::span<const char* const> markers);

// Takes one received byte into the window at its write position and looks
// for a marker that ends with that byte (the bytes before it were looked at
// as they came), so a marker counts as found with its last byte; the result
// is what MarkerSearch over the window up to that byte gives. When the byte
// fills the window, its newest bytes are kept at the start, so that a marker
// straddling the wrap is still found.
int ConsoleWindowFeed(ConsoleWindow& window, unsigned char byte, std::span<const char* const> markers);
// After the burning marker: the window is cleared and filling resumes a few
// bytes in; the zero bytes before it match no marker.
void ConsoleWindowRestart(ConsoleWindow& window);

enum class WatchUse { Sync, Start, Verdict };
enum class WatchResult { Menu, Start, Refusal, Completion, TimeOut, PortGone, Cancelled };

// One watch over the receive ring, ending with a marker, a time-out, a lost
// port or a cancel (seen within 20 ms). The verdict watch reports the burning
// marker through onBurning and goes on with a cleared window and its budget
// started afresh.
WatchResult WatchConsole(WatchUse use, ConsoleWindow& window, const LinkContext& link, void (*onBurning)(FrontEnd&));

// ---------------------------------------------------------------------------
// The worker.

// How a run ended; exactly one per run.
enum class RunEnd {
    PortNotOpen,       // "Open COM Port !!!" at the start
    ChooserCancelled,  // no message
    NotOpened,         // image unreadable; no message
    NoBuffer,          // "Malloc error !!!"
    SyncTimeOut,       // "Error 1 !!!"
    StartTimeOut,      // "Error 2 !!!"
    BlockRefused,      // "Error 31 !!!"
    BlockNoAnswer,     // "Error 3 !!!"
    VerdictTimeOut,    // "Error 4 !!!"
    ImageRefused,      // the loader refused the image
    Completed,         // the loader writes the image into flash
    PortGone,          // port closed or line lost under the run: "Open COM Port !!!"
    Cancelled,         // the front end asked to stop; no message
    VerdictUnknown,    // stopped in the verdict wait, the whole image sent: a warning
    AlreadyFlashed,    // a station's box that already completed this session: nothing sent
    PowerFailed,       // a station's power switch failed before anything was sent
};

// Runs one whole download against the front end. Calls front.EndRun() as its
// very last use of the front end.
RunEnd DownloadRun(FrontEnd& front);
// The thread's exit code for an end: 0 when the chooser was cancelled or the
// loader gave its verdict, 1 on every other end.
unsigned DownloadExitCode(RunEnd end);
// DownloadRun with the exit code as result: the worker thread's routine.
unsigned DownloadThread(FrontEnd& front);

// The message texts of the run, so front ends and tests can tell them apart.
extern const char kMsgOpenPort[];
extern const char kMsgPowerOff[];
extern const char kMsgMallocError[];
extern const char kMsgRestart[];
extern const char kMsgError1[];
extern const char kMsgError2[];
extern const char kMsgError31[];
extern const char kMsgError3[];
extern const char kMsgError4[];
extern const char kMsgRefused[];
extern const char kMsgCompleted[];
extern const char kMsgVerdictUnknown[];
