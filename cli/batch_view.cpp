#include "cli/batch_view.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kStatusWidth = 30;

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

BatchView::BatchView(std::vector<std::string> ports, Settings settings, OutputQueue& out)
    : m_settings(settings), m_out(out), m_screen({settings.bRedraw && !settings.bQuiet, false}, out) {
    for (std::string& port : ports) {
        m_portWidth = std::max(m_portWidth, port.size());
        Row row;
        row.port = std::move(port);
        m_rows.push_back(std::move(row));
    }
    m_screen.Start([this](std::size_t, std::size_t) { return Frame(); }, nullptr);
}

BatchView::~BatchView() {
    Unfollow();
    Finish();
}

void BatchView::Follow(const Station& station) {
    m_feed.Start(station, [this](const LoggedEvent& event) { Show(event); });
}

void BatchView::Unfollow() {
    m_feed.Stop();
}

void BatchView::Show(const LoggedEvent& event) {
    if (event.slot == 0 || event.slot > m_rows.size()) {
        return;
    }
    const std::size_t row = event.slot - 1;
    switch (event.kind) {
    case EventKind::Status:
        Status(row, event.text);
        break;
    case EventKind::Progress:
        Progress(row, event.sent, event.total);
        break;
    case EventKind::RunEnded:
        Final(row, event.text.empty() ? std::string(RunEndName(event.end)) : event.text);
        break;
    case EventKind::Boot:
        Boot(row, event.text);
        break;
    case EventKind::RecordLost:
        ErrorLine(event.text);
        break;
    default:
        break;
    }
}

void BatchView::BeginRound() {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    for (Row& row : m_rows) {
        const std::string port = row.port;
        row = Row{};
        row.port = port;
    }
    m_screen.Dirty();
}

void BatchView::Status(std::size_t row, const std::string& text) {
    if (m_settings.bQuiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    Row& r = m_rows[row];
    r.status = text;
    r.bTransfer = false;
    if (m_screen.Redraws()) {
        m_screen.Dirty();
        return;
    }
    m_out.Post(r.port + ": " + text + "\n");
}

void BatchView::Progress(std::size_t row, unsigned sent, unsigned total) {
    if (m_settings.bQuiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    Row& r = m_rows[row];
    const auto now = ProgressReport::Clock::now();
    if (!r.bTransfer || sent < r.sent) {
        r.transferStart = now;
        r.startSent = sent;
    }
    r.status = ProgressText(sent, total);
    r.sent = sent;
    r.total = total;
    r.bTransfer = true;
    if (m_screen.Redraws()) {
        m_screen.Dirty();
        return;
    }
    // A log: of the transfer only the first block, every tenth and the last.
    const std::string text = r.log.Update(sent, total, now);
    if (!text.empty()) {
        m_out.Post(r.port + ": " + text);
    }
}

void BatchView::Final(std::size_t row, const std::string& message) {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    Row& r = m_rows[row];
    r.bEnded = true;
    r.final = OneLine(message);
    if (m_screen.Redraws()) {
        m_screen.Dirty();
        return;
    }
    if (!message.empty()) {
        m_screen.Above(r.port + ": " + r.final + "\n");
    }
}

void BatchView::Boot(std::size_t row, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    Row& r = m_rows[row];
    r.boot = OneLine(text);
    if (m_screen.Redraws()) {
        m_screen.Dirty();
        return;
    }
    m_screen.Above(r.port + ": " + r.boot + "\n");
}

void BatchView::Line(const std::string& text) {
    m_feed.Pump();
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    m_screen.Above(text + "\n");
}

void BatchView::ErrorLine(const std::string& text) {
    m_screen.ToStderr([&text] { std::fputs((text + "\n").c_str(), stderr); });
}

void BatchView::PortLine(const std::string& port, const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    Line(port.empty() ? line : port + ": " + line);
}

void BatchView::BeginPrompt(const std::string& text, bool bWaitForEnter) {
    m_feed.Pump();
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    m_screen.Hold();
    m_out.Post(text + "\n");
    if (bWaitForEnter) {
        m_out.Post("Press Enter when done (Ctrl-C stops). ");
    }
}

void BatchView::EndPrompt() {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    m_screen.Release();
}

void BatchView::Finish() {
    m_feed.Pump();
    m_screen.Finish();
}

std::vector<std::string> BatchView::Frame() const {
    std::vector<std::string> lines;
    for (const Row& row : m_rows) {
        lines.push_back(RowText(row));
    }
    return lines;
}

std::string BatchView::RowText(const Row& row) const {
    std::string text = Padded(row.port, m_portWidth) + "  ";
    if (row.bEnded) {
        return text + (row.final.empty() ? row.status : row.final) + (row.boot.empty() ? "" : "  " + row.boot);
    }
    text += Padded(row.status, kStatusWidth) + "  ";
    if (!row.bTransfer) {
        return text;
    }
    return text + ProgressRowText(row.sent, row.total, row.startSent, row.transferStart, ProgressReport::Clock::now());
}
