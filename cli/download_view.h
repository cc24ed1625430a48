// What the operator sees of a download on one port: the run's messages and
// status texts as lines on stdout and, on a terminal, one progress bar redrawn
// in place (a line per tenth of the transfer otherwise); the power-off and
// restart prompts wait for Enter. Everything is shown from the station's
// event log.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "cli/output_queue.h"
#include "cli/progress.h"
#include "station/station_feed.h"

class DownloadView {
public:
    struct Settings {
        bool bWaitForEnter = true;  // at the power-off and restart prompts
        bool bQuiet = false;        // no status or progress lines
        bool bProgressBar = false;  // stdout is a terminal: one bar line, redrawn
    };

    DownloadView(Settings settings, OutputQueue& out);
    ~DownloadView();
    DownloadView(const DownloadView&) = delete;
    DownloadView& operator=(const DownloadView&) = delete;

    // Shows the station's events from here on; Unfollow shows the rest and
    // stops, before the station goes.
    void Follow(const Station& station);
    void Unfollow();

    // A line of the front end's own (not the run's), after everything the
    // station logged before it, ending an open progress bar first.
    void Say(const std::string& line);
    // A prompt: the line, then with bWaitForEnter the wait for Enter (or
    // Ctrl-C).
    void Prompt(const char* pText);
    // A diagnostic line of the link, as it came (with its line end).
    void DiagLine(const std::string& line);

private:
    void Show(const LoggedEvent& event);
    // Under m_mutex.
    void PrintLine(const std::string& text);

    const Settings m_settings;
    OutputQueue& m_out;
    std::mutex m_mutex;  // keeps a line and the bar's state together
    ProgressReport m_progress;
    StationFeed m_feed;
};
