// What the command line notes about one download while it runs (when each
// stage began, the blocks acknowledged, the final message) and turns into
// its record and its row of the closing summary.
#pragma once

#include <chrono>
#include <string>

#include "station/download_record.h"
#include "download/download.h"

// The record's name for how a run ended ("completed", "error-31", ...).
const char* RunEndName(RunEnd end);

// Written by the run's worker thread; read once the run has ended.
class RunFacts {
public:
    void Begin();
    void Stage(RunStage stage);
    void Blocks(unsigned blocks) { m_blocks = blocks; }
    // A message the operator does not answer: the run's final one.
    void Message(const char* pText) { m_message = pText; }
    void End(RunEnd end);
    // The boot check after a completion: "verified" or "boot-failed", and
    // the line that decided it or why none did.
    void BootChecked(const char* pResult, std::string text) {
        m_boot = pResult;
        m_bootText = std::move(text);
    }

    RunEnd EndOfRun() const { return m_end; }
    unsigned BlocksAcknowledged() const { return m_blocks; }
    const std::string& FinalMessage() const { return m_message; }
    // From the first sync byte to the end; 0 when the run sent none.
    double Seconds() const;
    // The record of the run; the caller adds what the run does not know
    // (port, image, console).
    DownloadRecord Record() const;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr int kStages = 4;

    std::chrono::system_clock::time_point m_started{}, m_ended{};
    Clock::time_point m_finished{};
    Clock::time_point m_stageStart[kStages]{};
    bool m_bReached[kStages] = {};
    unsigned m_blocks = 0;
    std::string m_message;
    std::string m_boot, m_bootText;
    RunEnd m_end = RunEnd::Cancelled;
};
