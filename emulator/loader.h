// The boot loader's behaviour on the line: power-on banner, autoboot window,
// menu, the XMODEM-1K receiver started by the menu answer "1", and the
// verdict after the image has arrived, with faults that tests switch on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <signal.h>

#include "emulator/line.h"
#include "emulator/power_input.h"
#include "emulator/xmodem_receiver.h"

enum class HangupPoint { None, Sync, Verdict };

struct LoaderOptions {
    int bootDelayMs = 300;
    int autobootMs = 3000;
    int cIntervalMs = 200;
    unsigned burnRepeats = 1;
    bool refuse = false;
    bool refuseAfterBurn = false;
    std::vector<std::uint8_t> expectPrefix;
    std::string savePath;
    unsigned baud = 0;
    // Faults. Block numbers count the blocks of one transfer from 1, so block
    // 257 is the 257th block even though its frame carries the number 1.
    std::set<std::uint64_t> nakBlocks;
    std::set<std::uint64_t> silentBlocks;
    std::set<std::uint64_t> garbageBeforeAckBlocks;
    std::set<std::uint64_t> doubleAckBlocks;
    std::set<std::uint64_t> hangupAfterBlocks;
    HangupPoint hangupAt = HangupPoint::None;
    bool noMenu = false;
    bool noC = false;
    bool noVerdict = false;
    int verdictDelayMs = 0;  // from the end of transmission to the verdict
    std::set<std::uint64_t> lateAckBlocks;
    int ackDelayMs = 4000;   // how late a late ACK comes
    // While an ACK or the verdict is held back, a console line every 100 ms.
    bool chatter = false;
    std::uint64_t spamBytes = 0;
    std::string serial;  // shown above the menu when set
    // Unit identities shown above the menu instead, a new one for each unit
    // that powers on; the last one repeats.
    std::vector<std::string> units;
    // After a completed image: the flash write, then the reboot into the new
    // firmware and what it prints, or one of its faults.
    int flashMs = 1000;
    std::string bootText = "Kelvora STB firmware 2.0 booted";
    bool bootPanic = false;
    bool noBoot = false;
    bool rebootIntoLoader = false;
    bool plain = false;
    unsigned sessions = 1;  // 0: unlimited
    bool verbose = false;
};

enum class Verdict { NoTransfer, Completed, Refused, Cancelled, NoVerdict, Hangup };

const char* VerdictName(Verdict verdict);

struct LoaderSummary {
    unsigned sessions = 0;        // sessions that powered on
    std::uint64_t blocks = 0;     // blocks acknowledged, all sessions
    std::uint64_t bytes = 0;      // bytes read from the line, all sessions
    std::uint64_t crcErrors = 0;  // data frames refused for their CRC
    std::uint64_t syncBytes = 0;  // spaces read outside frames before a transfer
    Verdict verdict = Verdict::NoTransfer;  // of the last session
};

std::string SummaryLine(const LoaderSummary& summary);

class Loader {
public:
    // pPower: the power input, or null for a box powered from the start.
    Loader(Line& line, const LoaderOptions& options, const PowerInput* pPower = nullptr);

    // Runs sessions until the last one ends, the line hangs up, or stop turns
    // true. Signals in the caller's blocked set are let through only while the
    // loop waits (waitMask), so a signal never slips in between the check of
    // stop and the wait.
    void Run(const std::atomic<bool>& stop, const sigset_t& waitMask);

    const LoaderSummary& Summary() const { return m_summary; }

private:
    enum class Phase {
        Unpowered,      // the power input is off: silent, input discarded
        PowerOff,       // boot delay: input discarded
        Autoboot,       // banner printed, a space stops autoboot
        Menu,           // menu printed, waiting for "1"
        AwaitingFrame,  // "1" taken, sending C until a frame begins
        Receiving,      // blocks arriving
        Flashing,       // a completed image is being written: input discarded
        Firmware,       // the new firmware runs: quiet, input discarded
        Ended,          // the session is over; reboot or exit follows
    };

    void Log(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void Say(std::string_view text, Clock::time_point at);
    void Answer(std::uint8_t byte, Clock::time_point at);
    // Queues text to leave delay after at, with the chatter before it.
    void SayLate(std::string_view text, Clock::time_point at, std::chrono::milliseconds delay);

    void PowerOn(Clock::time_point now);
    void BeginSession();
    void PollPower(Clock::time_point now);
    void OnFlashWritten(Clock::time_point now);
    void BootFirmware(Clock::time_point now);
    bool LastSession() const;
    void ExitWhenRead(Clock::time_point quiet);
    std::string MenuOrPrompt() const;
    void OnTimers(Clock::time_point now);
    void OnBytes(const std::vector<std::uint8_t>& bytes, Clock::time_point now);
    void OnConsoleByte(std::uint8_t byte, Clock::time_point at);
    void OnEvents(std::vector<XmodemEvent>& events, Clock::time_point at);
    void OnBlock(XmodemEvent& event, Clock::time_point at);
    void OnEnd(const XmodemEvent& event, Clock::time_point at);
    void EndSession(Verdict verdict, Clock::time_point now);
    void HangUp();
    void SaveImage();
    bool SendingC() const;
    bool AcceptsFrames() const;
    std::optional<Clock::time_point> NextDeadline() const;

    Line& m_line;
    const LoaderOptions& m_options;
    const PowerInput* m_pPower;
    bool m_bPowered = false;
    Clock::time_point m_nextPowerPoll{};
    unsigned m_unitCount = 0;         // units that have powered on
    bool m_bSameUnit = false;         // the next session reboots the same unit
    bool m_bMenuOnKey = false;        // the menu came without a key: a space shows it again
    bool m_bNewFirmware = false;      // this unit's flash holds the new image
    LoaderSummary m_summary;
    Phase m_phase = Phase::PowerOff;
    XmodemReceiver m_receiver;
    std::vector<std::uint8_t> m_image;
    Clock::time_point m_start;
    Clock::time_point m_phaseDeadline;   // power-on, autoboot end, transfer give-up
    Clock::time_point m_lastByteAt;      // for the receiver's silence limits
    std::optional<Clock::time_point> m_nextC;
    bool m_frameBegun = false;           // a 0x02 began a frame this session
    unsigned m_chatterLines = 0;         // chatter lines queued so far
    bool m_finished = false;             // no more sessions: leave the loop
    std::optional<Clock::time_point> m_exitAfter;  // grace before exit
    Clock::time_point m_exitLimit;
};
