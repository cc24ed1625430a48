#include "cli/station_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/run_support.h"
#include "cli/station_commands.h"

namespace {

// The seconds since a box's last byte change while nothing else does.
constexpr auto kIdleRedrawInterval = std::chrono::seconds(1);
constexpr std::size_t kEventsShown = 5;
constexpr std::size_t kLastLineWidth = 40;

// A row's columns, in the order a narrow terminal keeps them: key, state,
// bar with percent, time left, time since the box's last byte; then port,
// counts, unit and the message, cut to what fits.
constexpr std::size_t kStateWidth = 16;
constexpr int kBarWidth = 16;
constexpr std::size_t kBarColumnWidth = kBarWidth + 2 + 5;  // "[####....] 100%"
constexpr std::size_t kLeftWidth = 10;                       // "12:34 left"
constexpr std::size_t kLastByteWidth = 19;                   // "last byte 999 s ago"
constexpr std::size_t kPortWidthMax = 24;
constexpr std::size_t kCountsWidth = 14;
// The compact form's two columns each need at least this much.
constexpr std::size_t kCompactColumnMin = 60;
constexpr char kColumnGap[] = "   ";

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string Cut(std::string text, std::size_t width) {
    if (text.size() > width) {
        text.resize(width);
    }
    return text;
}

// A port name in its column: a long one keeps its end, which tells ports
// apart (/dev/serial/by-id/...-port0).
std::string PortColumn(const std::string& name, std::size_t width) {
    if (name.size() <= width) {
        return Padded(name, width);
    }
    return "~" + name.substr(name.size() - (width - 1));
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

// How the row names a slot's state: "port lost", "error 31", "already flashed".
std::string StateWords(const char* pName) {
    std::string words = pName;
    std::replace(words.begin(), words.end(), '-', ' ');
    return words;
}

std::string Bar(unsigned sent, unsigned total) {
    const double fraction = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(sent) / total);
    const int filled = static_cast<int>(fraction * kBarWidth);
    char percent[8];
    std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(fraction * 100));
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "]" + percent;
}

}  // namespace

StationView::StationView(Settings settings, OutputQueue& out)
    : m_settings(settings), m_out(out), m_screen({settings.bRedraw, true}, out) {}

StationView::~StationView() {
    Detach();
    Finish();
}

void StationView::Detach() {
    m_feed.Stop();
}

void StationView::Show(const LoggedEvent& event) {
    switch (event.kind) {
    case EventKind::Status:
        StatusChanged(event.slot, event.text);
        break;
    case EventKind::Progress:
        Progress(event.slot, event.sent, event.total);
        break;
    case EventKind::RunEnded:
        RunEnded(event.slot, event.text);
        break;
    case EventKind::Line:
        Event({event.slot, event.text});
        break;
    case EventKind::RecordLost:
        RecordLost(event.text);
        break;
    default:
        break;
    }
}

void StationView::Attach(const Station& station, const ImageFacts& image) {
    {
        std::lock_guard<std::mutex> lock(m_screen.Mutex());
        m_pStation = &station;
        m_image = image;
        m_logs.assign(station.SlotCount(), ProgressReport(false));
        for (unsigned slot = 1; slot <= station.SlotCount(); ++slot) {
            m_portWidth = std::max(m_portWidth, PortOf(slot).size());
        }
        m_portWidth = std::min(m_portWidth, kPortWidthMax);
        if (!m_screen.Redraws()) {
            const Station::Totals totals = station.TotalsNow();
            m_out.Post(Header(totals) + "\n");
        }
    }
    m_feed.Start(station, [this](const LoggedEvent& event) { Show(event); });
    if (!m_screen.Redraws()) {
        return;
    }
    // While boxes run the screen is redrawn every tick, else every second.
    m_screen.Start([this](std::size_t rows, std::size_t columns) { return ScreenLines(rows, columns); },
                   [this] { return m_pStation->RunningCount() > 0 || m_screen.SinceDraw() >= kIdleRedrawInterval; });
}

std::string StationView::PortOf(unsigned slot) const {
    return m_pStation == nullptr ? std::string() : PrintableText(m_pStation->Port(slot).name);
}

void StationView::Line(const std::string& text) {
    m_feed.Pump();
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    m_screen.Above(PrintableText(text) + "\n");
}

void StationView::Complaint(const std::string& text) {
    m_feed.Pump();
    m_screen.ToStderr([&text] { Complain(text); });
}

void StationView::Prompt(const std::string& text) {
    m_feed.Pump();
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    if (text == m_prompt) {
        return;
    }
    m_prompt = text;
    if (!m_screen.Redraws()) {
        if (!text.empty()) {
            m_out.Post(text + "\n");
        }
        return;
    }
    m_screen.Redraw();
}

