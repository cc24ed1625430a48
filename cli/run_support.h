// What the single-port and the batch downloads of the command line share:
// exit statuses, complaints on stderr, the checks made before anything is
// sent, and the writing of download records.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/run_facts.h"
#include "serial/port_info.h"

struct LoadedImage;

constexpr int kExitCompleted = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitUsage = 2;
// Ctrl-C; SIGTERM and SIGHUP give their own status (InterruptExitStatus).
constexpr int kExitInterrupted = 130;

// "kelvora-upgrader: <text>" on stderr.
void Complain(const std::string& text);

// The serial link's diagnostic lines ("Serial open ...", "Exit Thrd[...]")
// are for whoever debugs a link: shown with --trace or --verbose only. Set by
// the main thread before any port opens.
void DiagLinesShow(bool bShow);
bool DiagLinesShown();

// Waits, polling, until allDone() gives true. After a Ctrl-C that the
// workers do not answer within a few seconds (one stuck in a write to a line
// that no longer drains), or at once after a second Ctrl-C, calls
// closeUnder() once, to close their ports under them. The workers still
// end their runs and write their records.
void AwaitWorkers(const std::function<bool()>& allDone, const std::function<void()>& closeUnder);

// Reads the image once, through one descriptor, into memory that every run
// of this process shares, so that what is sent and what is recorded are the
// same bytes. False with the reason to show after "cannot read image 'X': ":
// the system's, or that it is not a regular file, or larger than the loader
// receives.
bool ImageRead(const std::string& path, std::shared_ptr<const LoadedImage>& pImage, std::string& reason);

// What every record says about the image: the bytes read, not the file as
// it may be now.
struct ImageFacts {
    std::string path;  // as given
    std::uint64_t bytes = 0;
    std::string sha256;
};
bool ImageFactsOf(const std::string& path, const LoadedImage& image, ImageFacts& facts, std::string& reason);

// Can records be appended to the file? It must be a regular file, and is
// created when missing; a FIFO, a device or a folder gives "not a regular
// file" at once.
bool RecordFileWritable(const std::string& path, std::string& reason);

// The port a run uses: the name as given (a stable link such as
// /dev/serial/by-id/... is one), the device it stands for and what the
// system knows of that device. Found once, before the port is opened.
struct RunPort {
    std::string name;
    std::string device;
    std::optional<PortInfo> info;

    // How a complaint names it: the name, and the device too when they differ.
    std::string Shown() const;
};
RunPort RunPortOf(const std::string& name);

// Appends the record of a run that has ended. False when it cannot be
// written; lost then holds what stderr is to show, without a final line
// end: the complaint, and on the next line the record's JSON line itself,
// so that it can be added to the file by hand.
bool RecordRun(const std::string& file, const RunFacts& facts, const RunPort& port, const ImageFacts& image,
               std::string console, std::string& lost);

// The closing line that counts the records not written ("2 records not
// written").
std::string RecordsLostLine(unsigned count);
