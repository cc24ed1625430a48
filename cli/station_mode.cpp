// The command line's station: a slot per port, each flashing box after box
// on its own, started and stopped by keys on a terminal or by lines on stdin.
#include "cli/station_mode.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "cli/run_support.h"
#include "cli/station_commands.h"
#include "cli/station_input.h"
#include "cli/station_view.h"
#include "cli/terminal.h"
#include "station/station.h"
#include "web/web_server.h"

namespace {

// How long a wait for input may last before Ctrl-C and the end of a quit
// are looked at again.
constexpr int kInputPollMs = 200;

// After a lone Esc byte, how long to wait for the rest of a key's escape
// sequence before taking it as the Esc key.
constexpr int kEscapeWaitMs = 50;

// What the screen shows while a key waits for the next one.
const char* PromptOf(StationCommandReader::Pending pending) {
    switch (pending) {
    case StationCommandReader::Pending::Stop:
        return "stop: press the slot's key (Esc cancels)";
    case StationCommandReader::Pending::Quit:
        return "quit? q again, any other key goes on";
    case StationCommandReader::Pending::None:
        break;
    }
    return "";
}

}  // namespace

void WebServe(const Options& options, Station& station, const ImageFacts& image,
              const std::string& stationName, bool bBatch, std::optional<WebServer>& web,
              std::vector<std::string>& problems) {
    if (!options.bWeb) {
        return;
    }
    WebSettings webSettings;
    webSettings.address = options.webAddress;
    webSettings.port = static_cast<unsigned short>(options.webPort);
    webSettings.token = options.webToken;
    if (webSettings.token.empty()) {
        if (const char* pToken = std::getenv("KELVORA_WEB_TOKEN")) {
            webSettings.token = pToken;
        }
    }
    webSettings.record = options.record;
    webSettings.image = image;
    webSettings.stationName = stationName;
    webSettings.version = KELVORA_VERSION;
    webSettings.bBatch = bBatch;
    web.emplace(station, webSettings);
    std::string reason;
    if (!web->Listen(reason)) {
        problems.push_back("cannot serve the web page on " + options.webAddress + ":" + std::to_string(options.webPort) +
                           ": " + reason);
    }
}

StationSetup StationPrepare(const Options& options) {
    StationSetup setup;
    std::string reason;
    if (!ImageRead(options.image, setup.pImage, reason) ||
        !ImageFactsOf(options.image, *setup.pImage, setup.image, reason)) {
        setup.problems.push_back("cannot read image '" + options.image + "': " + reason);
    }
    setup.image.path = options.image;
    if (!options.record.empty() && !RecordFileWritable(options.record, reason)) {
        setup.problems.push_back("cannot write records to '" + options.record + "': " + reason);
    }
    // The unit store: a station keeps one in the user's state folder unless
    // told otherwise; a port or a batch only when given one.
    const bool bDefaultStore = options.db.empty() && options.bStation;
    const std::string store = bDefaultStore ? UnitStoreDefaultPath() : options.db == "none" ? "" : options.db;
    if (bDefaultStore && store.empty()) {
        setup.notes.push_back("no unit store: neither XDG_STATE_HOME nor HOME is set (--db FILE gives one)");
    } else if (!store.empty()) {
        setup.pStore = UnitStoreOpen(store, reason);
        if (setup.pStore == nullptr && bDefaultStore && reason == kUnitStoreUnavailable) {
            setup.notes.push_back("no unit store: " + reason);
        } else if (setup.pStore == nullptr) {
            setup.problems.push_back("cannot use the unit store '" + UnitStoreShown(store) + "': " + reason);
        }
    }
    std::string refusal;  // the patterns were checked with the options
    if (!options.unitPattern.empty()) {
        setup.unitPattern = UnitPattern::Compile(options.unitPattern, refusal);
    }
    if (!options.bootExpect.empty()) {
        BootCheck check{*UnitPattern::Compile(options.bootExpect, refusal), std::nullopt, options.bootWithin};
        if (!options.bootFail.empty()) {
            check.fail = UnitPattern::Compile(options.bootFail, refusal);
        }
        setup.bootCheck = std::move(check);
    }
    return setup;
}

StationSettings StationSettingsOf(const Options& options, const StationSetup& setup) {
    StationSettings settings;
    settings.pImage = setup.pImage;
    settings.image = setup.image;
    settings.record = options.record;
    settings.pStore = setup.pStore;
    settings.unitPattern = setup.unitPattern;
    settings.bootCheck = setup.bootCheck;
    if (options.powerLine != 0 || !options.powerCommand.empty()) {
        PowerControl power;
        power.line = options.powerLine;
        power.bInverted = options.bPowerInverted;
        power.command = options.powerCommand;
        power.offSeconds = options.offSeconds;
        power.goneAfterSeconds = options.goneAfter;
        power.doneWithinSeconds = options.bootWithin;
        settings.power = std::move(power);
    }
    settings.startLine = options.startLine;
    settings.bAutoStart = options.bAutoStart;
    settings.autoQuietSeconds = options.goneAfter;
    settings.onEnd = options.onEnd;
    settings.bReflash = options.bReflash;
    settings.target = options.target;
    settings.cancelAll = InterruptRequested;
    return settings;
}

