#include "cli/terminal_screen.h"

#include <algorithm>
#include <cstdio>

#include "cli/terminal.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// Cursor up n lines, to column 1; erase the line; erase to the screen's end;
// to the screen's top and erase all of it.
std::string Up(std::size_t n) { return "\x1b[" + std::to_string(n) + "A\r"; }
const char kEraseLine[] = "\x1b[2K";
const char kEraseBelow[] = "\x1b[J";
const char kHomeEraseAll[] = "\x1b[H\x1b[J";

}  // namespace

TerminalScreen::TerminalScreen(Settings settings, OutputQueue& out)
    : m_settings(settings), m_out(out), m_bRedraw(settings.bRedraw) {}

TerminalScreen::~TerminalScreen() {
    Finish();
}

void TerminalScreen::Start(Frame frame, Due due) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frame = std::move(frame);
    m_due = std::move(due);
    if (m_bRedraw && !m_bStopping) {
        m_redraw = std::thread(&TerminalScreen::RedrawLoop, this);
    }
}

void TerminalScreen::ToStderr(const std::function<void()>& write) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Hold();
    }
    // The erase reaches the terminal before the line does, or the next erase
    // would take the line away; a stdout that takes nothing is not waited for.
    m_out.Drain([] { return true; });
    write();
    std::fflush(stderr);
    std::lock_guard<std::mutex> lock(m_mutex);
    Release();
}

void TerminalScreen::Finish() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStopping) {
            return;
        }
        m_bStopping = true;
        m_wake.notify_all();
    }
    if (m_redraw.joinable()) {
        m_redraw.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bRedraw) {
        Redraw();
    }
    // The frame stays on screen as it is; what follows goes below it.
    m_drawnLines = 0;
    m_bFinished = true;
}

void TerminalScreen::Above(const std::string& text) {
    Erase();
    m_out.Post(text);
    Draw();
}

void TerminalScreen::Redraw() {
    Erase();
    Draw();
}

void TerminalScreen::Hold() {
    Erase();
    ++m_holds;
}

void TerminalScreen::Release() {
    --m_holds;
    Draw();
}

std::chrono::steady_clock::duration TerminalScreen::SinceDraw() const {
    return std::chrono::steady_clock::now() - m_lastDraw;
}

void TerminalScreen::RedrawLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStopping) {
        m_wake.wait_for(lock, kRedrawInterval);
        if (m_bStopping) {
            break;
        }
        // While stdout has not taken the last frame, no new one is queued:
        // a slow terminal sees fewer frames, never a growing backlog.
        const bool bDue = m_bDirty || (m_due && m_due()) || (m_settings.bFollowResize && SizeChanged());
        if (bDue && m_out.Idle()) {
            Redraw();
        }
    }
}

bool TerminalScreen::SizeChanged() const {
    return m_drawnLines > 0 && (TerminalColumns() != m_drawnColumns || TerminalRows() != m_drawnRows);
}

void TerminalScreen::Erase() {
    if (m_drawnLines == 0) {
        return;
    }
    // After a resize the terminal may have rewrapped or scrolled the frame:
    // counting lines up no longer finds its top, so a frame that fills the
    // terminal is drawn afresh from the terminal's top.
    m_out.Post(m_settings.bFollowResize && SizeChanged() ? std::string(kHomeEraseAll)
                                                         : Up(m_drawnLines) + kEraseBelow);
    m_drawnLines = 0;
}

void TerminalScreen::Draw() {
    m_bDirty = false;
    if (!m_bRedraw || m_bFinished || m_holds > 0 || !m_frame) {
        return;
    }
    m_drawnColumns = TerminalColumns();
    m_drawnRows = TerminalRows();
    // A line as wide as the terminal would wrap, and a frame as high would
    // scroll: either leaves copies behind at the next redraw.
    const std::size_t columns = static_cast<std::size_t>(std::max(20, m_drawnColumns - 1));
    const std::size_t rows = static_cast<std::size_t>(std::max(2, m_drawnRows - 1));
    const std::vector<std::string> lines = m_frame(rows, columns);
    if (lines.size() > rows) {
        m_bRedraw = false;
        return;
    }
    std::string text;
    for (const std::string& line : lines) {
        text += kEraseLine + line.substr(0, columns) + "\n";
    }
    m_out.Post(text);
    m_drawnLines = lines.size();
    m_lastDraw = std::chrono::steady_clock::now();
}
