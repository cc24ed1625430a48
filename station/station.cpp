#include "station/station.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "download/download.h"
#include "station/command.h"

namespace {

// How often the keeper looks at the idle ports: every 2 s, its wait cut
// into short turns so that the station's end is not held up.
constexpr auto kKeeperTick = std::chrono::milliseconds(100);
constexpr unsigned kPortCheckTicks = 20;

// What a slot shows while its boot check waits, and how often it looks at
// a stop meanwhile.
constexpr char kBootWaitStatus[] = "Waiting for the new firmware to boot";
constexpr unsigned kBootPollMs = 50;
// What a powered slot shows while its completed box writes its flash.
constexpr char kFlashWaitStatus[] = "Waiting for the box to write its flash";
// How often a lid line is looked at where the driver cannot wait for it.
constexpr unsigned kLidPollMs = 50;
// A lid switch bounces as it closes and opens: a change counts once the line
// has held its new state this long, so that a bounce neither stops the run it
// started nor starts a second one.
constexpr unsigned kLidSettleMs = 20;
// How often an armed slot looks for a box's first bytes.
constexpr unsigned kArmedPollMs = 100;

bool AsksForAction(const char* pText) {
    return std::strcmp(pText, kMsgPowerOff) == 0 || std::strcmp(pText, kMsgRestart) == 0;
}

// "m:ss", or "h:mm:ss" from an hour on.
std::string Duration(double seconds) {
    const unsigned total = static_cast<unsigned>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%u:%02u:%02u", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%u:%02u", total / 60, total % 60);
    }
    return text;
}

}  // namespace

std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            if (!line.empty() && line.back() != ' ') {
                line.push_back(' ');
            }
        } else {
            line.push_back(c);
        }
    }
    return line;
}

const char* SlotPhaseName(SlotPhase phase) {
    switch (phase) {
    case SlotPhase::Ready:
        return "ready";
    case SlotPhase::Catching:
        return "catching";
    case SlotPhase::Sending:
        return "sending";
    case SlotPhase::Checking:
        return "checking";
    case SlotPhase::Burning:
        return "burning";
    case SlotPhase::Booting:
        return "booting";
    case SlotPhase::Completed:
        return "completed";
    case SlotPhase::Verified:
        return "verified";
    case SlotPhase::BootFailed:
        return "boot-failed";
    case SlotPhase::Cancelled:
        return "cancelled";
    case SlotPhase::AlreadyFlashed:
        return "already-flashed";
    case SlotPhase::Failed:
        return "failed";
    case SlotPhase::PortLost:
        break;
    }
    return "port-lost";
}

const char* SlotWaitText(SlotWait wait) {
    switch (wait) {
    case SlotWait::Lid:
        return "waiting for the lid";
    case SlotWait::RemoveBox:
        return "remove the box";
    case SlotWait::Armed:
        return "armed";
    case SlotWait::Nothing:
        break;
    }
    return "";
}

const char* BootResultName(BootResult result) {
    return result == BootResult::Verified ? "verified" : "boot-failed";
}

bool RunSucceeded(const SlotSnapshot& slot) {
    return slot.end == RunEnd::Completed && slot.boot != BootResult::BootFailed;
}

TransferPace PaceOf(unsigned sent, unsigned total, unsigned startSent, std::chrono::steady_clock::time_point start,
                    std::chrono::steady_clock::time_point now) {
    TransferPace pace;
    const double seconds = std::chrono::duration<double>(now - start).count();
    if (seconds < kRateSettleSeconds || sent <= startSent) {
        return pace;
    }
    const double rate = (sent - startSent) / seconds;
    pace.bytesPerSecond = rate;
    pace.secondsLeft = static_cast<unsigned>(std::lround((total > sent ? total - sent : 0) / rate));
    return pace;
}

const char* EventKindName(EventKind kind) {
    switch (kind) {
    case EventKind::Phase:
        return "phase";
    case EventKind::Status:
        return "status";
    case EventKind::Progress:
        return "progress";
    case EventKind::Message:
        return "message";
    case EventKind::Boot:
        return "boot";
    case EventKind::RunStarted:
        return "run-started";
    case EventKind::RunEnded:
        return "run-ended";
    case EventKind::Line:
        return "line";
    case EventKind::RecordWritten:
        return "record-written";
    case EventKind::RecordLost:
        return "record-lost";
    case EventKind::Refused:
        return "refused";
    case EventKind::Quit:
        break;
    }
    return "quit";
}

const char* SlotStateName(SlotState state) {
    switch (state) {
    case SlotState::Ready:
        return "ready";
    case SlotState::Running:
        return "running";
    case SlotState::Ended:
        return "ended";
    case SlotState::PortLost:
        break;
    }
    return "port-lost";
}

// One port of the station: its link, its runs one after the other, and
// what it shows. The slot is the download worker's front end for its runs.
class Station::Slot : public FrontEnd {
public:
    Slot(Station& station, unsigned number, std::string port)
        : m_station(station),
          m_unitLines(station.m_settings.unitPattern ? &*station.m_settings.unitPattern : nullptr) {
        m_shown.number = number;
        m_shown.key = SlotKey(number);
        m_shown.port = RunPortOf(port);
    }
    ~Slot() override {
        StopLidWatch();
        if (m_worker.joinable()) {
            m_worker.join();
        }
        link.Close();
    }

    // Switches the box's supply; false with what went wrong, for a message.
    bool PowerSet(bool bOn, std::string& failure) {
        const PowerControl& power = *m_station.m_settings.power;
        if (power.line != 0) {
            std::string reason;
            if (link.SetModemLine(power.line, bOn != power.bInverted, &reason)) {
                return true;
            }
            failure = std::string("cannot switch the power ") + (bOn ? "on" : "off") + ": " + reason;
            return false;
        }
        const std::vector<std::string> argv = CommandFill(
            power.command, {{"port", m_shown.port.name}, {"slot", std::to_string(m_shown.number)}, {"state", bOn ? "on" : "off"}});
        std::string reason;
        if (CommandRun(argv, "", kPowerCommandLimit, reason)) {
            return true;
        }
        failure = "power command '" + CommandShown(argv) + "' failed: " + reason;
        return false;
    }

