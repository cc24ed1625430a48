// kelvora-upgrader: writes a firmware image into a set-top box from a terminal
// or a script, with the same download worker as the dialog.
//
// The main thread parses the command line and hands the downloads to a
// station: of one slot for one port, of a slot per port for a batch
// (batch.cpp) or a station (station_mode.cpp). Ctrl-C reaches the runs
// through the station; the main thread waits for them and closes the ports
// once the last has ended.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/all_ports.h"
#include "cli/batch.h"
#include "cli/download_view.h"
#include "cli/history.h"
#include "station/download_record.h"
#include "cli/options.h"
#include "cli/output_queue.h"
#include "cli/port_report.h"
#include "cli/run_support.h"
#include "cli/station_mode.h"
#include "cli/terminal.h"
#include "download/download.h"
#include "serial/port_info.h"
#include "serial/serial_port.h"

namespace {

// Why a port that the look for --all-ports found busy cannot be opened, in
// the system's words from a probe of the link. Should it have come free
// since, the text is the one for a port that opened but could not be set up.
std::string PortBusyReason(const std::string& port) {
    std::string reason;
    if (PortProbe(port.c_str(), &reason) == 0) {
        reason = "the port could not be configured";
    }
    return reason;
}

void ExplainEnd(RunEnd end, const Options& options, const std::string& port) {
    switch (end) {
    case RunEnd::NotOpened:
        Complain("cannot read image '" + options.image + "' any more");
        break;
    case RunEnd::PortGone:
        Complain("the line on " + port + " was lost");
        break;
    default:
        break;
    }
}

// One port, with today's output: the dialog's words and one progress bar.
// A station of one slot runs the downloads, one after the other.
int Download(const Options& options, OutputQueue& out) {
    StationSetup setup = StationPrepare(options);
    if (!setup.problems.empty()) {
        Complain(setup.problems.front());
        return kExitUsage;
    }

    std::string port = options.ports.empty() ? std::string() : options.ports.front();
    if (port.empty()) {
        const std::vector<std::string> ports = PortList();
        if (ports.empty()) {
            Complain("no serial port found; name one with --port");
            return kExitUsage;
        }
        port = ports.front();
    }

    DownloadView::Settings viewSettings;
    viewSettings.bWaitForEnter = !options.bYes && StdinIsTerminal();
    viewSettings.bQuiet = options.bQuiet;
    // The receive trace writes hex without line ends; a bar redrawn in place
    // would overwrite it.
    viewSettings.bProgressBar = StdoutIsTerminal() && !options.bTrace;
    DownloadView view(viewSettings, out);
    DiagLinesTo diag([&view](const std::string&, const std::string& line) { view.DiagLine(line); });

    StationSettings settings = StationSettingsOf(options, setup);
    settings.prompt = [&view](const char* pText) { view.Prompt(pText); };
    g_bTrace.store(options.bTrace ? 1 : 0, std::memory_order_relaxed);
    InterruptInstall();

    Station station(settings);
    std::string reason;
    if (!station.AddSlot(port, reason)) {
        Complain("cannot open port " + RunPortOf(port).Shown() + ": " + reason);
        return kExitUsage;
    }
    const std::vector<std::string> fixtures = station.SetUpFixtures();
    if (!fixtures.empty()) {
        Complain(fixtures.front());
        return kExitUsage;
    }
    view.Follow(station);

    const bool bRepeating = options.repeat > 1;
    if (bRepeating) {
        view.Say("kelvora-upgrader: at start: " + ProcessResourcesText());
    }
    unsigned completed = 0;
    RunEnd end = RunEnd::Cancelled;
    for (unsigned run = 1; run <= options.repeat && !InterruptRequested(); ++run) {
        if (bRepeating && !options.bQuiet) {
            view.Say("Download " + std::to_string(run) + " of " + std::to_string(options.repeat));
        }
        if (station.Start(1) != Station::StartResult::Started) {
            break;
        }
        AwaitWorkers([&station] { return !station.Busy(); }, [&station] { station.CloseUnderRunning(); });
        const SlotSnapshot shown = station.Snapshot(1);
        end = shown.end.value_or(RunEnd::Cancelled);
        if (!RunSucceeded(shown)) {
            break;
        }
        ++completed;
    }
    const unsigned recordsLost = station.TotalsNow().recordsLost;
    if (bRepeating) {
        view.Say("kelvora-upgrader: at end: " + ProcessResourcesText() + "; " + std::to_string(completed) + " of " +
                 std::to_string(options.repeat) + " downloads completed");
    }
    if (recordsLost > 0) {
        view.Say(RecordsLostLine(recordsLost));
    }
    if (const std::string left = StoreRowsLeftLine(station); !left.empty()) {
        view.Say(left);
    }
    station.CloseAll();
    view.Unfollow();

    if (InterruptRequested()) {
        Complain("interrupted");
        return InterruptExitStatus();
    }
    if (completed == options.repeat) {
        return recordsLost > 0 ? kExitRunFailed : kExitCompleted;
    }
    ExplainEnd(end, options, port);
    return kExitRunFailed;
}

// Where the serial link's diagnostic lines go outside a batch. Set by main
// before any port opens and cleared after the last has closed.
std::atomic<OutputQueue*> g_pDiagOut{nullptr};

void DiagToStdout(const char*, const char* pLine) {
    OutputQueue* pOut = g_pDiagOut.load(std::memory_order_acquire);
    if (pOut != nullptr && DiagLinesShown()) {
        pOut->Post(pLine);
    }
}

// A download or a batch, with everything it prints written by the output
// queue. When stdout takes nothing more and Ctrl-C comes, the process ends
// without the rest (the records are written and the ports closed by then).
int DownloadAll(const Options& options, const std::vector<std::string>& ports, bool bBatch) {
    OutputQueue out;
    DiagLinesShow(options.bTrace || options.bVerbose);
    g_pDiagOut.store(&out, std::memory_order_release);
    SerialSetDiagSink(DiagToStdout);
    int status = kExitUsage;
    if (options.bStation) {
        StationSetup setup = StationPrepare(options);
        InterruptInstall();
        status = StationMain(options, ports, setup, out);
    } else {
        status = bBatch ? BatchDownload(options, ports, out) : Download(options, out);
    }
    g_pDiagOut.store(nullptr, std::memory_order_release);
    if (!out.Drain(InterruptRequested)) {
        Complain("interrupted while stdout was not being read; the rest of the output is lost");
        std::fflush(stderr);
        std::_Exit(InterruptExitStatus());
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "history") {
        return HistoryMain(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (argc > 1 && std::string(argv[1]) == "import-records") {
        return ImportRecordsMain(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string error;
    if (!OptionsParse(args, options, error)) {
        Complain(error);
        std::fputs("Try 'kelvora-upgrader --help'.\n", stderr);
        return kExitUsage;
    }

    switch (options.action) {
    case Action::Help:
        std::fputs(kUsage, stdout);
        return kExitCompleted;
    case Action::Version:
        std::printf("kelvora-upgrader %s\n", KELVORA_VERSION);
        return kExitCompleted;
    case Action::ListPorts:
        if (options.bLong || options.bJson) {
            const std::vector<PortInfo> ports = PortInfoList();
            std::fputs((options.bJson ? PortReportJson(ports) : PortReportLong(ports)).c_str(), stdout);
            return kExitCompleted;
        }
        for (const std::string& port : PortList()) {
            std::printf("%s\n", port.c_str());
        }
        return kExitCompleted;
    case Action::Download:
        break;
    }

    std::vector<std::string> ports = options.ports;
    if (options.bAllPorts) {
        const std::vector<PortInfo> known = PortInfoList();
        const AllPorts all = AllPortsChoose(known, PortList(), options.bSkipBusy);
        for (const std::string& port : all.skipped) {
            Complain("port " + port + " is busy, left out: " + PortBusyReason(port));
        }
        for (const std::string& port : all.stopping) {
            Complain("port " + port + " is busy: " + PortBusyReason(port) + " (--skip-busy leaves it out)");
        }
        if (!all.stopping.empty()) {
            return kExitUsage;
        }
        ports = all.ports;
        if (ports.empty()) {
            Complain("no serial port found");
            return kExitUsage;
        }
    }
    // Two names of one device would fail as busy on the second open.
    for (auto it = ports.begin(); it != ports.end(); ++it) {
        for (auto earlier = ports.begin(); earlier != it; ++earlier) {
            if (PortSameDevice(*it, *earlier)) {
                Complain(*it + " is the same device as " + *earlier);
                return kExitUsage;
            }
        }
    }
    if (options.bStation && ports.empty()) {
        Complain("--station needs --port or --all-ports");
        return kExitUsage;
    }
    const bool bBatch = ports.size() > 1 || options.bAllPorts;
    if (options.bWeb && !options.bStation && !bBatch) {
        Complain("--web is for --station or a batch (several ports or --all-ports)");
        return kExitUsage;
    }
    if (bBatch && options.bTrace) {
        Complain("--trace works with one port only");
        return kExitUsage;
    }

    // KELVORA_RESOURCE_REPORT: tests and soaks read what the run left behind.
    const bool bReport = std::getenv("KELVORA_RESOURCE_REPORT") != nullptr;
    if (bReport) {
        std::fprintf(stderr, "resources-start: fds=%d\n", ProcessDescriptorCount());
    }
    const int status = DownloadAll(options, ports, bBatch);
    if (bReport) {
        // A reader that has just said it ended may still be leaving its
        // thread; give it a moment before counting.
        for (int i = 0; i < 50 && ProcessThreadCount() > 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::fprintf(stderr, "resources: buffers_obtained=%llu buffers_released=%llu threads=%d fds=%d\n",
                     static_cast<unsigned long long>(ImageBuffer::ObtainedCount()),
                     static_cast<unsigned long long>(ImageBuffer::ReleasedCount()), ProcessThreadCount(),
                     ProcessDescriptorCount());
    }
    return status;
}
