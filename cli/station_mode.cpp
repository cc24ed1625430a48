// The command line's station: a slot per port, each flashing box after box
// on its own, started and stopped by keys on a terminal or by lines on stdin.
#include "cli/station_mode.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "cli/run_support.h"
#include "cli/station_input.h"
#include "cli/station_view.h"
#include "cli/terminal.h"
#include "station/station.h"
#include "web/web_metrics.h"
#include "web/web_server.h"

namespace {

// How long a wait for input may last before Ctrl-C and the end of a quit
// are looked at again.
constexpr int kInputPollMs = 200;

// What the operator asked for, from keys or lines.
struct Command {
    enum class Kind { None, Start, StartAll, Stop, Quit } kind = Kind::None;
    unsigned slot = 0;
};

// Turns stdin into commands: keys on a terminal, lines otherwise.
class CommandReader {
public:
    CommandReader(const Station& station, bool bKeys) : m_station(station), m_bKeys(bKeys) {}

    // Adds what came; gives the commands complete so far, and one complaint
    // per line that is no command.
    std::vector<Command> Feed(const std::string& bytes, std::vector<std::string>& complaints) {
        std::vector<Command> commands;
        for (char c : bytes) {
            if (m_bKeys) {
                Key(c, commands);
                continue;
            }
            if (c == '\n') {
                Line(m_line, commands, complaints);
                m_line.clear();
            } else if (c != '\r') {
                m_line.push_back(c);
            }
        }
        return commands;
    }

private:
    void Key(char c, std::vector<Command>& commands) {
        if (m_bStopNext) {
            m_bStopNext = false;
            if (const unsigned slot = m_station.SlotOfKey(c)) {
                commands.push_back({Command::Kind::Stop, slot});
            }
            return;
        }
        if (c == '\n' || c == '\r') {
            commands.push_back({Command::Kind::StartAll, 0});
        } else if (c == 's') {
            m_bStopNext = true;
        } else if (c == 'q') {
            commands.push_back({Command::Kind::Quit, 0});
        } else if (const unsigned slot = m_station.SlotOfKey(c)) {
            commands.push_back({Command::Kind::Start, slot});
        }
    }

    void Line(const std::string& line, std::vector<Command>& commands, std::vector<std::string>& complaints) {
        std::istringstream words(line);
        std::string verb, what, extra;
        words >> verb >> what >> extra;
        if (verb.empty()) {
            return;
        }
        if (verb == "quit" && what.empty()) {
            commands.push_back({Command::Kind::Quit, 0});
            return;
        }
        if ((verb == "start" || verb == "stop") && extra.empty() && !what.empty()) {
            if (verb == "start" && what == "all") {
                commands.push_back({Command::Kind::StartAll, 0});
                return;
            }
            if (what.find_first_not_of("0123456789") == std::string::npos && what.size() < 6) {
                commands.push_back({verb == "start" ? Command::Kind::Start : Command::Kind::Stop,
                                    static_cast<unsigned>(std::stoul(what))});
                return;
            }
        }
        complaints.push_back("unknown command '" + line + "' (start N | start all | stop N | quit)");
    }

    const Station& m_station;
    const bool m_bKeys;
    bool m_bStopNext = false;
    std::string m_line;
};

}  // namespace

void WebServe(const Options& options, Station& station, const WebMetrics& metrics, const ImageFacts& image,
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
    webSettings.target = options.target;
    webSettings.bBatch = bBatch;
    web.emplace(station, metrics, webSettings);
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
    if (!options.unitPattern.empty()) {
        setup.unitPattern.emplace(options.unitPattern, std::regex::ECMAScript);
    }
    return setup;
}

StationSettings StationSettingsOf(const Options& options, const StationSetup& setup) {
    StationSettings settings;
    settings.pImage = setup.pImage;
    settings.image = setup.image;
    settings.record = options.record;
    settings.unitPattern = setup.unitPattern;
    settings.cancelAll = InterruptRequested;
    settings.openErrorText = PortOpenErrorText;
    return settings;
}

int StationMain(const Options& options, const std::vector<std::string>& ports, StationSetup& setup, OutputQueue& out) {
    StationInput input;
    StationView::Settings viewSettings;
    viewSettings.bRedraw = StdoutIsTerminal() && TerminalEnableRedraw() && !options.bQuiet;
    viewSettings.bKeys = input.Keys();
    viewSettings.target = options.target;
    StationView view(viewSettings, out);

    StationSettings settings = StationSettingsOf(options, setup);
    settings.stationName = options.stationName.empty() ? HostName() : options.stationName;
    WebMetrics metrics;
    ListenerPair listeners(view, metrics);
    Station station(settings, listeners);

    // Nothing is sent until every port is open.
    std::vector<std::string> problems = setup.problems;
    for (const std::string& port : ports) {
        std::string reason;
        if (!station.AddSlot(port, reason)) {
            problems.push_back("cannot open port " + RunPortOf(port).Shown() + ": " + reason);
        }
    }
    // Declared after the station: the server, which reads it, stops first.
    std::optional<WebServer> web;
    WebServe(options, station, metrics, setup.image, settings.stationName, false, web, problems);
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            Complain(problem);
        }
        return kExitUsage;
    }
    view.Attach(station, setup.image);
    if (web) {
        web->Start();
        view.Line("web: " + web->Url());
    }

    CommandReader reader(station, input.Keys());
    bool bQuitting = false;
    for (;;) {
        if (InterruptRequested()) {
            break;
        }
        if (bQuitting && station.RunningCount() == 0) {
            break;
        }
        std::string bytes;
        const StationInput::Result got = input.Read(bytes, kInputPollMs);
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
        for (const Command& command : reader.Feed(bytes, complaints)) {
            switch (command.kind) {
            case Command::Kind::Start: {
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
            case Command::Kind::StartAll: {
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
            case Command::Kind::Stop: {
                const std::string refusal = StopRefusalText(command.slot, station.Stop(command.slot));
                if (!refusal.empty()) {
                    view.Line(refusal);
                }
                break;
            }
            case Command::Kind::Quit:
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
            case Command::Kind::None:
                break;
            }
        }
        for (const std::string& complaint : complaints) {
            Complain(complaint);
        }
    }

    // Ctrl-C: every run is cancelled (its poll sees the request); a run that
    // does not answer in time has its port closed under it.
    station.Close();
    AwaitWorkers([&station] { return station.RunningCount() == 0; }, [&station] { station.CloseUnderRunning(); });
    view.Finish();
    const Station::Totals totals = station.TotalsNow();
    view.Line(std::to_string(totals.completed) + " completed, " + std::to_string(totals.failed) + " failed");
    if (totals.recordsLost > 0) {
        view.Line(RecordsLostLine(totals.recordsLost));
    }
    return SessionExitStatus(totals);
}

int SessionExitStatus(const Station::Totals& totals) {
    if (InterruptRequested()) {
        Complain("interrupted");
        return InterruptExitStatus();
    }
    return totals.failed == 0 && totals.recordsLost == 0 ? kExitCompleted : kExitRunFailed;
}