    // Set-up of a slot with power control or a lid: the port has modem
    // lines, the box is off, the lid is watched. "" or the problem.
    std::string SetUpFixture() {
        const StationSettings& settings = m_station.m_settings;
        const std::string port = m_shown.port.Shown();
        unsigned lines = 0;
        std::string reason;
        if (((settings.power && settings.power->line != 0) || settings.startLine != 0) &&
            !link.ModemLines(lines, &reason)) {
            return "port " + port + " has no modem lines (" + reason + "): --power and --start-on need them";
        }
        if (settings.power && !PowerSet(false, reason)) {
            return "port " + port + ": " + reason;
        }
        if (settings.startLine != 0) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                // A lid already closed at the start: it must open and close
                // again, so that no box in it is flashed unawares.
                m_bLidOpen = (lines & settings.startLine) == 0;
                m_shown.wait = m_bLidOpen ? SlotWait::Lid : SlotWait::RemoveBox;
            }
        }
        return {};
    }
    void StartLidWatch() {
        if (m_station.m_settings.startLine != 0 && link.IsOpen()) {
            m_lidWatch = std::thread(&Slot::WatchLid, this);
        } else if (m_station.m_settings.bAutoStart && link.IsOpen()) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_shown.wait = SlotWait::RemoveBox;  // armed once the port is quiet
            }
            m_lidWatch = std::thread(&Slot::WatchArmed, this);
        }
    }
    void StopLidWatch() {
        m_bLidEnd.store(true, std::memory_order_release);
        link.StopModemWait();
        if (m_lidWatch.joinable()) {
            m_lidWatch.join();
        }
    }

    SerialLink link;
    // The open port's handle: written by Open while no run is under way,
    // read by the slot's run.
    PortHandle m_hComm = kInvalidPort;

    const RunPort& Port() const { return m_shown.port; }

    bool Open(std::string& reason) {
        link.Close();
        if (link.Open(m_shown.port.name.c_str(), &m_hComm) != 0) {
            reason = link.LastOpenError();
            return false;
        }
        link.KeepConsoleTail(m_station.m_settings.consoleTail);
        if (!m_station.m_settings.record.empty() || m_station.m_settings.pStore) {
            link.CaptureConsole(kRecordConsoleLimit);
        }
        return true;
    }

    // Marks the slot running unless it is; the caller then calls Launch.
    bool Claim() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shown.state == SlotState::Running) {
            return false;
        }
        m_shown.state = SlotState::Running;
        SetPhase(SlotPhase::Catching);
        return true;
    }
    void Unclaim() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ShowIdle();
    }
    // Idle: is the port still there? A line lost while idle is closed, so
    // that a start opens the port afresh; a lost port the system has again
    // shows ready (looked for without opening it: another program may be
    // about to). Holds the open lock, so no start opens meanwhile.
    // Gives the event to tell when the port went or came back.
    std::optional<StationEvent> CheckIdlePort() {
        std::unique_lock<std::mutex> open(m_openMutex, std::try_to_lock);
        if (!open.owns_lock() || Running()) {
            return std::nullopt;
        }
        bool bLost = false;
        if (link.IsOpen()) {
            if (link.LineLost()) {
                link.Close();
                bLost = true;
            }
        } else {
            bLost = !PortPresent(m_shown.port.name.c_str());
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shown.state == SlotState::Running || bLost == m_bPortLost) {
            return std::nullopt;
        }
        m_bPortLost = bLost;
        ShowIdle();
        return StationEvent{m_shown.number, bLost ? "port lost" : "port back"};
    }
    bool NeedsOpen() const { return !link.IsOpen() || link.LineLost(); }

    void Launch(unsigned run) {
        // An armed slot's watch takes no byte from here on.
        std::lock_guard<std::mutex> ring(m_idleRingMutex);
        // The previous run's thread has said its last word (the slot was not
        // running); it may still be leaving.
        if (m_worker.joinable()) {
            m_worker.join();
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop.store(false, std::memory_order_release);
            m_bPortLost = false;
            m_bRunCounted = false;
            m_shown.run = run;
            m_shown.status.clear();
            m_shown.sent = m_shown.total = 0;
            m_shown.end.reset();
            m_shown.message.clear();
            m_shown.blocks = 0;
            m_shown.seconds = 0;
            m_shown.unit.clear();
            m_shown.boot.reset();
            m_shown.bootText.clear();
            m_shown.wait = SlotWait::Nothing;
        }
        m_bPowerFailed.store(false, std::memory_order_release);
        LoggedEvent started;
        started.kind = EventKind::RunStarted;
        started.slot = m_shown.number;
        started.run = run;
        m_station.Log(std::move(started));
        m_unitLines.Reset();
        m_bBeforeTransfer = true;
        m_repeatOf = 0;
        m_storeRepeat.clear();
        m_bRefused.store(false, std::memory_order_release);
        m_worker = std::thread(&Slot::RunBody, this);
    }

    bool RequestStop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shown.state != SlotState::Running) {
            return false;
        }
        m_bStop.store(true, std::memory_order_release);
        return true;
    }

    bool Running() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_shown.state == SlotState::Running;
    }

    SlotSnapshot Shown() const {
        SlotSnapshot shown;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            shown = m_shown;
            shown.counters = m_counted;
            if (shown.run != 0 && !m_bRunCounted) {
                shown.counters.bytesSent += shown.sent;
            }
        }
        shown.console = link.ConsoleTailNow();
        if (shown.phase == SlotPhase::Sending) {
            shown.pace = PaceOf(shown.sent, shown.total, shown.transferStartSent, shown.transferStart,
                                std::chrono::steady_clock::now());
        }
        return shown;
    }

    // The download worker's front end.
    bool PortOpen() override { return true; }
    PortHandle PortHandleNow() override { return m_hComm; }
    SerialLink& Link() override { return link; }
    std::shared_ptr<const LoadedImage> SharedImage() override { return m_station.m_settings.pImage; }
    void ShowMessage(const char* pText) override {
        if (!AsksForAction(pText)) {
            m_facts.Message(pText);
            LoggedEvent message;
            message.kind = EventKind::Message;
            message.slot = m_shown.number;
            message.text = pText;
            m_station.Log(std::move(message));
            return;
        }
        if (m_station.m_settings.power) {
            PowerPrompt(std::strcmp(pText, kMsgRestart) == 0);
        } else if (m_station.m_settings.prompt) {
            m_station.PromptArrive(pText);
        } else if (std::strcmp(pText, kMsgRestart) == 0) {
            // The start stood for the operator's answer; the slot shows
            // what the box needs now.
            SetStatus(pText);
        }
    }
    void SetStatus(const char* pText) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_shown.status = pText;
        }
        LoggedEvent status;
        status.kind = EventKind::Status;
        status.slot = m_shown.number;
        status.text = pText;
        m_station.Log(std::move(status));
    }
    void BytesSent(unsigned sent, unsigned total) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto now = std::chrono::steady_clock::now();
            const bool bFirst = m_shown.phase != SlotPhase::Sending || sent < m_shown.sent;
            if (bFirst) {
                m_shown.transferStart = now;
                m_shown.transferStartSent = sent;
            }
            SetPhase(SlotPhase::Sending);
            m_shown.status = ProgressText(sent, total);
            m_shown.sent = sent;
            m_shown.total = total;
            // A block is a kilobyte: the log tells the transfer's pace and
            // each tenth of it (what a log of lines shows), not every block.
            const unsigned tenth = total == 0 ? 10 : static_cast<unsigned>(static_cast<unsigned long long>(sent) * 10 / total);
            if (bFirst || tenth != m_progressTenth || sent == total || now - m_progressLogged >= kProgressEventInterval) {
                m_progressLogged = now;
                m_progressTenth = tenth;
                LoggedEvent progress;
                progress.kind = EventKind::Progress;
                progress.slot = m_shown.number;
                progress.sent = sent;
                progress.total = total;
                m_station.Log(std::move(progress));
            }
        }
    }
    void Burning() override { ShowPhase(SlotPhase::Burning); }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void EnableDownload(bool) override {}
    bool ChooseImage(std::string& path) override {
        // A cancel at the power-off prompt ends the run here.
        if (CancelRequested()) {
            return false;
        }
        path = m_station.m_settings.image.path;
        return true;
    }
    bool CancelRequested() override {
        return m_bStop.load(std::memory_order_acquire) || m_bRefused.load(std::memory_order_acquire) ||
               m_bPowerFailed.load(std::memory_order_acquire) ||
               (m_station.m_settings.cancelAll && m_station.m_settings.cancelAll());
    }
    void StageBegins(RunStage stage) override {
        m_facts.Stage(stage);
        if (stage == RunStage::Transfer) {
            m_bBeforeTransfer = false;
        }
        if (stage == RunStage::Verdict) {
            ShowPhase(SlotPhase::Checking);
        }
    }
    // The identity is looked for line by line as the box talks, on this
    // run's thread and under no lock: a box already flashed this session is
    // refused while nothing of the image has gone out.
    void ConsoleByte(unsigned char byte) override {
        if (!m_unitLines.Feed(byte)) {
            return;
        }
        const std::string& unit = m_unitLines.Unit();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_shown.unit = unit;
        }
        if (!m_bBeforeTransfer) {
            return;
        }
        m_repeatOf = m_station.RunThatFlashed(unit);
        if (m_repeatOf == 0 && !m_station.m_settings.bReflash) {
            m_storeRepeat = m_station.StoreThatFlashed(m_shown.number, unit);
        }
        if ((m_repeatOf != 0 || !m_storeRepeat.empty()) && !m_station.m_settings.bReflash) {
            m_bRefused.store(true, std::memory_order_release);
        }
    }
    void BlockAcknowledged(unsigned blocks) override {
        m_facts.Blocks(blocks);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shown.blocks = blocks;
    }

