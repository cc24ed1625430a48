#include "station/run_facts.h"

const char* RunEndName(RunEnd end) {
    switch (end) {
    case RunEnd::Completed:
        return "completed";
    case RunEnd::ImageRefused:
        return "image-refused";
    case RunEnd::SyncTimeOut:
        return "error-1";
    case RunEnd::StartTimeOut:
        return "error-2";
    case RunEnd::BlockNoAnswer:
        return "error-3";
    case RunEnd::BlockRefused:
        return "error-31";
    case RunEnd::VerdictTimeOut:
        return "error-4";
    case RunEnd::PortGone:
        return "port-lost";
    case RunEnd::NoBuffer:
        return "malloc-error";
    case RunEnd::NotOpened:
        return "image-unreadable";
    case RunEnd::PortNotOpen:
        return "port-not-open";
    case RunEnd::VerdictUnknown:
        return "verdict-unknown";
    case RunEnd::AlreadyFlashed:
        return "already-flashed";
    case RunEnd::PowerFailed:
        return "power-failed";
    case RunEnd::ChooserCancelled:
    case RunEnd::Cancelled:
        break;
    }
    return "cancelled";
}

void RunFacts::Begin() {
    *this = RunFacts{};
    m_started = std::chrono::system_clock::now();
}

void RunFacts::Stage(RunStage stage) {
    const int index = static_cast<int>(stage);
    m_stageStart[index] = Clock::now();
    m_bReached[index] = true;
}

void RunFacts::End(RunEnd end) {
    m_end = end;
    m_finished = Clock::now();
    m_ended = std::chrono::system_clock::now();
}

double RunFacts::Seconds() const {
    // From the first sync byte: the time the operator spent at the prompts
    // is not the box's.
    const int sync = static_cast<int>(RunStage::Sync);
    if (!m_bReached[sync]) {
        return 0.0;
    }
    return std::chrono::duration<double>(m_finished - m_stageStart[sync]).count();
}

DownloadRecord RunFacts::Record() const {
    DownloadRecord record;
    record.end = RunEndName(m_end);
    // A completion whose new firmware did not boot is no success.
    record.ok = m_end == RunEnd::Completed && m_boot != "boot-failed";
    record.boot = m_boot;
    record.bootText = m_bootText;
    record.message = m_message;
    record.blocks = m_blocks;
    record.started = m_started;
    record.ended = m_ended;
    // A stage lasts until the next one reached begins, the last until the end.
    std::optional<double>* seconds[kStages] = {&record.seconds.sync, &record.seconds.start,
                                               &record.seconds.transfer, &record.seconds.verdict};
    for (int i = 0; i < kStages; ++i) {
        if (!m_bReached[i]) {
            continue;
        }
        Clock::time_point until = m_finished;
        for (int next = i + 1; next < kStages; ++next) {
            if (m_bReached[next]) {
                until = m_stageStart[next];
                break;
            }
        }
        *seconds[i] = std::chrono::duration<double>(until - m_stageStart[i]).count();
    }
    return record;
}
