// What a run's record needs besides the run itself: the image as read (once,
// from a regular file, into memory every run shares), the port as named and
// what the system knows of it, and where a station's run stands. Records are
// appended to a regular file only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "serial/port_info.h"
#include "station/run_facts.h"
#include "store/unit_store.h"

struct LoadedImage;

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

// Where a station's run stands: its slot, its number in the session, the
// station, the box's identity and the earlier run that flashed the same box.
// Empty (a batch or a single port): the record has none of these keys.
struct RecordPlace {
    unsigned slot = 0;
    unsigned run = 0;
    std::string station;
    std::string unit;
    unsigned repeatOf = 0;
};

// Adds the record of a run that has ended to the unit store (nullptr: none),
// then appends it to file ("": none); a store that fails does not keep it
// from the file. False when either cannot be written; lost then holds what
// stderr is to show, without a final line end: the complaints, and on the
// next line the record's JSON line itself, so that it can be added by hand. pLine, when given, gets the
// record's JSON line (with its line end) either way.
bool RecordRun(const std::string& file, UnitStore* pStore, const RunFacts& facts, const RunPort& port,
               const ImageFacts& image, std::string console, const RecordPlace& place, std::string& lost,
               std::string* pLine = nullptr);

// The closing line that counts the records not written ("2 records not
// written").
std::string RecordsLostLine(unsigned count);