private:
    friend class Station;

    void RunBody() {
        link.TakeConsole();  // what came before this run is not its record's
        m_facts.Begin();
        RunEnd end = RunEnd::Cancelled;
        if (TryBeginRun()) {
            end = DownloadRun(*this);
        }
        m_unitLines.Finish();
        const std::string unit = m_unitLines.Unit();
        const bool bCancelled = end == RunEnd::Cancelled || end == RunEnd::ChooserCancelled;
        if (bCancelled && m_bRefused.load(std::memory_order_acquire)) {
            end = RunEnd::AlreadyFlashed;
            const std::string where = m_repeatOf != 0 ? "in run " + std::to_string(m_repeatOf) : m_storeRepeat;
            m_facts.Message(("unit " + unit + " already flashed " + where + ": not flashed again").c_str());
        } else if (bCancelled && m_bPowerFailed.load(std::memory_order_acquire)) {
            end = RunEnd::PowerFailed;
            m_facts.Message(m_powerFailure.c_str());
        }
        m_facts.End(end);
        // The run's times end with the loader's verdict; the boot check
        // comes after them.
        if (end == RunEnd::Completed && m_station.m_settings.bootCheck) {
            CheckBoot(*m_station.m_settings.bootCheck);
            m_facts.BootChecked(BootResultName(*m_shown.boot), m_shown.bootText);
        }
        if (m_station.m_settings.power) {
            PowerOffWhenDone(end == RunEnd::Completed && !m_station.m_settings.bootCheck);
        }
        m_console = link.TakeConsole();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_shown.end = end;
            m_shown.message = OneLine(m_facts.FinalMessage());
            m_shown.blocks = m_facts.BlocksAcknowledged();
            m_shown.seconds = m_facts.Seconds();
            m_shown.unit = unit;
            if (RunSucceeded(m_shown)) {
                ++m_shown.completed;
            } else if (end != RunEnd::AlreadyFlashed) {
                ++m_shown.failed;
            }
            SlotCounters& counters = m_counted;
            ++counters.ends[end];
            if (m_shown.boot) {
                ++counters.boots[*m_shown.boot];
            }
            counters.bytesSent += m_shown.sent;
            if (m_shown.seconds > 0) {
                for (std::size_t i = 0; i < kRunSecondsBounds.size(); ++i) {
                    counters.timedWithin[i] += m_shown.seconds <= kRunSecondsBounds[i] ? 1 : 0;
                }
                ++counters.timed;
                counters.secondsSum += m_shown.seconds;
            }
            m_bRunCounted = true;
            m_bPortLost = end == RunEnd::PortGone;
            // The end's phase with its message, in one snapshot: nobody sees
            // the message of an end under the phase of a transfer.
            SetPhase(EndPhase());
        }
        Ending ending = m_station.RunEnded(*this);
        // A lost line is closed now: the next start opens the port afresh,
        // by its name, so a re-plugged adapter is found again.
        if (m_bPortLost) {
            link.Close();
        }
        // Ready before the record is written: a line controller that starts
        // the slot as soon as it reads the record is not refused.
        Unclaim();
        m_station.Finish(std::move(ending));
    }

    // After a completion: reads the box line by line until the new
    // firmware's text, its failure text, the time limit, a stop or the
    // line's loss decides.
    void CheckBoot(const BootCheck& check) {
        ShowPhase(SlotPhase::Booting);
        SetStatus(kBootWaitStatus);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(check.withinSeconds);
        ConsoleLines lines;
        std::optional<BootResult> result;
        std::string text;
        const auto look = [&](const std::string& line) {
            if (check.fail && check.fail->Matches(line)) {
                result = BootResult::BootFailed;
            } else if (check.expect.Matches(line)) {
                result = BootResult::Verified;
            } else {
                return;
            }
            text = line;
        };
        while (!result) {
            if (CancelRequested()) {
                result = BootResult::BootFailed;
                text = "stopped before the box booted";
            } else if (link.LineLost() || !link.IsOpen()) {
                result = BootResult::BootFailed;
                text = "the line was lost before the box booted";
            } else if (std::chrono::steady_clock::now() >= deadline) {
                if (lines.Finish()) {
                    look(lines.Take());
                }
                if (!result) {
                    result = BootResult::BootFailed;
                    text = "no boot text within " + std::to_string(check.withinSeconds) + " s";
                }
            } else if (link.Ring().Wait(kBootPollMs) != 0) {
                unsigned char byte = 0;
                while (!result && link.Ring().GetByte(&byte) != 0) {
                    if (lines.Feed(byte)) {
                        look(lines.Take());
                    }
                }
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_shown.boot = result;
            m_shown.bootText = text;
        }
        LoggedEvent said;
        said.kind = EventKind::Boot;
        said.slot = m_shown.number;
        said.text = std::string(*result == BootResult::Verified ? "Boot check: verified: " : "Boot check failed: ") + text;
        m_station.Log(std::move(said));
    }

    // At the power-off and restart prompts of a run with power control:
    // what the operator did, done by the slot.
    void PowerPrompt(bool bOn) {
        if (m_bPowerFailed.load(std::memory_order_acquire)) {
            return;
        }
        std::string failure;
        if (!PowerSet(bOn, failure)) {
            m_powerFailure = failure;
            m_bPowerFailed.store(true, std::memory_order_release);
            return;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(m_station.m_settings.power->offSeconds);
        while (!bOn && !CancelRequested() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kBootPollMs));
        }
    }

    // After a run with power control: a completed box writes its flash and
    // reboots with the power on (until it has been silent a while, when no
    // boot check followed it); then, and at once after any other end, the
    // slot switches it off.
    void PowerOffWhenDone(bool bWaitForSilence) {
        const PowerControl& power = *m_station.m_settings.power;
        if (bWaitForSilence) {
            SetStatus(kFlashWaitStatus);
            const auto start = std::chrono::steady_clock::now();
            auto lastByte = start;
            for (auto now = start; !CancelRequested() && link.IsOpen() && !link.LineLost() &&
                                   now - start < std::chrono::seconds(power.doneWithinSeconds) &&
                                   now - lastByte < std::chrono::seconds(power.goneAfterSeconds);
                 now = std::chrono::steady_clock::now()) {
                if (link.Ring().Wait(kBootPollMs) != 0) {
                    unsigned char byte = 0;
                    while (link.Ring().GetByte(&byte) != 0) {
                    }
                    lastByte = std::chrono::steady_clock::now();
                }
            }
        }
        std::string failure;
        if (!PowerSet(false, failure)) {
            LoggedEvent said;
            said.kind = EventKind::Message;
            said.slot = m_shown.number;
            said.text = failure;
            m_station.Log(std::move(said));
        }
    }

    // The lid's line, on the driver's wait for its edges or every
    // kLidPollMs where the driver has none: a rise after a drop starts a
    // ready slot, a drop stops a run (the box is gone). A change counts once
    // it has settled (kLidSettleMs); the line is looked at again before the
    // next wait, since a wait only sees changes after it began.
    void WatchLid() {
        const unsigned line = m_station.m_settings.startLine;
        bool bPoll = false;
        while (!m_bLidEnd.load(std::memory_order_acquire)) {
            unsigned lines = 0;
            if (link.ModemLines(lines) && LidChanged((lines & line) != 0)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kLidSettleMs));
                unsigned settled = 0;
                if (link.ModemLines(settled) && (settled & line) == (lines & line)) {
                    LidSeen((lines & line) != 0);
                }
                continue;
            }
            ModemWait waited = ModemWait::Refused;
            if (!bPoll) {
                waited = link.WaitModemChange(line);
                bPoll = waited == ModemWait::Refused;
            }
            if (waited == ModemWait::Stopped) {
                return;
            }
            if (waited != ModemWait::Changed) {
                // Polling, or the port is closed (lost): look again soon.
                std::this_thread::sleep_for(std::chrono::milliseconds(waited == ModemWait::Failed ? 200 : kLidPollMs));
            }
        }
    }
    // An armed slot's port, looked at every kArmedPollMs while no run
    // reads it: the first bytes a box sends start a run; after a run the
    // slot arms again once the port has been quiet a while.
    void WatchArmed() {
        const auto quiet = std::chrono::seconds(m_station.m_settings.autoQuietSeconds);
        auto lastByte = std::chrono::steady_clock::now();
        while (!m_bLidEnd.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kArmedPollMs));
            bool bStart = false;
            bool bArmed = false;
            {
                std::lock_guard<std::mutex> ring(m_idleRingMutex);
                const auto now = std::chrono::steady_clock::now();
                if (Running()) {
                    lastByte = now;  // the quiet time counts from the run's end
                    continue;
                }
                bool bBytes = false;
                unsigned char byte = 0;
                while (link.Ring().GetByte(&byte) != 0) {
                    bBytes = true;
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_shown.state == SlotState::Running) {
                    continue;
                }
                if (m_shown.wait == SlotWait::Armed) {
                    bStart = bBytes;
                } else if (bBytes) {
                    lastByte = now;
                } else if (now - lastByte >= quiet) {
                    m_shown.wait = SlotWait::Armed;
                    bArmed = true;
                }
            }
            if (bArmed) {
                m_station.Tell({m_shown.number, "armed"});
            }
            if (bStart) {
                m_station.Start(m_shown.number);
            }
        }
    }

    bool LidChanged(bool bClosed) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return bClosed == m_bLidOpen;
    }
    void LidSeen(bool bClosed) {
        bool bStart = false;
        bool bStop = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (bClosed == !m_bLidOpen) {
                return;
            }
            m_bLidOpen = !bClosed;
            if (m_shown.state == SlotState::Running) {
                bStop = !bClosed;
            } else if (!bClosed) {
                m_shown.wait = SlotWait::Lid;
            } else {
                bStart = m_shown.wait == SlotWait::Lid;
            }
        }
        if (bStop) {
            m_station.Tell({m_shown.number, "lid opened: the run is stopped"});
            RequestStop();
        } else if (bStart) {
            m_station.Start(m_shown.number);
        } else {
            m_station.Tell({m_shown.number, bClosed ? "lid closed" : "lid opened"});
        }
    }

    SlotState IdleState() const {
        return m_bPortLost ? SlotState::PortLost : m_shown.run == 0 ? SlotState::Ready : SlotState::Ended;
    }
    // The state and phase of a slot without a run; under m_mutex.
    void ShowIdle() {
        m_shown.state = IdleState();
        const StationSettings& settings = m_station.m_settings;
        if (m_shown.run != 0 && (settings.power || settings.startLine != 0 || settings.bAutoStart)) {
            m_shown.wait = settings.startLine != 0 && m_bLidOpen ? SlotWait::Lid : SlotWait::RemoveBox;
        }
        switch (m_shown.state) {
        case SlotState::PortLost:
            SetPhase(SlotPhase::PortLost);
            return;
        case SlotState::Ready:
            SetPhase(SlotPhase::Ready);
            return;
        default:
            break;
        }
        SetPhase(EndPhase());
    }
    // The phase of the latest run's end; under m_mutex.
    SlotPhase EndPhase() const {
        switch (m_shown.end.value_or(RunEnd::Cancelled)) {
        case RunEnd::Completed:
            return !m_shown.boot                              ? SlotPhase::Completed
                   : *m_shown.boot == BootResult::Verified ? SlotPhase::Verified
                                                           : SlotPhase::BootFailed;
        case RunEnd::Cancelled:
        case RunEnd::ChooserCancelled:
            return SlotPhase::Cancelled;
        case RunEnd::AlreadyFlashed:
            return SlotPhase::AlreadyFlashed;
        default:
            return SlotPhase::Failed;
        }
    }
    void ShowPhase(SlotPhase phase) {
        std::lock_guard<std::mutex> lock(m_mutex);
        SetPhase(phase);
    }
    // Under m_mutex: a change of phase is logged.
    void SetPhase(SlotPhase phase) {
        if (m_shown.phase == phase) {
            return;
        }
        m_shown.phase = phase;
        LoggedEvent changed;
        changed.kind = EventKind::Phase;
        changed.slot = m_shown.number;
        changed.phase = phase;
        changed.run = m_shown.run;
        m_station.Log(std::move(changed));
    }

    Station& m_station;
    std::thread m_worker;       // the latest run's; joined by the next start and at the end
    RunFacts m_facts;           // written by the run's thread
    std::string m_console;      // the run's console text, for its record
    std::atomic<bool> m_bStop{false};  // written by Stop, read by the run's polls
    // Written by the run's thread only.
    UnitLines m_unitLines;
    bool m_bBeforeTransfer = true;
    unsigned m_repeatOf = 0;                // the run that flashed this unit before
    std::string m_storeRepeat;              // where the store says it was, when not this session
    std::atomic<bool> m_bRefused{false};    // the unit is already flashed: the run ends
    std::atomic<bool> m_bPowerFailed{false};  // the power switch failed: the run ends
    std::string m_powerFailure;               // why; written before the flag
    std::thread m_lidWatch;  // the lid's or the armed slot's watch
    std::atomic<bool> m_bLidEnd{false};
    // Held by the armed slot's watch while it takes bytes, and by a start:
    // one reader of the ring at a time.
    std::mutex m_idleRingMutex;
    std::mutex m_openMutex;  // held while the port is opened, or checked while idle

    mutable std::mutex m_mutex;  // guards what follows
    SlotSnapshot m_shown;
    bool m_bPortLost = false;
    bool m_bLidOpen = true;  // the lid's line as last seen dropped (or never seen)
    std::chrono::steady_clock::time_point m_progressLogged{};
    unsigned m_progressTenth = 0;  // of the transfer's latest progress event
    SlotCounters m_counted;     // of the ended runs
    bool m_bRunCounted = false;  // the latest run has ended and is counted

};

