// What the operator sees of a station. On a terminal: a header (image and
// the session's totals), one row per slot and the last few events, redrawn
// in place at most ten times a second. Off a terminal, or when the screen
// does not fit: one line per event, each starting with the slot's port.
// The station's threads only mark the screen dirty or queue a line; the
// output queue does the writing.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/output_queue.h"
#include "cli/progress.h"
#include "station/station.h"

class StationView : public StationListener {
public:
    struct Settings {
        bool bRedraw = false;  // a terminal that takes cursor movement
        bool bKeys = false;    // the operator types keys (else: lines on stdin)
        unsigned target = 0;   // completed boxes wanted; 0: none
    };

    StationView(Settings settings, OutputQueue& out);
    ~StationView() override;
    StationView(const StationView&) = delete;
    StationView& operator=(const StationView&) = delete;

    // The station to show; the screen is drawn from here on.
    void Attach(const Station& station, const ImageFacts& image);
    // A line of the station's own (a refused start, quitting), above the screen.
    void Line(const std::string& text);
    // Draws the screen a last time and leaves the cursor below it.
    void Finish();

    void StatusChanged(unsigned slot, const char* pText) override;
    void RunEnded(const SlotSnapshot& slot) override;
    void Event(const StationEvent& event) override;
    void RecordLost(unsigned slot, const std::string& lost) override;

private:
    void RedrawLoop();
    // With m_mutex held.
    void Erase();
    void Draw();
    std::vector<std::string> ScreenLines();
    std::string Header(const Station::Totals& totals) const;
    std::string Row(const SlotSnapshot& slot) const;
    std::string PortOf(unsigned slot) const;

    const Settings m_settings;
    OutputQueue& m_out;
    const Station* m_pStation = nullptr;
    ImageFacts m_image;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bRedraw;  // turns false for good when the screen stops fitting
    bool m_bStopping = false;
    bool m_bFinished = false;
    bool m_bHeld = false;  // the screen is off while stderr gets a line
    bool m_bTargetSaid = false;
    std::size_t m_drawnLines = 0;
    std::size_t m_portWidth = 4;
    std::deque<std::string> m_events;      // the last few, for the screen
    std::vector<ProgressReport> m_logs;    // off a terminal: which blocks get a line
    std::thread m_redraw;
};
