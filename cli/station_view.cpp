#include "cli/station_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/batch_view.h"
#include "cli/terminal.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// The seconds since a box's last byte change while nothing else does.
constexpr auto kIdleRedrawInterval = std::chrono::seconds(1);
constexpr std::size_t kEventsShown = 5;
constexpr int kStatusWidth = 36;
constexpr int kLastLineWidth = 40;

std::string Up(std::size_t n) { return "\x1b[" + std::to_string(n) + "A\r"; }
const char kEraseLine[] = "\x1b[2K";
const char kEraseBelow[] = "\x1b[J";

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// The last line of what the box sent that has something to read, with only
// printable bytes.
std::string LastLine(const std::string& console) {
    std::size_t end = console.size();
    while (end > 0) {
        const std::size_t start = console.find_last_of("\r\n", end - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        std::string line;
        for (std::size_t i = from; i < end; ++i) {
            const unsigned char c = static_cast<unsigned char>(console[i]);
            line.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
        }
        if (line.find_first_not_of(" .") != std::string::npos) {
            return line;
        }
        if (start == std::string::npos) {
            break;
        }
        end = start;
    }
    return {};
}

}  // namespace

StationView::StationView(Settings settings, OutputQueue& out)
    : m_settings(settings), m_out(out), m_bRedraw(settings.bRedraw) {}

StationView::~StationView() {
    Finish();
}

void StationView::Attach(const Station& station, const ImageFacts& image) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pStation = &station;
    m_image = image;
    m_logs.assign(station.SlotCount(), ProgressReport(false));
    for (unsigned slot = 1; slot <= station.SlotCount(); ++slot) {
        m_portWidth = std::max(m_portWidth, station.Port(slot).name.size());
    }
    if (!m_bRedraw) {
        const Station::Totals totals = station.TotalsNow();
        m_out.Post(Header(totals) + "\n");
        return;
    }
    m_redraw = std::thread(&StationView::RedrawLoop, this);
}

std::string StationView::PortOf(unsigned slot) const {
    return m_pStation == nullptr ? std::string() : m_pStation->Port(slot).name;
}

void StationView::Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Erase();
    m_out.Post(text + "\n");
    Draw();
}

void StationView::StatusChanged(unsigned slot, const char* pText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bRedraw || m_pStation == nullptr) {
        return;  // the next frame shows it
    }
    // A log: every status, but of the transfer only the first block, every
    // tenth and the last.
    unsigned sent = 0;
    unsigned total = 0;
    const std::string text = ProgressParse(pText, sent, total)
                                 ? m_logs[slot - 1].Update(pText, sent, total, ProgressReport::Clock::now())
                                 : std::string(pText) + "\n";
    if (!text.empty()) {
        m_out.Post(PortOf(slot) + ": " + text);
    }
}

void StationView::RunEnded(const SlotSnapshot& slot) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bRedraw && !slot.message.empty()) {
        m_out.Post(slot.port.name + ": " + slot.message + "\n");
    }
}

void StationView::Event(const StationEvent& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // On screen "slot 3 /dev/ttyUSB2: completed in 24:13"; off a terminal
    // the line starts with the port.
    const std::string port = event.slot == 0 ? std::string("station") : PortOf(event.slot);
    std::string text = m_bRedraw && event.slot != 0 ? "slot " + std::to_string(event.slot) + " " + port + ": " + event.text
                                                    : event.text;
    if (m_pStation != nullptr && m_settings.target > 0 && !m_bTargetSaid &&
        m_pStation->TotalsNow().completed >= m_settings.target) {
        m_bTargetSaid = true;
        text += "\ntarget of " + std::to_string(m_settings.target) + " completed boxes reached";
    }
    if (m_bRedraw) {
        for (std::size_t start = 0; start <= text.size();) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            m_events.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        while (m_events.size() > kEventsShown) {
            m_events.pop_front();
        }
        m_wake.notify_all();
        return;
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        m_out.Post(port + ": " + text.substr(start, end - start) + "\n");
        start = end + 1;
    }
}

void StationView::RecordLost(unsigned, const std::string& lost) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Erase();
        m_bHeld = true;
    }
    // The erase reaches the terminal before the line does; a stdout that
    // takes nothing is not waited for.
    m_out.Drain([] { return true; });
    std::fprintf(stderr, "%s\n", lost.c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bHeld = false;
    Draw();
}

void StationView::Finish() {
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
        Erase();
        Draw();
    }
    // The screen stays as it is; what follows goes below it.
    m_drawnLines = 0;
    m_bFinished = true;
}