Station::Station(StationSettings settings)
    : m_settings(std::move(settings)), m_began(std::chrono::steady_clock::now()) {
    m_writer = std::thread(&Station::WriteRecords, this);
    m_keeper = std::thread(&Station::KeepWatch, this);
    if (!m_settings.onEnd.empty()) {
        m_onEndRunner = std::thread(&Station::RunOnEnds, this);
    }
}

Station::~Station() {
    for (const auto& slot : m_slots) {
        slot->StopLidWatch();
    }
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        m_bEnd = true;
    }
    m_writeCond.notify_all();
    m_keeper.join();
    for (const auto& slot : m_slots) {
        if (slot->m_worker.joinable()) {
            slot->m_worker.join();
        }
    }
    m_writer.join();  // after every record handed to it is written
    if (m_onEndRunner.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_onEndMutex);
            m_bOnEndStop = true;
        }
        m_onEndCond.notify_all();
        m_onEndRunner.join();  // after every record's command has run
    }
    m_slots.clear();  // each slot closes its port
}

char Station::SlotKey(unsigned number) {
    if (number >= 1 && number <= 9) {
        return static_cast<char>('0' + number);
    }
    // Then the letters; q and s are the keys that quit and stop.
    unsigned index = 9;
    for (char key = 'a'; key <= 'z'; ++key) {
        if (key != 'q' && key != 's' && ++index == number) {
            return key;
        }
    }
    return 0;
}

