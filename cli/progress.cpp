#include "cli/progress.h"

#include <cstdio>

#include "station/station.h"

namespace {

constexpr int kBarWidth = 20;
// A terminal redraw per block would cost more than the block at full speed.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Rate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1024.0 * 1024.0) {
        std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
    }
    return text;
}

}  // namespace

std::string ProgressRowText(unsigned sent, unsigned total, unsigned startSent, std::chrono::steady_clock::time_point start,
                            std::chrono::steady_clock::time_point now) {
    const double fraction = total == 0 ? 1.0 : static_cast<double>(sent) / total;
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string text(1, '[');
    text.append(static_cast<std::size_t>(filled), '#');
    text.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    text.push_back(']');
    char numbers[128];
    const TransferPace pace = PaceOf(sent, total, startSent, start, now);
    if (pace.bytesPerSecond) {
        const unsigned left = pace.secondsLeft.value_or(0);
        std::snprintf(numbers, sizeof numbers, "  %u / %u bytes  %.1f KiB/s  %u:%02u left", sent, total,
                      *pace.bytesPerSecond / 1024.0, left / 60, left % 60);
    } else {
        std::snprintf(numbers, sizeof numbers, "  %u / %u bytes  --- KiB/s  --:-- left", sent, total);
    }
    return text + numbers;
}

std::string ProgressReport::Update(unsigned sent, unsigned total, Clock::time_point now) {
    if (!m_bStarted || sent < m_startSent) {
        m_bStarted = true;
        m_start = now;
        m_startSent = sent;
        m_lastTenth = -1;
        m_lastDraw = {};
    }
    const bool bLast = sent >= total;

    if (!m_bBar) {
        const int tenth = total == 0 ? 10 : static_cast<int>(static_cast<unsigned long long>(sent) * 10 / total);
        if (tenth == m_lastTenth && !bLast) {
            return {};
        }
        m_lastTenth = tenth;
        return ProgressText(sent, total) + "\n";
    }

    if (!bLast && m_bBarOpen && now - m_lastDraw < kRedrawInterval) {
        return {};
    }
    m_lastDraw = now;
    m_bBarOpen = true;
    return Bar(sent, total, now);
}

void ProgressReport::Close() {
    m_bBarOpen = false;
    m_bStarted = false;
    m_lastWidth = 0;
}

std::string ProgressReport::Bar(unsigned sent, unsigned total, Clock::time_point now) {
    const double fraction = total == 0 ? 1.0 : static_cast<double>(sent) / total;
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');

    const TransferPace pace = PaceOf(sent, total, m_startSent, m_start, now);
    std::string rate = "--- KiB/s";
    std::string left = "--:--";
    if (pace.bytesPerSecond) {
        rate = Rate(*pace.bytesPerSecond);
        const unsigned secondsLeft = pace.secondsLeft.value_or(0);
        char text[16];
        std::snprintf(text, sizeof text, "%u:%02u", secondsLeft / 60, secondsLeft % 60);
        left = text;
    }

    char line[160];
    int width = std::snprintf(line, sizeof line, "\r[%s] %3d%%  %u / %u bytes  %s  %s left", bar.c_str(),
                              static_cast<int>(fraction * 100.0), sent, total, rate.c_str(), left.c_str());
    std::string text(line);
    // A shorter line than the last one must blank the last one's tail.
    if (width < m_lastWidth) {
        text.append(static_cast<std::size_t>(m_lastWidth - width), ' ');
    }
    m_lastWidth = width;
    return text;
}
