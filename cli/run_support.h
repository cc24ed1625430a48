// What the single-port and the batch downloads of the command line share:
// exit statuses, complaints on stderr, the checks made before anything is
// sent, and the writing of download records.
#pragma once

#include <cstdint>
#include <string>

#include "cli/run_facts.h"

constexpr int kExitCompleted = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// "kelvora-upgrader: <text>" on stderr.
void Complain(const std::string& text);

// Can the image be read as a whole file? Gives the system's reason when not.
bool ImageReadable(const std::string& path, std::string& reason);

// What every record says about the image, found once before the first run.
struct ImageFacts {
    std::string path;  // as given
    std::uint64_t bytes = 0;
    std::string sha256;
};
bool ImageFactsRead(const std::string& path, ImageFacts& facts, std::string& reason);

// Can records be appended to the file (it is created when missing)?
bool RecordFileWritable(const std::string& path, std::string& reason);

// Appends the record of a run that has ended; complains and gives false
// when it cannot be written.
bool RecordRun(const std::string& file, const RunFacts& facts, const std::string& port, const ImageFacts& image,
               std::string console);