unsigned Station::SlotOfKey(char key) const {
    for (const auto& slot : m_slots) {
        if (slot->m_shown.key == key) {
            return slot->m_shown.number;
        }
    }
    return 0;
}

std::vector<std::string> Station::SetUpFixtures() {
    std::vector<std::string> problems;
    if (!m_settings.power && m_settings.startLine == 0 && !m_settings.bAutoStart) {
        return problems;
    }
    for (const auto& slot : m_slots) {
        if (!slot->link.IsOpen()) {
            continue;  // its open failed: that is said already
        }
        const std::string problem = slot->SetUpFixture();
        if (!problem.empty()) {
            problems.push_back(problem);
        }
    }
    // A lid may start its slot at once: only once every slot is set up.
    if (problems.empty()) {
        for (const auto& slot : m_slots) {
            slot->StartLidWatch();
        }
    }
    return problems;
}

bool Station::AddSlot(const std::string& port, std::string& reason) {
    Slot* pSlot = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_slotsMutex);
        m_slots.push_back(std::make_unique<Slot>(*this, static_cast<unsigned>(m_slots.size() + 1), port));
        pSlot = m_slots.back().get();
    }
    std::lock_guard<std::mutex> open(pSlot->m_openMutex);
    return pSlot->Open(reason);
}

