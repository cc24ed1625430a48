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
#include "cli/download_record.h"
#include "cli/run_support.h"
#include "cli/terminal.h"
#include "download/download.h"
#include "serial/serial_port.h"

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

bool AsksForAction(const char* pText) {
    return std::string(pText) == kMsgPowerOff || std::string(pText) == kMsgRestart;
}

// What all the runs of a batch share; read-only while they run.
struct BatchShared {
    BatchView& view;
    PromptGate& gate;
    std::shared_ptr<const LoadedImage> pImage;
    std::string imagePath;
};

// One box of the batch: its own link, its row on screen, its facts.
class BoxFrontEnd : public FrontEnd {
public:
    BoxFrontEnd(BatchShared& shared, std::size_t row, std::string port)
        : port(std::move(port)), row(row), runPort(RunPortOf(this->port)), m_shared(shared) {}

    const std::string port;
    const std::size_t row;
    const RunPort runPort;              // found before the port opens, read by the box's worker
    SerialLink link;
    PortHandle m_hComm = kInvalidPort;  // written by the main thread before any run
    RunFacts facts;                     // written by the box's worker during its run
    bool bRecordWritten = true;         // likewise
    unsigned completedRuns = 0;         // over all rounds; written by the main thread between rounds
    unsigned failedRuns = 0;

    bool PortOpen() override { return true; }
    PortHandle PortHandleNow() override { return m_hComm; }
    SerialLink& Link() override { return link; }
    std::shared_ptr<const LoadedImage> SharedImage() override { return m_shared.pImage; }
    void ShowMessage(const char* pText) override {
        if (AsksForAction(pText)) {
            m_shared.gate.Arrive(pText);
        } else {
            facts.Message(pText);
        }
    }
    void SetStatus(const char* pText) override { m_shared.view.Status(row, pText); }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void EnableDownload(bool) override {}
    bool ChooseImage(std::string& path) override {
        // A Ctrl-C at the power-off prompt ends the run here.
        if (CancelRequested()) {
            return false;
        }
        path = m_shared.imagePath;
        return true;
    }
    bool CancelRequested() override { return InterruptRequested(); }
    void StageBegins(RunStage stage) override { facts.Stage(stage); }
    void BlockAcknowledged(unsigned blocks) override { facts.Blocks(blocks); }

private:
    BatchShared& m_shared;
};

struct Tally {
    unsigned completed = 0;
    unsigned failed = 0;
    unsigned recordsLost = 0;
};

// One round: a worker per box, all at once. Returns when every worker has
// ended; after a Ctrl-C that a worker does not answer in time, its port is
// closed under it.
void RunRound(std::vector<std::unique_ptr<BoxFrontEnd>>& boxes, BatchShared& shared, const Options& options,
              const ImageFacts& image, Tally& tally) {
    shared.view.BeginRound();
    shared.gate.Reset(boxes.size());
    // Each written by its worker as its last act, read by this thread.
    auto done = std::make_unique<std::atomic<bool>[]>(boxes.size());
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        BoxFrontEnd& box = *boxes[i];
        done[i].store(false);
        workers.emplace_back([&box, &shared, &options, &image, &done, i] {
            box.link.TakeConsole();  // what came before this run is not its record's
            box.facts.Begin();
            RunEnd end = RunEnd::Cancelled;
            if (box.TryBeginRun()) {
                end = DownloadRun(box);
            }
            box.facts.End(end);
            shared.gate.Leave();
            const std::string& message = box.facts.FinalMessage();
            shared.view.Final(box.row, message.empty() ? std::string(RunEndName(end)) : message);
            std::string lost;
            box.bRecordWritten = options.record.empty() ||
                                 RecordRun(options.record, box.facts, box.runPort, image, box.link.TakeConsole(), lost);
            if (!box.bRecordWritten) {
                shared.view.ErrorLine(lost);
            }
            done[i].store(true, std::memory_order_release);
        });
    }

    AwaitWorkers(
        [&] {
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                if (!done[i].load(std::memory_order_acquire)) {
                    return false;
                }
            }
            return true;
        },
        [&] {
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                if (!done[i].load(std::memory_order_acquire)) {
                    boxes[i]->link.Close();
                }
            }
        });
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (const auto& box : boxes) {
        if (box->facts.EndOfRun() == RunEnd::Completed) {
            ++tally.completed;
            ++box->completedRuns;
        } else {
            ++tally.failed;
            ++box->failedRuns;
        }
        tally.recordsLost += box->bRecordWritten ? 0 : 1;
    }
}