void StationView::StatusChanged(unsigned slot, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    if (m_screen.Redraws() || m_pStation == nullptr) {
        return;  // the next frame shows it
    }
    m_out.Post(PortOf(slot) + ": " + PrintableText(text) + "\n");
}

void StationView::Progress(unsigned slot, unsigned sent, unsigned total) {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    if (m_screen.Redraws() || m_pStation == nullptr) {
        return;  // the next frame shows it
    }
    // A log: of the transfer only the first block, every tenth and the last.
    const std::string text = m_logs[slot - 1].Update(sent, total, ProgressReport::Clock::now());
    if (!text.empty()) {
        m_out.Post(PortOf(slot) + ": " + text);
    }
}

void StationView::RunEnded(unsigned slot, const std::string& message) {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    if (!m_screen.Redraws() && !message.empty()) {
        m_out.Post(PortOf(slot) + ": " + PrintableText(message) + "\n");
    }
}

void StationView::Event(const StationEvent& event) {
    std::lock_guard<std::mutex> lock(m_screen.Mutex());
    // On screen "slot 3 /dev/ttyUSB2: completed in 24:13"; off a terminal
    // the line starts with the port.
    const std::string port = event.slot == 0 ? std::string("station") : PortOf(event.slot);
    std::vector<std::string> lines{m_screen.Redraws() && event.slot != 0
                                       ? "slot " + std::to_string(event.slot) + " " + port + ": " + PrintableText(event.text)
                                       : PrintableText(event.text)};
    if (m_pStation != nullptr && !m_bTargetSaid) {
        const Station::Totals totals = m_pStation->TotalsNow();
        if (totals.targetReached) {
            m_bTargetSaid = true;
            lines.push_back("target of " + std::to_string(totals.target) + " completed boxes reached");
        }
    }
    if (m_screen.Redraws()) {
        for (std::string& line : lines) {
            m_events.push_back(std::move(line));
        }
        while (m_events.size() > kEventsShown) {
            m_events.pop_front();
        }
        m_screen.Wake();
        return;
    }
    for (const std::string& line : lines) {
        m_out.Post(port + ": " + line + "\n");
    }
}

void StationView::RecordLost(const std::string& lost) {
    m_screen.ToStderr([&lost] { std::fprintf(stderr, "%s\n", lost.c_str()); });
}

void StationView::Finish() {
    m_feed.Pump();
    m_screen.Finish();
}

std::vector<std::string> StationView::ScreenLines(std::size_t rows, std::size_t columns) {
    const Station::Totals totals = m_pStation->TotalsNow();
    const std::string keys = !m_prompt.empty() ? m_prompt
                             : m_settings.bKeys
                                 ? "keys: slot key starts it, Enter starts all ready, s then key stops, q quits"
                                 : "lines: start N | start all | stop N | quit";
    std::vector<std::string> slotRows;
    for (unsigned slot = 1; slot <= m_pStation->SlotCount(); ++slot) {
        slotRows.push_back(Row(m_pStation->Snapshot(slot)));
    }

    std::vector<std::string> lines;
    if (2 + slotRows.size() + 1 + m_events.size() <= rows) {
        lines.push_back(ScreenHeader(totals, columns, ""));
        lines.push_back(keys);
        lines.insert(lines.end(), slotRows.begin(), slotRows.end());
        lines.emplace_back();
        lines.insert(lines.end(), m_events.begin(), m_events.end());
        return lines;
    }

    // Compact: one line per slot, in two columns when they are wide enough;
    // then the keys' line and the events as far as room is left.
    const std::size_t gap = sizeof kColumnGap - 1;
    const std::size_t across = columns >= 2 * kCompactColumnMin + gap ? 2 : 1;
    const std::size_t width = across == 2 ? (columns - gap) / 2 : columns;
    std::size_t down = (slotRows.size() + across - 1) / across;
    const bool bKeysLine = 1 + down + 1 <= rows;
    lines.push_back(ScreenHeader(totals, columns, bKeysLine ? std::string() : m_prompt));
    if (bKeysLine) {
        lines.push_back(keys);
    }
    std::size_t hidden = 0;
    if (lines.size() + down > rows) {
        // Not even that fits: the last line says how many slots are left out.
        down = rows - lines.size() - 1;
        hidden = slotRows.size() - down * across;
    }
    for (std::size_t line = 0; line < down; ++line) {
        std::string text;
        for (std::size_t column = 0; column < across; ++column) {
            const std::size_t index = column * down + line;
            if (index >= slotRows.size()) {
                break;
            }
            text += column == 0 ? Padded(Cut(slotRows[index], width), width)
                                : kColumnGap + Cut(slotRows[index], width);
        }
        lines.push_back(text);
    }
    if (hidden > 0) {
        lines.push_back(std::to_string(hidden) + " more slots: the terminal is too small to show them");
        return lines;
    }
    if (lines.size() + 2 <= rows && !m_events.empty()) {
        lines.emplace_back();
        const std::size_t shown = std::min(m_events.size(), rows - lines.size());
        lines.insert(lines.end(), m_events.end() - static_cast<std::ptrdiff_t>(shown), m_events.end());
    }
    return lines;
}