Station::StartResult Station::Start(unsigned number, std::string* pReason, unsigned* pRun) {
    return StartSlot(number, pReason, pRun, true);
}

Station::StartResult Station::StartSlot(unsigned number, std::string* pReason, unsigned* pRun, bool bLogRunning) {
    const auto refused = [&](StartResult result, const std::string& reason) {
        if (result != StartResult::Running || bLogRunning) {
            LoggedEvent event;
            event.kind = EventKind::Refused;
            event.slot = result == StartResult::Closed ? 0 : number;
            event.text = StartRefusalText(*this, number, result, reason);
            Log(std::move(event));
        }
        return result;
    };
    if (number == 0 || number > m_slots.size()) {
        return refused(StartResult::NoSuchSlot, "");
    }
    if (Closed()) {
        return refused(StartResult::Closed, "");
    }
    Slot& slot = *m_slots[number - 1];
    if (!slot.Claim()) {
        return refused(StartResult::Running, "");
    }
    {
        std::lock_guard<std::mutex> open(slot.m_openMutex);
        std::string reason;
        if (slot.NeedsOpen() && !slot.Open(reason)) {
            slot.Unclaim();
            if (pReason != nullptr) {
                *pReason = reason;
            }
            return refused(StartResult::OpenFailed, reason);
        }
    }
    unsigned run = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        run = ++m_runs;
    }
    PromptJoin();
    slot.Launch(run);
    if (pRun != nullptr) {
        *pRun = run;
    }
    return StartResult::Started;
}

std::vector<unsigned> Station::StartAllReady(std::vector<std::string>* pProblems) {
    std::vector<unsigned> started;
    {
        std::lock_guard<std::mutex> gate(m_gateMutex);
        m_bGateStarting = true;
    }
    for (const auto& slot : m_slots) {
        const unsigned number = slot->m_shown.number;
        std::string reason;
        // A running slot is simply not among those started.
        switch (StartSlot(number, &reason, nullptr, false)) {
        case StartResult::Started:
            started.push_back(number);
            break;
        case StartResult::OpenFailed:
            if (pProblems != nullptr) {
                pProblems->push_back("slot " + std::to_string(number) + " " + slot->Port().name + ": " + reason);
            }
            break;
        default:
            break;
        }
    }
    {
        std::lock_guard<std::mutex> gate(m_gateMutex);
        m_bGateStarting = false;
    }
    m_gateCond.notify_all();
    return started;
}

Station::StopResult Station::Stop(unsigned number) {
    if (number == 0 || number > m_slots.size()) {
        return StopResult::NoSuchSlot;
    }
    const StopResult result = m_slots[number - 1]->RequestStop() ? StopResult::Stopping : StopResult::NotRunning;
    if (result == StopResult::NotRunning) {
        LoggedEvent event;
        event.kind = EventKind::Refused;
        event.slot = number;
        event.text = StopRefusalText(number, result);
        Log(std::move(event));
    }
    return result;
}

void Station::StopAll() {
    for (const auto& slot : m_slots) {
        slot->RequestStop();
    }
}

void Station::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bClosed) {
            return;
        }
        m_bClosed = true;
    }
    LoggedEvent event;
    event.kind = EventKind::Quit;
    Log(std::move(event));
}

bool Station::Closed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bClosed;
}

unsigned Station::RunningCount() const {
    unsigned running = 0;
    for (const auto& slot : m_slots) {
        running += slot->Running() ? 1 : 0;
    }
    return running;
}

bool Station::Busy() const {
    if (RunningCount() > 0) {
        return true;
    }
    std::lock_guard<std::mutex> lock(const_cast<std::mutex&>(m_writeMutex));
    return m_endingsPending > 0;
}

void Station::CloseUnderRunning() {
    for (const auto& slot : m_slots) {
        if (slot->Running()) {
            slot->link.Close();
        }
    }
}

void Station::CloseAll() {
    for (const auto& slot : m_slots) {
        slot->link.Close();
    }
}

SlotSnapshot Station::Snapshot(unsigned number) const {
    return m_slots.at(number - 1)->Shown();
}

const RunPort& Station::Port(unsigned number) const {
    return m_slots.at(number - 1)->Port();
}

