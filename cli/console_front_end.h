// The download worker's front end on a console: messages and status texts on
// stdout, Enter for OK, the image named on the command line for the chooser,
// Ctrl-C for cancel.
#pragma once

#include <mutex>
#include <string>

#include "cli/output_queue.h"
#include "cli/progress.h"
#include "station/run_facts.h"
#include "download/front_end.h"

struct ConsoleSettings {
    std::string image;
    bool bWaitForEnter = true;  // at the power-off and restart prompts
    bool bQuiet = false;        // no status or progress lines
    bool bProgressBar = false;  // stdout is a terminal: one bar line, redrawn
    bool (*pCancel)() = nullptr;
    OutputQueue* pOut = nullptr;  // where stdout's text goes; required
};

class ConsoleFrontEnd : public FrontEnd {
public:
    explicit ConsoleFrontEnd(ConsoleSettings settings);

    // The port, owned by the main thread: it opens it before the first run
    // and closes it after the last, while no worker runs.
    PortHandle m_hComm = kInvalidPort;
    bool m_bPortOpen = false;

    bool PortOpen() override { return m_bPortOpen; }
    PortHandle PortHandleNow() override { return m_hComm; }
    void ShowMessage(const char* pText) override;
    void SetStatus(const char* pText) override;
    void BytesSent(unsigned sent, unsigned total) override;
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void EnableDownload(bool) override {}
    bool ChooseImage(std::string& path) override;
    bool CancelRequested() override;
    void StageBegins(RunStage stage) override { facts.Stage(stage); }
    void BlockAcknowledged(unsigned blocks) override { facts.Blocks(blocks); }

    // What the worker's run showed and reached, for its record; written by
    // the worker, read by the main thread after the run.
    RunFacts facts;

    // Prints one line of the front end's own (not the worker's), ending an
    // open progress bar first.
    void Say(const std::string& line);

private:
    void PrintLine(const char* pText);

    ConsoleSettings m_settings;
    // The worker prints through this front end, the main thread between and
    // after runs; the lock keeps a line and the bar state together, the
    // output queue does the writing.
    std::mutex m_outMutex;
    ProgressReport m_progress;
};
