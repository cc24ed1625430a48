// Turns the transfer's progress into what the operator sees: one progress
// bar line, redrawn in place, on a terminal; a few plain status lines (the
// first, every tenth and the last) in a log. Rate and time left are the
// station's (PaceOf): one window, one rounding for every front end.
#pragma once

#include <chrono>
#include <string>

#include "download/download.h"

// A row's picture of a transfer: "[####................]  sent / total bytes
// rate  m:ss left", the rate measured from startSent at start.
std::string ProgressRowText(unsigned sent, unsigned total, unsigned startSent, std::chrono::steady_clock::time_point start,
                            std::chrono::steady_clock::time_point now);

class ProgressReport {
public:
    using Clock = std::chrono::steady_clock;

    explicit ProgressReport(bool bBar) : m_bBar(bBar) {}

    // The text to print for this progress, empty when nothing is due. A bar
    // starts with '\r' and has no line end; a log line ("sent / total")
    // ends with '\n'.
    std::string Update(unsigned sent, unsigned total, Clock::time_point now);
    // A bar is on screen without its line end: the next line must end it.
    bool BarOpen() const { return m_bBarOpen; }
    // The bar's line has been ended; the next transfer starts afresh.
    void Close();

private:
    std::string Bar(unsigned sent, unsigned total, Clock::time_point now);

    bool m_bBar;
    bool m_bBarOpen = false;
    bool m_bStarted = false;
    Clock::time_point m_start{};
    unsigned m_startSent = 0;
    Clock::time_point m_lastDraw{};
    int m_lastTenth = -1;
    int m_lastWidth = 0;
};
