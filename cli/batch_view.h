// What the operator sees of a batch: on a terminal one row per port, redrawn
// in place at most ten times a second (status text, bar, bytes, rate, time
// left; the final message once the box has ended); off a terminal plain
// lines, each starting with the port's name, and plain lines too when the
// rows do not fit the terminal. The rows show the station's event log. Every piece of output of the batch goes
// through here, under the screen's lock, so nothing is torn or drawn over;
// the lock is never held while stdout is written (the output queue writes).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/output_queue.h"
#include "cli/progress.h"
#include "cli/terminal_screen.h"
#include "station/station.h"
#include "station/station_feed.h"

class BatchView {
public:
    struct Settings {
        bool bRedraw = false;  // a terminal that takes cursor movement
        bool bQuiet = false;   // no rows, no status lines
    };

    BatchView(std::vector<std::string> ports, Settings settings, OutputQueue& out);
    ~BatchView();
    BatchView(const BatchView&) = delete;
    BatchView& operator=(const BatchView&) = delete;

    // Shows the station's events from here on (slot N is row N-1);
    // Unfollow shows the rest and stops, before the station goes.
    void Follow(const Station& station);
    void Unfollow();
    // A round of downloads begins: every row starts afresh.
    void BeginRound();
    // A line of the batch's own, above the rows, after what the station
    // logged before it.
    void Line(const std::string& text);
    // The same on stderr: a complaint that no redraw may erase.
    void ErrorLine(const std::string& text);
    // A diagnostic line of the serial link about a port ("" when unknown).
    void PortLine(const std::string& port, const std::string& text);
    // A prompt for the operator: the rows are taken off the screen until
    // EndPrompt, so that the answer's echo cannot move them.
    void BeginPrompt(const std::string& text, bool bWaitForEnter);
    void EndPrompt();
    // Draws the rows a last time and leaves the cursor below them.
    void Finish();

private:
    void Show(const LoggedEvent& event);
    // The worker of row's box set its status text.
    void Status(std::size_t row, const std::string& text);
    // Its transfer went on: bytes handed to the port and the length.
    void Progress(std::size_t row, unsigned sent, unsigned total);
    // The box's run ended with this message ("" when none).
    void Final(std::size_t row, const std::string& message);
    // Its boot check decided.
    void Boot(std::size_t row, const std::string& text);

    struct Row {
        std::string port;
        std::string status;
        std::string final;
        std::string boot;  // the boot check's result, when it had one
        bool bEnded = false;
        bool bTransfer = false;
        unsigned sent = 0;
        unsigned total = 0;
        ProgressReport log{false};
        ProgressReport::Clock::time_point transferStart{};
        unsigned startSent = 0;
    };

    // With the screen's lock held.
    std::vector<std::string> Frame() const;
    std::string RowText(const Row& row) const;

    const Settings m_settings;
    OutputQueue& m_out;
    std::vector<Row> m_rows;
    std::size_t m_portWidth = 0;
    TerminalScreen m_screen;
    StationFeed m_feed;
};
