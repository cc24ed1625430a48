#include "cli/download_view.h"

#include <cstdio>

#include "cli/terminal.h"

DownloadView::DownloadView(Settings settings, OutputQueue& out)
    : m_settings(settings), m_out(out), m_progress(settings.bProgressBar) {}

DownloadView::~DownloadView() {
    Unfollow();
}

void DownloadView::Follow(const Station& station) {
    m_feed.Start(station, [this](const LoggedEvent& event) { Show(event); });
}

void DownloadView::Unfollow() {
    m_feed.Stop();
}

void DownloadView::PrintLine(const std::string& text) {
    std::string line;
    if (m_progress.BarOpen()) {
        line = "\n";
        m_progress.Close();
    }
    m_out.Post(line + text + "\n");
}

void DownloadView::Show(const LoggedEvent& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    switch (event.kind) {
    case EventKind::Message:
    case EventKind::Boot:
        PrintLine(event.text);
        break;
    case EventKind::Status:
        if (!m_settings.bQuiet) {
            PrintLine(event.text);
        }
        break;
    case EventKind::Progress:
        if (!m_settings.bQuiet) {
            const std::string text = m_progress.Update(event.sent, event.total, ProgressReport::Clock::now());
            if (!text.empty()) {
                m_out.Post(text);
            }
        }
        break;
    case EventKind::RecordLost:
        // The complaint and, on the next line, the record's JSON line.
        std::fprintf(stderr, "%s\n", event.text.c_str());
        break;
    default:
        break;
    }
}

void DownloadView::Say(const std::string& line) {
    m_feed.Pump();
    std::lock_guard<std::mutex> lock(m_mutex);
    PrintLine(line);
}

void DownloadView::Prompt(const char* pText) {
    m_feed.Pump();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        PrintLine(pText);
        if (!m_settings.bWaitForEnter) {
            return;
        }
        m_out.Post("Press Enter when done (Ctrl-C stops). ");
    }
    if (WaitForEnter(InterruptRequested) == EnterWait::Stopped) {
        // The prompt's line is still open after the "^C" the terminal echoed.
        Say("");
    }
}

void DownloadView::DiagLine(const std::string& line) {
    m_feed.Pump();
    m_out.Post(line);
}