void StationView::RedrawLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto lastDraw = std::chrono::steady_clock::now();
    while (!m_bStopping) {
        m_wake.wait_for(lock, kRedrawInterval);
        if (m_bStopping) {
            break;
        }
        // While stdout has not taken the last frame, no new one is queued.
        const bool bRunning = m_pStation->RunningCount() > 0;
        const auto now = std::chrono::steady_clock::now();
        if ((bRunning || now - lastDraw >= kIdleRedrawInterval) && m_out.Idle()) {
            Erase();
            Draw();
            lastDraw = now;
        }
    }
}

void StationView::Erase() {
    if (m_drawnLines == 0) {
        return;
    }
    m_out.Post(Up(m_drawnLines) + kEraseBelow);
    m_drawnLines = 0;
}

void StationView::Draw() {
    if (!m_bRedraw || m_bFinished || m_bHeld || m_pStation == nullptr) {
        return;
    }
    std::vector<std::string> lines = ScreenLines();
    // A screen that does not fit would scroll and leave copies behind: from
    // here on the station is told in plain lines.
    if (lines.size() + 1 > static_cast<std::size_t>(TerminalRows())) {
        m_bRedraw = false;
        m_out.Post(Header(m_pStation->TotalsNow()) + "\n");
        return;
    }
    const std::size_t columns = static_cast<std::size_t>(std::max(20, TerminalColumns() - 1));
    std::string text;
    for (std::string& line : lines) {
        if (line.size() > columns) {
            line.resize(columns);
        }
        text += kEraseLine + line + "\n";
    }
    m_out.Post(text);
    m_drawnLines = lines.size();
}

std::vector<std::string> StationView::ScreenLines() {
    std::vector<std::string> lines;
    lines.push_back(Header(m_pStation->TotalsNow()));
    lines.push_back(m_settings.bKeys ? "keys: slot key starts it, Enter starts all ready, s then key stops, q quits"
                                     : "lines: start N | start all | stop N | quit");
    for (unsigned slot = 1; slot <= m_pStation->SlotCount(); ++slot) {
        lines.push_back(Row(m_pStation->Snapshot(slot)));
    }
    lines.emplace_back();
    for (const std::string& event : m_events) {
        lines.push_back(event);
    }
    return lines;
}

std::string StationView::Header(const Station::Totals& totals) const {
    std::string name = m_image.path;
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    const unsigned ended = totals.completed + totals.failed;
    const double hours =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - totals.began).count() / 3600.0;
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s  %llu bytes  sha256 %.12s  |  completed %u  failed %u  yield %s  %.1f boxes/h  running %u",
                  name.c_str(), static_cast<unsigned long long>(m_image.bytes), m_image.sha256.c_str(),
                  totals.completed, totals.failed,
                  ended == 0 ? "-" : (std::to_string(totals.completed * 100 / ended) + "%").c_str(),
                  hours > 0 ? totals.completed / hours : 0.0, totals.running);
    std::string header = text;
    if (m_settings.target > 0) {
        header += totals.completed >= m_settings.target
                      ? "  target " + std::to_string(m_settings.target) + " reached"
                      : "  target " + std::to_string(m_settings.target) + ": " +
                            std::to_string(m_settings.target - totals.completed) + " left";
    }
    return header;
}

std::string StationView::Row(const SlotSnapshot& slot) const {
    // Key, port and the slot's counts first: a narrow terminal cuts the end.
    std::string text = std::string(1, slot.key != 0 ? slot.key : ' ') + "  " + Padded(slot.port.name, m_portWidth) + "  " +
                       Padded(std::to_string(slot.completed) + " ok " + std::to_string(slot.failed) + " failed", 16) +
                       "  ";
    const auto now = std::chrono::steady_clock::now();
    if (slot.state == SlotState::Running) {
        unsigned sent = 0;
        unsigned total = 0;
        if (ProgressParse(slot.status.c_str(), sent, total)) {
            text += Padded("sending", kStatusWidth) + "  " +
                    ProgressRowText(slot.sent, slot.total, slot.transferStartSent, slot.transferStart, now);
        } else {
            text += slot.status.empty() ? std::string("started") : slot.status;
        }
    } else {
        text += Padded(slot.state == SlotState::Ended
                           ? (slot.message.empty() ? std::string(RunEndName(*slot.end)) : slot.message)
                           : std::string(SlotStateName(slot.state)),
                       kStatusWidth);
        if (slot.console.lastByte != std::chrono::steady_clock::time_point{}) {
            const long long idle =
                std::chrono::duration_cast<std::chrono::seconds>(now - slot.console.lastByte).count();
            std::string last = LastLine(slot.console.bytes);
            if (last.size() > static_cast<std::size_t>(kLastLineWidth)) {
                last.erase(0, last.size() - kLastLineWidth);
            }
            text += "  last byte " + std::to_string(idle) + " s ago: " + last;
        }
    }
    if (!slot.unit.empty()) {
        text += "  unit " + slot.unit;
    }
    return text;
}
