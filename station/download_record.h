// One JSON line per download for --record FILE: what was written where, how
// it ended, how long each stage took and what the box said. The line is
// appended under an exclusive lock on the file and flushed to disk when the
// download ends, so several processes (and stations sharing the file over
// the network) may share one file and a crash loses no finished record.
// download_record_posix.cpp and download_record_win32.cpp hold the file and
// hash calls; the build picks one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Seconds spent in each stage; only the stages the download reached are set.
struct StageSeconds {
    std::optional<double> sync, start, transfer, verdict;
};

struct DownloadRecord {
    std::string port;            // the port name as given
    std::string device;          // resolved device path when it differs from port, else empty
    std::string kind;            // usb, native, bluetooth, virtual; empty when unknown
    std::optional<int> vid, pid;  // the USB adapter's ids, when known
    std::string serial;          // the USB adapter's serial number; empty when unknown
    std::string end;             // completed, image-refused, error-1, error-2, error-3, error-31,
                                 // error-4, port-lost, cancelled, verdict-unknown, malloc-error
    bool ok = false;             // true only for completed
    std::string message;         // the final message shown, "" when none
    unsigned blocks = 0;         // data blocks the box acknowledged
    std::string image;           // path as given
    std::uint64_t imageBytes = 0;
    std::string imageSha256;     // hex, lower case
    std::chrono::system_clock::time_point started, ended;
    StageSeconds seconds;
    unsigned slot = 0;           // a station's slot; 0: not a station's run (no key)
    unsigned run = 0;            // the run's number in the station's session, from 1
    std::string station;         // the station's name
    std::string unit;            // the box's identity, when a pattern found it ("": no key)
    unsigned repeatOf = 0;       // the earlier run that flashed the same unit; 0: no key
    std::string boot;            // the boot check: verified or boot-failed; "": none (no key)
    std::string bootText;        // the line that decided it, or why none did
    std::string console;         // bytes the box sent during the run; only the last
                                 // kRecordConsoleLimit of them are kept in the line
};

// Each byte as the code point of the same value (Latin-1 to UTF-8), so that
// any bytes a box sent give valid JSON and the text reads as sent.
std::string BytesAsCodePoints(const std::string& bytes);

// The console text a record keeps: the last 64 KiB the box sent.
inline constexpr std::size_t kRecordConsoleLimit = 64 * 1024;

// The record as one JSON object on one line, ending with "\n". Keys: port,
// device, kind, vid, pid, serial (each only when known), slot, run, station
// (a station's runs only), unit, repeat_of (when known), end, ok, boot and
// boot_text (with a boot check), message, blocks, image, image_bytes,
// image_sha256, started, ended, seconds (only the stages reached, in seconds
// to the millisecond), console (each byte as the code point of the same
// value, so any bytes give valid JSON and the text reads as sent).
std::string RecordJsonLine(const DownloadRecord& record);

// The reason given for a record path that names no regular file (a FIFO,
// a device, a folder).
inline constexpr char kRecordNotRegular[] = "not a regular file";

// Makes sure records can be appended to the file: it must be a regular file,
// and is created when missing (its folder then flushed to disk, so that the
// new name outlives a crash). Nothing is opened in a way that could block or
// touch a device: a FIFO with no reader or a serial port is refused at once.
// False with kRecordNotRegular or the system's reason.
bool RecordFilePrepare(const std::string& path, std::string& reason);

// Appends the line to the file (a regular file, created when missing) and
// flushes it to disk, holding an exclusive lock on the file meanwhile (waiting
// for it as kRecordLockWaitLimit and RecordWaitsAbandon allow). A file that
// ends inside a line (a writer killed mid-line) gets a line end first, so the
// record starts on a line of its own.
// When the file system takes only part of the line (a full disk, a size
// limit), that part is ended with a line end, so the next record starts on a
// line of its own. False with the reason; the caller still holds the whole
// line and decides where it goes instead.
bool RecordAppend(const std::string& path, const std::string& line, std::string& reason);

// A record waits for another writer's lock on the file at most this long
// from the moment it was asked to be written, however many other records of
// this process wait with it; then it is given up (the caller shows it
// elsewhere) rather than the tool hanging on a stuck writer.
inline constexpr std::chrono::seconds kRecordLockWaitLimit{30};

// The reason a record gives when its wait was cut short by RecordWaitsAbandon.
inline constexpr char kRecordWaitCutShort[] = "the wait for the file's lock was cut short";

// From now on, for the rest of the process, no record waits for another
// writer: a wait under way ends within a few milliseconds, and a record that
// would have to wait fails at once with kRecordWaitCutShort, as one that
// waited too long does. A record whose file is free is still written. Called
// when the tool is told to stop (Ctrl-C, SIGTERM, SIGHUP); it only sets a
// lock-free atomic flag, so a signal handler may call it.
void RecordWaitsAbandon();
// Whether RecordWaitsAbandon was called.
bool RecordWaitsAbandoned();

// ISO 8601 UTC with milliseconds: "2026-12-07T09:30:00.123Z".
std::string IsoUtc(std::chrono::system_clock::time_point t);

// SHA-256 of a file's contents, lower-case hex. False with the system's reason.
bool FileSha256(const std::string& path, std::string& hex, std::string& reason);
// SHA-256 of bytes held in memory, lower-case hex. False with the reason.
bool BytesSha256(std::span<const unsigned char> bytes, std::string& hex, std::string& reason);
