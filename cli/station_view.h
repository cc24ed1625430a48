// What the operator sees of a station. On a terminal: a header (image and
// the session's totals), one row per slot and the last few events, redrawn
// in place at most ten times a second and from the top when the terminal's
// size changes; many slots take a compact form (one line each, in two
// columns when the terminal is wide enough). Off a terminal: one line per
// event, each starting with the slot's port. Port names, units and texts
// that came from outside are shown printable (see PrintableText).
// The view follows the station's event log: its feed only changes what the
// screen shows or queues a line; the terminal screen draws, and the output
// queue does the writing.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "cli/output_queue.h"
#include "cli/progress.h"
#include "cli/terminal_screen.h"
#include "station/station.h"
#include "station/station_feed.h"

class StationView {
public:
    struct Settings {
        bool bRedraw = false;  // a terminal that takes cursor movement
        bool bKeys = false;    // the operator types keys (else: lines on stdin)
    };

    StationView(Settings settings, OutputQueue& out);
    ~StationView();
    StationView(const StationView&) = delete;
    StationView& operator=(const StationView&) = delete;

    // The station to show; the screen is drawn and its events are shown
    // from here on. Detach shows the rest and stops, before the station goes.
    void Attach(const Station& station, const ImageFacts& image);
    void Detach();
    // A line of the station's own (a refused start, quitting), above the
    // screen, after what the station logged before it.
    void Line(const std::string& text);
    // A complaint on stderr (a line that is no command): the screen is taken
    // off while it is written, so that no redraw erases it.
    void Complaint(const std::string& text);
    // What a key waits for ("" when nothing): shown instead of the keys' help.
    void Prompt(const std::string& text);
    // Draws the screen a last time and leaves the cursor below it.
    void Finish();

private:
    void Show(const LoggedEvent& event);
    void StatusChanged(unsigned slot, const std::string& text);
    void Progress(unsigned slot, unsigned sent, unsigned total);
    void RunEnded(unsigned slot, const std::string& message);
    void Event(const StationEvent& event);
    void RecordLost(const std::string& lost);

    // With the screen's lock held.
    std::vector<std::string> ScreenLines(std::size_t rows, std::size_t columns);
    std::string Header(const Station::Totals& totals) const;
    // The header cut to columns: the image's part gives way (or the prompt
    // takes its place), the totals and the target stay whole.
    std::string ScreenHeader(const Station::Totals& totals, std::size_t columns, const std::string& prompt) const;
    std::string Row(const SlotSnapshot& slot) const;
    std::string PortOf(unsigned slot) const;

    const Settings m_settings;
    OutputQueue& m_out;
    const Station* m_pStation = nullptr;
    ImageFacts m_image;

    bool m_bTargetSaid = false;
    std::string m_prompt;
    std::size_t m_portWidth = 4;
    std::deque<std::string> m_events;      // the last few, for the screen
    std::vector<ProgressReport> m_logs;    // off a terminal: which blocks get a line
    TerminalScreen m_screen;
    StationFeed m_feed;
};
