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
#include "web/web_metrics.h"

namespace {

// The serial link's diagnostic lines (shown with --verbose) go through the
// view while a batch runs, so they never break into a row; outside it there
// are none to show. Written by the main thread around
// the batch, read by every thread that prints such a line.
std::mutex g_viewMutex;
BatchView* g_pView = nullptr;

void DiagThroughView(const char* pPort, const char* pLine) {
    if (!DiagLinesShown()) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_viewMutex);
    if (g_pView != nullptr) {
        g_pView->PortLine(pPort, pLine);
    }
}

class ViewAsDiagSink {
public:
    explicit ViewAsDiagSink(BatchView& view) {
        std::lock_guard<std::mutex> lock(g_viewMutex);
        g_pView = &view;
        SerialSetDiagSink(DiagThroughView);
    }
    ~ViewAsDiagSink() {
        std::lock_guard<std::mutex> lock(g_viewMutex);
        g_pView = nullptr;
    }
};

// The two prompts come once for the whole batch: every run waits at a
// prompt until all runs still going have reached it; the last to arrive
// shows it, waits for the operator, and lets them all go on together.
class PromptGate {
public:
    PromptGate(BatchView& view, bool bWaitForEnter) : m_view(view), m_bWaitForEnter(bWaitForEnter) {}

    void Reset(std::size_t runs) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_active = runs;
        m_waiting = 0;
    }

    void Arrive(const char* pText) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const unsigned generation = m_generation;
        m_text = pText;
        if (++m_waiting == m_active) {
            Answer(lock);
            return;
        }
        m_changed.wait(lock, [&] { return m_generation != generation; });
    }

    // A run has ended: it comes to no further prompt.
    void Leave() {
        std::unique_lock<std::mutex> lock(m_mutex);
        --m_active;
        if (m_waiting > 0 && m_waiting == m_active) {
            Answer(lock);
        }
    }

private:
    // Every run still going waits here meanwhile, so nothing else moves.
    void Answer(std::unique_lock<std::mutex>& lock) {
        const std::string text = m_text;
        lock.unlock();
        m_view.BeginPrompt(text, m_bWaitForEnter);
        if (m_bWaitForEnter && WaitForEnter(InterruptRequested) == EnterWait::Stopped) {
            // The prompt's line is still open after the "^C" the terminal echoed.
            m_view.Line("");
        }
        m_view.EndPrompt();
        lock.lock();
        m_waiting = 0;
        ++m_generation;
        m_changed.notify_all();
    }

    BatchView& m_view;
    const bool m_bWaitForEnter;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_active = 0;
    std::size_t m_waiting = 0;
    unsigned m_generation = 0;
    std::string m_text;
};

// The rows show what the station reports of each slot; the prompts go
// through the gate.
class BatchListener : public StationListener {
public:
    BatchListener(BatchView& view, PromptGate& gate) : m_view(view), m_gate(gate) {}

    void StatusChanged(unsigned slot, const char* pText) override { m_view.Status(slot - 1, pText); }
    void Progress(unsigned slot, unsigned sent, unsigned total) override { m_view.Progress(slot - 1, sent, total); }
    void RunEnded(const SlotSnapshot& slot) override {
        m_gate.Leave();
        m_view.Final(slot.number - 1, slot.message.empty() ? std::string(RunEndName(*slot.end)) : slot.message);
    }
    void RecordLost(unsigned, const std::string& lost) override { m_view.ErrorLine(lost); }

private:
    BatchView& m_view;
    PromptGate& m_gate;
};

// One round: a run on every slot, all at once. Returns when every run has
// ended; after a Ctrl-C that a run does not answer in time, its port is
// closed under it. True when every run completed.
bool RunRound(Station& station, BatchView& view, PromptGate& gate) {
    view.BeginRound();
    gate.Reset(station.SlotCount());
    const std::size_t started = station.StartAllReady().size();
    for (std::size_t i = started; i < station.SlotCount(); ++i) {
        gate.Leave();  // a slot whose lost port did not open again: no run
    }
    AwaitWorkers([&station] { return !station.Busy(); }, [&station] { station.CloseUnderRunning(); });
    bool bAllCompleted = started == station.SlotCount();
    for (unsigned slot = 1; slot <= station.SlotCount(); ++slot) {
        bAllCompleted = bAllCompleted && station.Snapshot(slot).end == RunEnd::Completed;
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
                               shown.port.name.c_str(), RunEndName(shown.end.value_or(RunEnd::Cancelled)),
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
    PromptGate gate(view, !options.bYes && StdinIsTerminal());
    BatchListener batchListener(view, gate);
    WebMetrics metrics;
    ListenerPair listener(batchListener, metrics);

    // Nothing is sent until every port is open and the image is read.
    StationSetup setup = StationPrepare(options);
    StationSettings settings = StationSettingsOf(options, setup);
    settings.prompt = [&gate](const char* pText) { gate.Arrive(pText); };

    InterruptInstall();
    std::vector<std::string> problems = setup.problems;
    auto pStation = std::make_unique<Station>(settings, listener);
    {
        ViewAsDiagSink diag(view);
        for (const std::string& port : ports) {
            std::string reason;
            if (!pStation->AddSlot(port, reason)) {
                problems.push_back("cannot open port " + RunPortOf(port).Shown() + ": " + reason);
            }
        }
    }
    // Declared after the station: the server, which reads it, stops first.
    std::optional<WebServer> web;
    WebServe(options, *pStation, metrics, setup.image,
             options.stationName.empty() ? HostName() : options.stationName, true, web, problems);
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
    if (web) {
        web->Start();
        view.Line("web: " + web->Url());
    }
    {
        ViewAsDiagSink diag(view);
        for (unsigned round = 1; round <= options.repeat && !InterruptRequested(); ++round) {
            if (options.repeat > 1) {
                view.Line("Round " + std::to_string(round) + " of " + std::to_string(options.repeat));
            }
            if (!RunRound(station, view, gate)) {
                break;
            }
        }
        station.CloseAll();
    }
    view.Finish();
    PrintSummary(view, station, options.repeat > 1);
    const Station::Totals totals = station.TotalsNow();
    if (totals.recordsLost > 0) {
        view.Line(RecordsLostLine(totals.recordsLost));
    }

    return SessionExitStatus(totals);
}