std::string StationView::Header(const Station::Totals& totals) const {
    return ScreenHeader(totals, 0, "");
}

std::string StationView::ScreenHeader(const Station::Totals& totals, std::size_t columns,
                                      const std::string& prompt) const {
    std::string name = m_image.path;
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    char image[256];
    std::snprintf(image, sizeof image, "  %llu bytes  sha256 %.12s", static_cast<unsigned long long>(m_image.bytes),
                  m_image.sha256.c_str());
    char yield[16] = "-";
    if (totals.yield) {
        std::snprintf(yield, sizeof yield, "%.1f%%", *totals.yield);
    }
    char counts[256];
    std::snprintf(counts, sizeof counts, "  |  completed %u  failed %u  yield %s  %.1f boxes/h  running %u",
                  totals.completed, totals.failed, yield, totals.boxesPerHour.value_or(0.0), totals.running);
    std::string tail = counts;
    if (totals.target > 0) {
        tail += totals.targetReached ? "  target " + std::to_string(totals.target) + " reached"
                                     : "  target " + std::to_string(totals.target) + ": " +
                                           std::to_string(totals.targetLeft) + " left";
    }
    if (totals.storeWaiting > 0) {
        tail += "  rows waiting " + std::to_string(totals.storeWaiting);
    }
    if (!prompt.empty()) {
        return prompt + tail;  // for as long as a key waits, the prompt goes first
    }
    std::string head = PrintableText(name) + image;
    // On a narrow terminal the image's part gives way to the totals.
    if (columns > 0 && head.size() + tail.size() > columns) {
        head.resize(columns > tail.size() ? columns - tail.size() : 0);
    }
    return head + tail;
}

std::string StationView::Row(const SlotSnapshot& slot) const {
    const auto now = std::chrono::steady_clock::now();
    std::string state;
    std::string bar;
    std::string left;
    std::string message;
    if (slot.phase == SlotPhase::Sending) {
        state = "sending";
        bar = Bar(slot.sent, slot.total);
        if (slot.pace.bytesPerSecond) {
            const unsigned secondsLeft = slot.pace.secondsLeft.value_or(0);
            char text[64];
            std::snprintf(text, sizeof text, "%u:%02u left", secondsLeft / 60, secondsLeft % 60);
            left = text;
            std::snprintf(text, sizeof text, "%u / %u bytes  %.1f KiB/s", slot.sent, slot.total,
                          *slot.pace.bytesPerSecond / 1024.0);
            message = text;
        } else {
            left = "--:-- left";
            message = std::to_string(slot.sent) + " / " + std::to_string(slot.total) + " bytes";
        }
    } else if (slot.state == SlotState::Running) {
        state = slot.status.empty() ? std::string("started") : PrintableText(slot.status);
    } else if (slot.state == SlotState::Ended && slot.end) {
        state = StateWords(slot.boot ? BootResultName(*slot.boot) : RunEndName(*slot.end));
        message = PrintableText(slot.message);
    } else {
        state = StateWords(SlotStateName(slot.state));
    }

    std::string lastByte;
    if (slot.console.lastByte != std::chrono::steady_clock::time_point{}) {
        const long long idle =
            std::chrono::duration_cast<std::chrono::seconds>(now - slot.console.lastByte).count();
        lastByte = "last byte " + std::to_string(idle) + " s ago";
        if (state != "sending") {
            std::string last = LastLine(slot.console.bytes);
            if (last.size() > kLastLineWidth) {
                last.erase(0, last.size() - kLastLineWidth);
            }
            if (!last.empty()) {
                message += (message.empty() ? "box: " : "  box: ") + last;
            }
        }
    }
    if (!slot.unit.empty()) {
        message = "unit " + PrintableText(slot.unit) + (message.empty() ? "" : "  ") + message;
    }
    if (slot.state != SlotState::Running && slot.wait != SlotWait::Nothing) {
        message = SlotWaitText(slot.wait) + std::string(message.empty() ? "" : "  ") + message;
    }

    // A status text without a bar may run on into the bar's column.
    std::string text = std::string(1, slot.key != 0 ? slot.key : ' ') + "  ";
    text += bar.empty() ? Padded(state, kStateWidth + 2 + kBarColumnWidth)
                        : Padded(state, kStateWidth) + "  " + Padded(bar, kBarColumnWidth);
    text += "  " + Padded(left, kLeftWidth) + "  " + Padded(lastByte, kLastByteWidth) + "  " +
            PortColumn(PortOf(slot.number), m_portWidth) + "  " +
            Padded(std::to_string(slot.completed) + " ok " + std::to_string(slot.failed) + " failed", kCountsWidth) +
            "  " + message;
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}
