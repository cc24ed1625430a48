// The command line's station mode (--station).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/output_queue.h"
#include "download/download.h"
#include "station/station.h"
#include "web/web_server.h"

// What the set-up found before any port opens: the image read once, its
// facts, the unit pattern, and every problem so far (each one line).
struct StationSetup {
    std::shared_ptr<const LoadedImage> pImage;
    ImageFacts image;
    std::optional<UnitPattern> unitPattern;
    std::optional<BootCheck> bootCheck;
    std::shared_ptr<UnitStore> pStore;  // nullptr: no unit store
    std::vector<std::string> notes;     // said before the runs, not problems
    std::vector<std::string> problems;
};

// Reads the image once, checks the record file and opens the unit store,
// before any port opens.
StationSetup StationPrepare(const Options& options);
// The station's settings for a batch; StationMain adds the station's own.
StationSettings StationSettingsOf(const Options& options, const StationSetup& setup);

// The exit status of a batch or a station once its runs have ended:
// 0 every run completed and every record was written, 1 otherwise, the
// signal's status after Ctrl-C, SIGTERM or SIGHUP (said on stderr).
int SessionExitStatus(const Station::Totals& totals);

// Waits up to 10 s (none after Ctrl-C) for the unit store's rows to reach
// its server; the line to show when some still wait in its local spool
// (they are sent when a station next opens the store), "" when none do.
std::string StoreRowsLeftLine(Station& station);

// With --web: sets up the server for the station (bBatch: a batch's, which
// takes no starts or stops); a place it cannot serve adds a problem. It
// starts serving once the caller calls Start.
void WebServe(const Options& options, Station& station, const ImageFacts& image,
              const std::string& stationName, bool bBatch, std::optional<WebServer>& web,
              std::vector<std::string>& problems);

// Opens every port (nothing is sent when any problem is found: exit 2),
// then runs the station until quit or Ctrl-C. Gives the exit status.
int StationMain(const Options& options, const std::vector<std::string>& ports, StationSetup& setup, OutputQueue& out);