int StationMain(const Options& options, const std::vector<std::string>& ports, StationSetup& setup, OutputQueue& out) {
    StationInput input;
    StationView::Settings viewSettings;
    viewSettings.bRedraw = StdoutIsTerminal() && TerminalEnableRedraw() && !options.bQuiet;
    viewSettings.bKeys = input.Keys();
    StationView view(viewSettings, out);

    StationSettings settings = StationSettingsOf(options, setup);
    settings.stationName = options.stationName.empty() ? HostName() : options.stationName;
    settings.bWatchIdlePorts = true;
    Station station(settings);

    // Nothing is sent until every port is open.
    std::vector<std::string> problems = setup.problems;
    for (const std::string& port : ports) {
        std::string reason;
        if (!station.AddSlot(port, reason)) {
            problems.push_back("cannot open port " + PrintableText(RunPortOf(port).Shown()) + ": " + reason);
        }
    }
    // Declared after the station: the server, which reads it, stops first.
    std::optional<WebServer> web;
    WebServe(options, station, setup.image, settings.stationName, false, web, problems);
    // Last: a lid may start its slot as soon as the fixtures are set up.
    if (problems.empty()) {
        const std::vector<std::string> fixtures = station.SetUpFixtures();
        problems.insert(problems.end(), fixtures.begin(), fixtures.end());
    }
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            Complain(problem);
        }
        return kExitUsage;
    }
    view.Attach(station, setup.image);
    for (const std::string& note : setup.notes) {
        view.Line(note);
    }
    if (web) {
        web->Start();
        view.Line("web: " + web->Url());
    }

    StationCommandReader reader([&station](char key) { return station.SlotOfKey(key); }, input.Keys());
    bool bQuitting = false;
    for (;;) {
        if (InterruptRequested()) {
            break;
        }
        if (bQuitting && !station.Busy()) {
            break;
        }
        std::string bytes;
        const StationInput::Result got = input.Read(bytes, reader.MidEscape() ? kEscapeWaitMs : kInputPollMs);
        if (got != StationInput::Result::Data) {
            reader.Pause();
            view.Prompt(PromptOf(reader.Waiting()));
        }
        if (got == StationInput::Result::End) {
            // End of stdin only ends the reading: a station run as a
            // service has none.
            std::this_thread::sleep_for(std::chrono::milliseconds(kInputPollMs));
            continue;
        }
        if (got != StationInput::Result::Data) {
            continue;
        }
        std::vector<std::string> complaints;
        const std::vector<StationCommand> commands = reader.Feed(bytes, complaints);
        view.Prompt(PromptOf(reader.Waiting()));
        for (const StationCommand& command : commands) {
            switch (command.kind) {
            case StationCommand::Kind::Start: {
                if (bQuitting) {
                    view.Line("quitting: no new starts");
                    break;
                }
                std::string reason;
                const Station::StartResult result = station.Start(command.slot, &reason);
                // A start refused for quitting after Ctrl-C needs no line: the
                // station is ending anyway.
                if (result != Station::StartResult::Closed) {
                    const std::string refusal = StartRefusalText(station, command.slot, result, reason);
                    if (!refusal.empty()) {
                        view.Line(refusal);
                    }
                }
                break;
            }
            case StationCommand::Kind::StartAll: {
                if (bQuitting) {
                    view.Line("quitting: no new starts");
                    break;
                }
                std::vector<std::string> failures;
                station.StartAllReady(&failures);
                for (const std::string& failure : failures) {
                    view.Line(failure);
                }
                break;
            }
            case StationCommand::Kind::Stop: {
                const std::string refusal = StopRefusalText(command.slot, station.Stop(command.slot));
                if (!refusal.empty()) {
                    view.Line(refusal);
                }
                break;
            }
            case StationCommand::Kind::Quit:
                if (bQuitting) {
                    // A second quit cancels what still runs.
                    station.StopAll();
                    break;
                }
                bQuitting = true;
                station.Close();
                view.Line("quitting: " + std::to_string(station.RunningCount()) +
                          " still running (quit again or Ctrl-C cancels them)");
                break;
            }
        }
        for (const std::string& complaint : complaints) {
            view.Complaint(complaint);
        }
    }

    // Ctrl-C: every run is cancelled (its poll sees the request); a run that
    // does not answer in time has its port closed under it.
    station.Close();
    AwaitWorkers([&station] { return !station.Busy(); }, [&station] { station.CloseUnderRunning(); });
    view.Finish();
    const Station::Totals totals = station.TotalsNow();
    view.Line(std::to_string(totals.completed) + " completed, " + std::to_string(totals.failed) + " failed");
    if (totals.recordsLost > 0) {
        view.Line(RecordsLostLine(totals.recordsLost));
    }
    if (const std::string left = StoreRowsLeftLine(station); !left.empty()) {
        view.Line(left);
    }
    view.Detach();
    return SessionExitStatus(totals);
}

std::string StoreRowsLeftLine(Station& station) {
    UnitStore* pStore = station.Store();
    const auto wait = InterruptRequested() ? std::chrono::seconds(0) : std::chrono::seconds(10);
    if (pStore == nullptr || pStore->Flush(wait)) {
        return "";
    }
    const std::size_t waiting = pStore->Waiting();
    return std::to_string(waiting) + (waiting == 1 ? " row waits" : " rows wait") +
           " for the unit store's server in its local spool; a station sends them when it next opens the store";
}

int SessionExitStatus(const Station::Totals& totals) {
    if (InterruptRequested()) {
        Complain("interrupted");
        return InterruptExitStatus();
    }
    return totals.failed == 0 && totals.recordsLost == 0 ? kExitCompleted : kExitRunFailed;
}
