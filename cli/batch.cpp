#include "cli/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/batch_view.h"
#include "cli/run_support.h"
#include "cli/station_input.h"
#include "cli/station_mode.h"
#include "cli/terminal.h"
#include "download/download.h"
#include "serial/serial_port.h"
#include "station/station.h"

namespace {

// One round: a run on every slot, all at once. Returns when every run has
// ended; after a Ctrl-C that a run does not answer in time, its port is
// closed under it. True when every run completed.
bool RunRound(Station& station, BatchView& view) {
    view.BeginRound();
    const std::size_t started = station.StartAllReady().size();
    AwaitWorkers([&station] { return !station.Busy(); }, [&station] { station.CloseUnderRunning(); });
    bool bAllCompleted = started == station.SlotCount();
    for (unsigned slot = 1; slot <= station.SlotCount(); ++slot) {
        bAllCompleted = bAllCompleted && RunSucceeded(station.Snapshot(slot));
    }
    return bAllCompleted;
}

// The last run of each port, and with several rounds each port's counts
// over all of them.
void PrintSummary(BatchView& view, const Station& station, bool bRounds) {
    std::size_t portWidth = 4;
    for (unsigned slot = 1; slot <= station.SlotCount(); ++slot) {
        portWidth = std::max(portWidth, station.Port(slot).name.size());
    }
    char line[512];
    int length = std::snprintf(line, sizeof line, "%-*s  %-16s  %6s  %8s", static_cast<int>(portWidth), "PORT",
                               "OUTCOME", "BLOCKS", "SECONDS");
    if (bRounds && length > 0 && static_cast<std::size_t>(length) < sizeof line) {
        std::snprintf(line + length, sizeof line - length, "  %9s  %6s", "COMPLETED", "FAILED");
    }
    view.Line(line);
    for (unsigned slot = 1; slot <= station.SlotCount(); ++slot) {
        const SlotSnapshot shown = station.Snapshot(slot);
        length = std::snprintf(line, sizeof line, "%-*s  %-16s  %6u  %8.1f", static_cast<int>(portWidth),
                               shown.port.name.c_str(),
                               shown.boot ? BootResultName(*shown.boot) : RunEndName(shown.end.value_or(RunEnd::Cancelled)),
                               shown.blocks, shown.seconds);
        if (bRounds && length > 0 && static_cast<std::size_t>(length) < sizeof line) {
            std::snprintf(line + length, sizeof line - length, "  %9u  %6u", shown.completed, shown.failed);
        }
        view.Line(line);
    }
    const Station::Totals totals = station.TotalsNow();
    view.Line(std::to_string(totals.completed) + " completed, " + std::to_string(totals.failed) + " failed");
}

}  // namespace

int BatchDownload(const Options& options, const std::vector<std::string>& ports, OutputQueue& out) {
    BatchView::Settings viewSettings;
    viewSettings.bQuiet = options.bQuiet;
    viewSettings.bRedraw = StdoutIsTerminal() && TerminalEnableRedraw();
    BatchView view(ports, viewSettings, out);
    // The two prompts come once for the whole batch: the station lets every
    // run wait at a prompt until all runs still going have reached it.
    const bool bWaitForEnter = !options.bYes && StdinIsTerminal();

    // Nothing is sent until every port is open and the image is read.
    StationSetup setup = StationPrepare(options);
    StationSettings settings = StationSettingsOf(options, setup);
    settings.prompt = [&view, bWaitForEnter](const char* pText) {
        view.BeginPrompt(pText, bWaitForEnter);
        if (bWaitForEnter && WaitForEnter(InterruptRequested) == EnterWait::Stopped) {
            // The prompt's line is still open after the "^C" the terminal echoed.
            view.Line("");
        }
        view.EndPrompt();
    };

    InterruptInstall();
    std::vector<std::string> problems = setup.problems;
    auto pStation = std::make_unique<Station>(settings);
    // The serial link's diagnostic lines (shown with --verbose) go through
    // the view, so they never break into a row.
    const auto diagLine = [&view](const std::string& port, const std::string& line) { view.PortLine(port, line); };
    {
        DiagLinesTo diag(diagLine);
        for (const std::string& port : ports) {
            std::string reason;
            if (!pStation->AddSlot(port, reason)) {
                problems.push_back("cannot open port " + RunPortOf(port).Shown() + ": " + reason);
            }
        }
    }
    // Declared after the station: the server, which reads it, stops first.
    std::optional<WebServer> web;
    WebServe(options, *pStation, setup.image,
             options.stationName.empty() ? HostName() : options.stationName, true, web, problems);
    // Last: a lid may start its slot as soon as the fixtures are set up.
    if (problems.empty()) {
        const std::vector<std::string> fixtures = pStation->SetUpFixtures();
        problems.insert(problems.end(), fixtures.begin(), fixtures.end());
    }
    if (!problems.empty()) {
        web.reset();
        pStation.reset();  // closes the ports that did open; nothing was sent
        view.Finish();
        for (const std::string& problem : problems) {
            Complain(problem);
        }
        return kExitUsage;
    }

    Station& station = *pStation;
    view.Follow(station);
    if (web) {
        web->Start();
        view.Line("web: " + web->Url());
    }
    {
        DiagLinesTo diag(diagLine);
        for (unsigned round = 1; round <= options.repeat && !InterruptRequested(); ++round) {
            if (options.repeat > 1) {
                view.Line("Round " + std::to_string(round) + " of " + std::to_string(options.repeat));
            }
            if (!RunRound(station, view)) {
                break;
            }
        }
        station.CloseAll();
    }
    view.Unfollow();
    view.Finish();
    PrintSummary(view, station, options.repeat > 1);
    const Station::Totals totals = station.TotalsNow();
    if (totals.recordsLost > 0) {
        view.Line(RecordsLostLine(totals.recordsLost));
    }
    if (const std::string left = StoreRowsLeftLine(station); !left.empty()) {
        view.Line(left);
    }

    return SessionExitStatus(totals);
}
