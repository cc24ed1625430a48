#include "cli/batch_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/terminal.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kStatusWidth = 30;

// Cursor up n lines, to column 1; erase the line; erase to the screen's end.
std::string Up(std::size_t n) { return "\x1b[" + std::to_string(n) + "A\r"; }
const char kEraseLine[] = "\x1b[2K";
const char kEraseBelow[] = "\x1b[J";

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

BatchView::BatchView(std::vector<std::string> ports, Settings settings, OutputQueue& out)
    : m_settings(settings), m_out(out), m_bRedraw(settings.bRedraw) {
    for (std::string& port : ports) {
        m_portWidth = std::max(m_portWidth, port.size());
        Row row;
        row.port = std::move(port);
        m_rows.push_back(std::move(row));
    }
    if (m_settings.bRedraw && !m_settings.bQuiet) {
        m_redraw = std::thread(&BatchView::RedrawLoop, this);
    }
}

BatchView::~BatchView() {
    Finish();
}

void BatchView::Write(const std::string& text) {
    m_out.Post(text);
}

void BatchView::BeginRound() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Row& row : m_rows) {
        const std::string port = row.port;
        row = Row{};
        row.port = port;
    }
    m_bDirty = true;
}

void BatchView::Status(std::size_t row, const char* pText) {
    if (m_settings.bQuiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Row& r = m_rows[row];
    r.status = pText;
    unsigned sent = 0;
    unsigned total = 0;
    const bool bTransfer = ProgressParse(pText, sent, total);
    if (bTransfer) {
        if (!r.bTransfer || sent < r.sent) {
            r.transferStart = ProgressReport::Clock::now();
            r.startSent = sent;
        }
        r.sent = sent;
        r.total = total;
    }
    r.bTransfer = bTransfer;
    if (m_bRedraw) {
        m_bDirty = true;
        return;
    }
    // A log: every status, but of the transfer only the first block, every
    // tenth and the last.
    const std::string text = bTransfer ? r.log.Update(pText, sent, total, ProgressReport::Clock::now())
                                       : std::string(pText) + "\n";
    if (!text.empty()) {
        Write(r.port + ": " + text);
    }
}

void BatchView::Final(std::size_t row, const std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Row& r = m_rows[row];
    r.bEnded = true;
    r.final = OneLine(message);
    if (m_bRedraw && !m_settings.bQuiet) {
        m_bDirty = true;
        return;
    }
    if (!message.empty()) {
        EraseRows();
        Write(r.port + ": " + r.final + "\n");
        DrawRows();
    }
}

void BatchView::Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EraseRows();
    Write(text + "\n");
    DrawRows();
}

void BatchView::ErrorLine(const std::string& text) {
    bool bRowsShown = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bRowsShown = m_drawnRows > 0;
        EraseRows();
        m_errorLines += bRowsShown ? 1 : 0;
    }
    // The output queue writes the erase; stderr, written here, must come
    // after it on the terminal, or the next erase would take the line away.
    // The rows stay off the screen meanwhile, and the lock is not held.
    if (bRowsShown) {
        m_out.Drain(InterruptRequested);
    }
    std::fputs((text + "\n").c_str(), stderr);
    std::fflush(stderr);
    if (bRowsShown) {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_errorLines;
        DrawRows();
    }
}

void BatchView::PortLine(const std::string& port, const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    Line(port.empty() ? line : port + ": " + line);
}

void BatchView::BeginPrompt(const std::string& text, bool bWaitForEnter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EraseRows();
    m_bPrompting = true;
    Write(text + "\n");
    if (bWaitForEnter) {
        Write("Press Enter when done (Ctrl-C stops). ");
    }
}

void BatchView::EndPrompt() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bPrompting = false;
    DrawRows();
}

void BatchView::Finish() {
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
    if (m_bRedraw && !m_settings.bQuiet) {
        EraseRows();
        DrawRows();
    }
    // The rows stay on screen as they are; what follows goes below them.
    m_drawnRows = 0;
    m_bFinished = true;
}

void BatchView::RedrawLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStopping) {
        m_wake.wait_for(lock, kRedrawInterval);
        // While stdout has not taken the last frame, no new one is queued:
        // a slow terminal sees fewer frames, never a growing backlog.
        if (m_bDirty && !m_bStopping && m_out.Idle()) {
            EraseRows();
            DrawRows();
        }
    }
}

void BatchView::EraseRows() {
    if (m_drawnRows == 0) {
        return;
    }
    Write(Up(m_drawnRows) + kEraseBelow);
    m_drawnRows = 0;
}

void BatchView::DrawRows() {
    m_bDirty = false;
    if (!m_bRedraw || m_settings.bQuiet || m_bPrompting || m_bFinished || m_errorLines > 0) {
        return;
    }
    // Rows that do not fit would scroll, and every redraw would leave a copy
    // of them behind: from here on the batch is told in plain lines.
    if (m_rows.size() + 1 > static_cast<std::size_t>(TerminalRows())) {
        m_bRedraw = false;
        return;
    }
    // A row longer than the terminal would wrap and move every row below.
    const std::size_t columns = static_cast<std::size_t>(std::max(20, TerminalColumns() - 1));
    std::string text;
    for (const Row& row : m_rows) {
        std::string line = RowText(row);
        if (line.size() > columns) {
            line.resize(columns);
        }
        text += kEraseLine + line + "\n";
    }
    Write(text);
    m_drawnRows = m_rows.size();
}

std::string BatchView::RowText(const Row& row) const {
    std::string text = Padded(row.port, m_portWidth) + "  ";
    if (row.bEnded) {
        return text + (row.final.empty() ? row.status : row.final);
    }
    text += Padded(row.status, kStatusWidth) + "  ";
    if (!row.bTransfer) {
        return text;
    }
    return text + ProgressRowText(row.sent, row.total, row.startSent, row.transferStart, ProgressReport::Clock::now());
}