// The last run of each port, and with several rounds each port's counts
// over all of them.
void PrintSummary(BatchView& view, const std::vector<std::unique_ptr<BoxFrontEnd>>& boxes, const Tally& tally,
                  bool bRounds) {
    std::size_t portWidth = 4;
    for (const auto& box : boxes) {
        portWidth = std::max(portWidth, box->port.size());
    }
    char line[512];
    int length = std::snprintf(line, sizeof line, "%-*s  %-16s  %6s  %8s", static_cast<int>(portWidth), "PORT",
                               "OUTCOME", "BLOCKS", "SECONDS");
    if (bRounds) {
        std::snprintf(line + length, sizeof line - length, "  %9s  %6s", "COMPLETED", "FAILED");
    }
    view.Line(line);
    for (const auto& box : boxes) {
        length = std::snprintf(line, sizeof line, "%-*s  %-16s  %6u  %8.1f", static_cast<int>(portWidth),
                               box->port.c_str(), RunEndName(box->facts.EndOfRun()), box->facts.BlocksAcknowledged(),
                               box->facts.Seconds());
        if (bRounds && length > 0 && static_cast<std::size_t>(length) < sizeof line) {
            std::snprintf(line + length, sizeof line - length, "  %9u  %6u", box->completedRuns, box->failedRuns);
        }
        view.Line(line);
    }
    view.Line(std::to_string(tally.completed) + " completed, " + std::to_string(tally.failed) + " failed");
}

}  // namespace

int BatchDownload(const Options& options, const std::vector<std::string>& ports, OutputQueue& out) {
    BatchView::Settings settings;
    settings.bQuiet = options.bQuiet;
    settings.bRedraw = StdoutIsTerminal() && TerminalEnableRedraw();
    BatchView view(ports, settings, out);
    PromptGate gate(view, !options.bYes && StdinIsTerminal());
    BatchShared shared{view, gate, nullptr, options.image};

    // Nothing is sent until every port is open and the image is read.
    std::vector<std::string> problems;
    std::string reason;
    ImageFacts image;
    if (!ImageRead(options.image, shared.pImage, reason)) {
        problems.push_back("cannot read image '" + options.image + "': " + reason);
    } else if (!options.record.empty() && !ImageFactsOf(options.image, *shared.pImage, image, reason)) {
        problems.push_back("cannot read image '" + options.image + "': " + reason);
    }
    image.path = options.image;
    if (!options.record.empty() && !RecordFileWritable(options.record, reason)) {
        problems.push_back("cannot write records to '" + options.record + "': " + reason);
    }

    InterruptInstall();
    std::vector<std::unique_ptr<BoxFrontEnd>> boxes;
    {
        ViewAsDiagSink diag(view);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            auto box = std::make_unique<BoxFrontEnd>(shared, i, ports[i]);
            if (box->link.Open(ports[i].c_str(), &box->m_hComm) != 0) {
                problems.push_back("cannot open port " + box->runPort.Shown() + ": " + PortOpenErrorText(ports[i]));
            } else if (!options.record.empty()) {
                box->link.CaptureConsole(kRecordConsoleLimit);
            }
            boxes.push_back(std::move(box));
        }
        if (!problems.empty()) {
            boxes.clear();  // closes the ports that did open; nothing was sent
        }
    }
    if (!problems.empty()) {
        view.Finish();
        for (const std::string& problem : problems) {
            Complain(problem);
        }
        return kExitUsage;
    }

    Tally tally;
    {
        ViewAsDiagSink diag(view);
        for (unsigned round = 1; round <= options.repeat && !InterruptRequested(); ++round) {
            if (options.repeat > 1) {
                view.Line("Round " + std::to_string(round) + " of " + std::to_string(options.repeat));
            }
            const unsigned failedBefore = tally.failed;
            RunRound(boxes, shared, options, image, tally);
            if (tally.failed != failedBefore) {
                break;
            }
        }
        for (auto& box : boxes) {
            box->link.Close();
        }
    }
    view.Finish();
    PrintSummary(view, boxes, tally, options.repeat > 1);
    if (tally.recordsLost > 0) {
        view.Line(RecordsLostLine(tally.recordsLost));
    }

    if (InterruptRequested()) {
        Complain("interrupted");
        return InterruptExitStatus();
    }
    return tally.failed == 0 && tally.recordsLost == 0 ? kExitCompleted : kExitRunFailed;
}