Station::Totals Station::TotalsNow() const {
    Totals totals;
    totals.running = RunningCount();
    std::lock_guard<std::mutex> lock(m_mutex);
    totals.completed = m_completed;
    totals.failed = m_failed;
    totals.recordsLost = m_recordsLost;
    totals.storeWaiting = m_storeWaiting;
    totals.bStoreDown = m_bStoreDown;
    totals.began = m_began;
    const unsigned ended = totals.completed + totals.failed;
    if (ended > 0) {
        totals.yield = std::round(1000.0 * totals.completed / ended) / 10;
    }
    const double hours = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_began).count() / 3600.0;
    if (totals.completed > 0 && hours > 0) {
        totals.boxesPerHour = std::round(10 * totals.completed / hours) / 10;
    }
    totals.target = m_settings.target;
    totals.targetReached = totals.target > 0 && totals.completed >= totals.target;
    totals.targetLeft = totals.target > totals.completed ? totals.target - totals.completed : 0;
    return totals;
}

std::string Station::StoreThatFlashed(unsigned slot, const std::string& unit) {
    if (!m_settings.pStore) {
        return "";
    }
    PriorAttempt prior;
    bool bFound = false;
    std::string reason;
    if (!m_settings.pStore->CompletedBefore(unit, m_settings.image.sha256, prior, bFound, reason)) {
        // Flashed all the same: this session's own runs are still guarded,
        // and a store that cannot be read must not stop a line.
        Tell({slot, "the unit store cannot say whether unit " + unit + " was flashed before: " + reason});
        return "";
    }
    if (!bFound) {
        return "";
    }
    std::string where = "with this image";
    if (!prior.station.empty()) {
        where += " at " + prior.station;
        if (prior.run != 0) {
            where += " (run " + std::to_string(prior.run) + ")";
        }
    }
    return where + " on " + prior.started;
}

unsigned Station::RunThatFlashed(const std::string& unit) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto done = std::find_if(m_unitsDone.begin(), m_unitsDone.end(),
                             [&](const auto& entry) { return entry.first == unit; });
    return done != m_unitsDone.end() ? done->second : 0;
}

Station::Ending Station::RunEnded(Slot& slot) {
    const SlotSnapshot shown = slot.Shown();
    const RunEnd end = shown.end.value_or(RunEnd::Cancelled);
    unsigned repeatOf = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!shown.unit.empty()) {
            auto done = std::find_if(m_unitsDone.begin(), m_unitsDone.end(),
                                     [&](const auto& unit) { return unit.first == shown.unit; });
            if (done != m_unitsDone.end()) {
                repeatOf = done->second;
            } else if (RunSucceeded(shown)) {
                m_unitsDone.emplace_back(shown.unit, shown.run);
            }
        }
        // A unit flashed again on purpose is still one box.
        if (RunSucceeded(shown)) {
            m_completed += repeatOf == 0 ? 1 : 0;
        } else if (end != RunEnd::AlreadyFlashed) {
            ++m_failed;
        }
    }
    PromptLeave();
    LoggedEvent ended;
    ended.kind = EventKind::RunEnded;
    ended.slot = shown.number;
    ended.run = shown.run;
    ended.end = end;
    ended.text = shown.message;
    Log(std::move(ended));

    Ending ending;
    ending.slot = shown.number;
    ending.run = shown.run;
    std::vector<StationEvent>& events = ending.events;
    if (repeatOf != 0 && end != RunEnd::AlreadyFlashed) {
        events.push_back({shown.number, "unit " + shown.unit + " already flashed in run " + std::to_string(repeatOf)});
    }
    std::string text;
    if (end == RunEnd::Completed) {
        text = "completed in " + Duration(shown.seconds);
        if (shown.boot) {
            text += *shown.boot == BootResult::Verified ? "; booted: " : "; boot failed: ";
            text += shown.bootText;
        }
    } else {
        text = shown.message.empty() ? std::string(RunEndName(end)) : shown.message;
        if (end == RunEnd::BlockRefused || end == RunEnd::BlockNoAnswer) {
            text += " at block " + std::to_string(shown.blocks + 1);
        }
    }
    if (!shown.unit.empty() && end != RunEnd::AlreadyFlashed) {
        text += " (unit " + shown.unit + ")";
    }
    events.push_back({shown.number, text});

    if (m_settings.record.empty() && !m_settings.pStore) {
        return ending;
    }
    ending.bRecord = true;
    ending.facts = slot.m_facts;
    ending.port = shown.port;
    ending.console = std::move(slot.m_console);
    if (!m_settings.stationName.empty()) {
        ending.place.slot = shown.number;
        ending.place.run = shown.run;
        ending.place.station = m_settings.stationName;
        ending.place.unit = shown.unit;
        ending.place.repeatOf = repeatOf;
    }
    return ending;
}

void Station::Finish(Ending ending) {
    if (!ending.bRecord) {
        for (const StationEvent& event : ending.events) {
            Tell(event);
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        m_endings.push_back(std::move(ending));
        ++m_endingsPending;
    }
    m_writeCond.notify_all();
}

void Station::WriteRecords() {
    std::unique_lock<std::mutex> lock(m_writeMutex);
    for (;;) {
        m_writeCond.wait(lock, [this] { return m_bEnd || !m_endings.empty(); });
        if (m_endings.empty()) {
            return;  // the end, and nothing left to write
        }
        Ending ending = std::move(m_endings.front());
        m_endings.pop_front();
        lock.unlock();
        std::string lost;
        std::string line;
        const bool bWritten = RecordRun(m_settings.record, m_settings.pStore.get(), ending.facts, ending.port,
                                        m_settings.image, std::move(ending.console), ending.place, lost, &line);
        if (m_onEndRunner.joinable()) {
            {
                std::lock_guard<std::mutex> onEnd(m_onEndMutex);
                m_onEnds.push_back({ending.slot, ending.run, ending.port.name, RunEndName(ending.facts.EndOfRun()), line});
            }
            m_onEndCond.notify_all();
        }
        if (!bWritten) {
            {
                std::lock_guard<std::mutex> counts(m_mutex);
                ++m_recordsLost;
            }
        }
        LoggedEvent recorded;
        recorded.kind = bWritten ? EventKind::RecordWritten : EventKind::RecordLost;
        recorded.slot = ending.slot;
        recorded.run = ending.run;
        recorded.text = lost;
        Log(std::move(recorded));
        for (const StationEvent& event : ending.events) {
            Tell(event);
        }
        lock.lock();
        --m_endingsPending;
    }
}

void Station::RunOnEnds() {
    std::unique_lock<std::mutex> lock(m_onEndMutex);
    for (;;) {
        m_onEndCond.wait(lock, [this] { return m_bOnEndStop || !m_onEnds.empty(); });
        if (m_onEnds.empty()) {
            return;
        }
        const OnEnd onEnd = std::move(m_onEnds.front());
        m_onEnds.pop_front();
        lock.unlock();
        const std::vector<std::string> argv =
            CommandFill(m_settings.onEnd, {{"port", onEnd.port},
                                           {"slot", std::to_string(onEnd.slot)},
                                           {"run", std::to_string(onEnd.run)},
                                           {"end", onEnd.end}});
        std::string failure;
        if (!CommandRun(argv, onEnd.line, kPowerCommandLimit, failure)) {
            Tell({onEnd.slot, "on-end command '" + CommandShown(argv) + "' failed: " + failure});
        }
        lock.lock();
    }
}

void Station::KeepWatch() {
    std::unique_lock<std::mutex> lock(m_writeMutex);
    for (unsigned tick = 1;; ++tick) {
        if (m_writeCond.wait_for(lock, kKeeperTick, [this] { return m_bEnd; })) {
            return;
        }
        lock.unlock();
        if (m_settings.pStore && tick % kPortCheckTicks == 1) {
            LookAtStore();
        }
        if (m_settings.bWatchIdlePorts && tick % kPortCheckTicks == 0) {
            std::lock_guard<std::mutex> slots(m_slotsMutex);
            for (const auto& slot : m_slots) {
                if (const std::optional<StationEvent> event = slot->CheckIdlePort()) {
                    Tell(*event);
                }
            }
        }
        lock.lock();
    }
}

void Station::LookAtStore() {
    const std::size_t waiting = m_settings.pStore->Waiting();
    const std::string status = m_settings.pStore->Status();
    bool bChanged = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_storeWaiting = waiting;
        bChanged = status.empty() == m_bStoreDown;
        m_bStoreDown = !status.empty();
    }
    // Told when the server goes away and when it answers again, not at
    // every row that waits meanwhile.
    if (bChanged) {
        Tell({0, status.empty() ? "unit store: the server answers again" : "unit store: " + status});
    }
}

void Station::Log(LoggedEvent event) {
    std::lock_guard<std::mutex> lock(m_logMutex);
    event.id = ++m_lastEventId;
    m_log.push_back(std::move(event));
    if (m_log.size() > kEventLogMost) {
        m_log.pop_front();
    }
    for (const auto& subscriber : m_subscribers) {
        subscriber.second();
    }
}

void Station::PromptJoin() {
    if (m_settings.prompt) {
        std::lock_guard<std::mutex> gate(m_gateMutex);
        ++m_gateActive;
    }
}

void Station::PromptLeave() {
    if (!m_settings.prompt) {
        return;
    }
    {
        std::lock_guard<std::mutex> gate(m_gateMutex);
        --m_gateActive;
    }
    m_gateCond.notify_all();
}

void Station::PromptArrive(const char* pText) {
    std::unique_lock<std::mutex> gate(m_gateMutex);
    const unsigned generation = m_gateGeneration;
    m_gateText = pText;
    ++m_gateWaiting;
    m_gateCond.notify_all();
    // Everybody is here (or has ended): one of those waiting answers.
    m_gateCond.wait(gate, [&] {
        return m_gateGeneration != generation ||
               (!m_bGateStarting && !m_bGateAnswering && m_gateWaiting >= m_gateActive);
    });
    if (m_gateGeneration != generation) {
        return;
    }
    m_bGateAnswering = true;
    const std::string text = m_gateText;
    gate.unlock();
    m_settings.prompt(text.c_str());
    gate.lock();
    m_bGateAnswering = false;
    m_gateWaiting = 0;
    ++m_gateGeneration;
    m_gateCond.notify_all();
}

void Station::Tell(const StationEvent& event) {
    LoggedEvent line;
    line.kind = EventKind::Line;
    line.slot = event.slot;
    line.text = event.text;
    Log(std::move(line));
}

std::vector<LoggedEvent> Station::Since(std::uint64_t id, bool& bMissed) const {
    std::lock_guard<std::mutex> lock(m_logMutex);
    const std::uint64_t oldest = m_log.empty() ? m_lastEventId + 1 : m_log.front().id;
    bMissed = id > m_lastEventId || id + 1 < oldest;
    std::vector<LoggedEvent> events;
    for (const LoggedEvent& event : m_log) {
        if (event.id > id) {
            events.push_back(event);
        }
    }
    return events;
}

std::uint64_t Station::LastEventId() const {
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_lastEventId;
}

unsigned Station::Subscribe(std::function<void()> woken) const {
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_subscribers.emplace_back(++m_lastSubscription, std::move(woken));
    return m_lastSubscription;
}

void Station::Unsubscribe(unsigned subscription) const {
    std::lock_guard<std::mutex> lock(m_logMutex);
    std::erase_if(m_subscribers, [subscription](const auto& subscriber) { return subscriber.first == subscription; });
}

std::string StartRefusalText(const Station& station, unsigned slot, Station::StartResult result,
                             const std::string& reason) {
    const std::string name = "slot " + std::to_string(slot);
    switch (result) {
    case Station::StartResult::Started:
        break;
    case Station::StartResult::Running:
        return name + " is running; not started again";
    case Station::StartResult::NoSuchSlot:
        return "no " + name;
    case Station::StartResult::OpenFailed:
        return name + " " + station.Port(slot).name + ": cannot open port: " + reason;
    case Station::StartResult::Closed:
        return "the station is quitting: no new starts";
    }
    return "";
}

std::string StopRefusalText(unsigned slot, Station::StopResult result) {
    switch (result) {
    case Station::StopResult::Stopping:
        break;
    case Station::StopResult::NotRunning:
        return "slot " + std::to_string(slot) + " is not running";
    case Station::StopResult::NoSuchSlot:
        return "no slot " + std::to_string(slot);
    }
    return "";
}
