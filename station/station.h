// Many boxes from one process: a slot per port, each running box after box
// on its own. The station opens the ports, starts and stops runs, counts
// them, writes their records and logs what happens in its numbered event
// log; it prints nothing and reads no keyboard. The command line's modes and
// the web page only show what the log and the snapshots say, and ask it to
// start or stop.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "download/download.h"
#include "serial/serial_port.h"
#include "station/run_facts.h"
#include "station/records.h"
#include "station/unit_pattern.h"
#include "store/unit_store.h"

// A final message on one line: its line breaks become single spaces.
std::string OneLine(const std::string& text);

enum class SlotState { Ready, Running, Ended, PortLost };
// "ready", "running", "ended", "port-lost".
const char* SlotStateName(SlotState state);

// What a slot's box is doing, finer than its state, as the station knows it
// from its run: every front end shows this and reads no status text.
enum class SlotPhase {
    Ready,           // no run yet
    Catching,        // a run: the prompts, the catch of the loader, its menu
    Sending,         // the image's blocks
    Checking,        // the whole image sent; the loader checks it
    Burning,         // the loader writes the image into flash
    Booting,         // completed; the boot check waits for the new firmware's text
    Completed,       // the latest run's end
    Verified,        // completed, and the new firmware booted
    BootFailed,      // completed, and the new firmware did not boot
    Cancelled,
    AlreadyFlashed,
    Failed,          // any other end
    PortLost,        // the port went: under a run, or while idle
};
// "ready", "catching", "sending", "checking", "burning", "booting",
// "completed", "verified", "boot-failed", "cancelled", "already-flashed",
// "failed", "port-lost".
const char* SlotPhaseName(SlotPhase phase);

// What an idle slot waits for, as its row and tile say it.
enum class SlotWait { Nothing, Lid, RemoveBox, Armed };
// "", "waiting for the lid", "remove the box", "armed".
const char* SlotWaitText(SlotWait wait);

// What the boot check after a completed run found: the new firmware's text,
// or its failure text or nothing in time.
enum class BootResult { Verified, BootFailed };
// "verified", "boot-failed".
const char* BootResultName(BootResult result);

// After "Download Complted !!!" the slot keeps reading the box, line by
// line: expect makes the run verified, fail (looked at first) or the time
// running out boot-failed. The loader's verdict stays the run's end; a
// failed boot counts the run as not completed.
struct BootCheck {
    UnitPattern expect;
    std::optional<UnitPattern> fail;
    unsigned withinSeconds = 120;
};

// A transfer's pace, the same for every front end: the rate over the whole
// transfer so far (bytes a second) and the time left at it (whole seconds,
// rounded), known once the transfer has run kRateSettleSeconds: before, a
// few blocks in the port's buffer make it look far faster than the line.
constexpr double kRateSettleSeconds = 1.0;
struct TransferPace {
    std::optional<double> bytesPerSecond;
    std::optional<unsigned> secondsLeft;
};
TransferPace PaceOf(unsigned sent, unsigned total, unsigned startSent, std::chrono::steady_clock::time_point start,
                    std::chrono::steady_clock::time_point now);

// Upper bounds, in seconds, of the buckets into which a slot counts its
// ended runs' times from the first sync byte (a run that never synced is
// not counted): what /metrics gives as a histogram.
constexpr std::array<double, 11> kRunSecondsBounds = {5, 10, 30, 60, 120, 300, 600, 900, 1200, 1800, 3600};

// A slot's counters this session; they only grow.
struct SlotCounters {
    std::map<RunEnd, std::uint64_t> ends;  // runs ended, by end
    // Image bytes handed to the port: by the ended runs, and by the one
    // under way so far.
    std::uint64_t bytesSent = 0;
    std::array<std::uint64_t, kRunSecondsBounds.size()> timedWithin{};  // runs within each bound
    std::map<BootResult, std::uint64_t> boots;                           // boot checks, by result
    std::uint64_t timed = 0;                                             // runs with a time
    double secondsSum = 0;                                               // their times together
};

// What a front end shows of one slot: a copy, consistent in itself.
struct SlotSnapshot {
    unsigned number = 0;
    char key = 0;
    RunPort port;
    SlotState state = SlotState::Ready;
    SlotPhase phase = SlotPhase::Ready;
    std::string status;  // the run's latest status text ("" before the first)
    unsigned sent = 0;   // while sending: bytes handed to the port, and the
    unsigned total = 0;  // transfer length
    std::chrono::steady_clock::time_point transferStart{};
    unsigned transferStartSent = 0;
    TransferPace pace;                   // while sending, as of the snapshot
    unsigned run = 0;                    // the session's number of the slot's latest run; 0: none yet
    std::optional<RunEnd> end;           // how the latest run ended
    std::string message;                 // its final message ("" when none)
    unsigned blocks = 0;                 // data blocks the box acknowledged in it
    double seconds = 0;                  // its time from the first sync byte
    std::string unit;                    // the box's identity, when a pattern found it
    SlotWait wait = SlotWait::Nothing;   // while idle: what the slot waits for
    std::optional<BootResult> boot;      // the latest run's boot check, when it had one
    std::string bootText;                // the line that decided it, or why none did
    // The slot's runs this session; a completed run whose boot check failed
    // counts as failed.
    unsigned completed = 0, failed = 0;
    ConsoleTail console;                 // the newest bytes the box sent
    SlotCounters counters;
};

// The run counts as completed: the loader completed it, and its boot check,
// when it had one, passed.
bool RunSucceeded(const SlotSnapshot& slot);

// One line of what happened, for a log or the last few shown on screen.
struct StationEvent {
    unsigned slot = 0;  // 0: the station's own
    std::string text;   // about the slot: "completed in 24:13", "Error 31 !!! at block 812"
};

// What the station's event log holds: each entry has an id one above the
// one before, so that a front end asks for what came after the last it saw.
enum class EventKind {
    Phase,          // a slot's phase changed (phase)
    Status,         // a run set its status text (text)
    // A transfer went on (sent, total): its first block, the first of each
    // tenth of it, its last, and between them at most every
    // kProgressEventInterval a slot.
    Progress,
    Message,        // a run told its operator something (text): its verdict, an error
    Boot,           // a run's boot check decided (text: "Boot check: verified: LINE", ...)
    RunStarted,     // (run)
    RunEnded,       // (run, end, text: its final message on one line, "" when none)
    Line,           // one of the station's event lines (text), as a terminal view shows it
    RecordWritten,  // (run)
    RecordLost,     // (text: the complaint and the record's line)
    Refused,        // a start or a stop did not go through (text: why)
    Quit,           // no new starts from now on
};
// "phase", "status", "progress", "message", "boot", "run-started", "run-ended", "line",
// "record-written", "record-lost", "refused", "quit".
const char* EventKindName(EventKind kind);

constexpr auto kProgressEventInterval = std::chrono::milliseconds(500);

struct LoggedEvent {
    std::uint64_t id = 0;
    EventKind kind = EventKind::Line;
    unsigned slot = 0;  // 0: the station's own
    SlotPhase phase = SlotPhase::Ready;
    unsigned run = 0;
    RunEnd end = RunEnd::Cancelled;
    unsigned sent = 0, total = 0;
    std::string text;
};

// A box's supply, switched per slot: by a modem line of its port (through a
// fixture's relay), or by a program. With it a run does what the operator
// did at the prompts: power off, wait, power on as the catch begins; after
// the run the box is switched off once it is done.
struct PowerControl {
    unsigned line = 0;       // kLineDtr or kLineRts; 0: the command
    bool bInverted = false;  // the line asserted means power off
    // The program's words, with {port}, {slot} and {state} (on, off) filled
    // in each time; it must exit 0 within kPowerCommandLimit.
    std::vector<std::string> command;
    unsigned offSeconds = 2;
    // Without a boot check, a completed box is done once it has been silent
    // this long (writing its flash and rebooting), at the latest after
    // doneWithinSeconds.
    unsigned goneAfterSeconds = 5;
    unsigned doneWithinSeconds = 120;
};
constexpr auto kPowerCommandLimit = std::chrono::seconds(10);

struct StationSettings {
    std::shared_ptr<const LoadedImage> pImage;  // read once, shared by every run
    ImageFacts image;
    std::string record;       // record file; "" for none
    // Every run's record is added here too, before its slot is ready again;
    // and a unit that completed with this image before (any session, any
    // station sharing the store) is not flashed again unless bReflash.
    // nullptr: no store.
    std::shared_ptr<UnitStore> pStore;
    std::string stationName;  // "" (a batch): records carry no slot, run or station
    // The box's identity, looked for in each console line as it arrives. A
    // box that already completed this session is not flashed again (its run
    // ends already-flashed before the menu is answered) unless bReflash.
    std::optional<UnitPattern> unitPattern;
    bool bReflash = false;
    std::optional<BootCheck> bootCheck;
    std::optional<PowerControl> power;
    // kLineCts, kLineDsr, kLineDcd or kLineRi: a fixture's lid switch; a
    // ready slot starts when the line rises (again after it has dropped),
    // and a run is stopped when it drops (the box is gone). 0: starts by
    // the front end only (which always works too).
    unsigned startLine = 0;
    // A slot without a lid or power control, whose operator switches each
    // box on: a ready slot is armed and starts on the first bytes a box in
    // it sends; after a run (and at set-up) it arms again once its port has
    // been silent autoQuietSeconds. Silence cannot tell a removed box from
    // a quiet one, so this goes with a unit pattern only.
    bool bAutoStart = false;
    unsigned autoQuietSeconds = 5;
    // Run once per record once it is written (or lost), with the record's
    // JSON line on its standard input: a label printer, a lamp, an upload.
    // Its words as for the power command, with {port}, {slot}, {run} and
    // {end}; a failure is told as an event and changes nothing else.
    std::vector<std::string> onEnd;
    // Called at the power-off and restart prompts, once for all the runs
    // that are under way: each waits at the prompt until every other has
    // reached it or ended, and the last to arrive calls it (runs started
    // together by StartAllReady come to their prompts together). Without it
    // a start stands for the operator's answer to both.
    std::function<void(const char* text)> prompt;
    // Asked with every poll of every run: true cancels all (Ctrl-C).
    std::function<bool()> cancelAll;
    std::size_t consoleTail = 4096;
    unsigned target = 0;  // completed boxes wanted this session; 0: none
    // Every few seconds an idle slot's port is looked at: unplugged, it
    // shows port-lost ("port lost" event), and ready again once it can be
    // opened ("port back").
    bool bWatchIdlePorts = false;
};

class Station {
public:
    explicit Station(StationSettings settings);
    // Waits for every run (stop them first) and closes every port.
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Set-up: adds slot number SlotCount()+1 and opens its port; false with
    // the reason when it cannot be opened (the slot is added all the same).
    bool AddSlot(const std::string& port, std::string& reason);
    // Set-up, once every port is open: with power control or a lid line,
    // checks that each port has modem lines, switches each box off and
    // begins watching the lids. Gives one line per slot that fails (naming
    // its port); nothing may be started then.
    std::vector<std::string> SetUpFixtures();
    std::size_t SlotCount() const { return m_slots.size(); }
    // The key of slot number (1 to 9, then a to z but q and s); 0 beyond.
    static char SlotKey(unsigned number);
    // The slot with that key; 0 when none.
    unsigned SlotOfKey(char key) const;

    enum class StartResult { Started, Running, NoSuchSlot, OpenFailed, Closed };
    // Starts a run on the slot; a port closed since (lost) is opened again by
    // its name first. Never waits for another slot.
    StartResult Start(unsigned slot, std::string* pReason = nullptr, unsigned* pRun = nullptr);
    // Starts every slot that is not running; gives the slots started, and
    // one "slot N PORT: reason" per slot whose port could not be opened.
    std::vector<unsigned> StartAllReady(std::vector<std::string>* pProblems = nullptr);
    enum class StopResult { Stopping, NotRunning, NoSuchSlot };
    // Cancels the slot's run only.
    StopResult Stop(unsigned slot);
    void StopAll();
    // No new starts from now on (quit).
    void Close();
    bool Closed() const;

    unsigned RunningCount() const;
    // Runs under way, or records of ended runs still being written: wait for
    // this before the totals are final.
    bool Busy() const;
    // Closes the ports of running slots under their runs (after a Ctrl-C that
    // a run does not answer in time).
    void CloseUnderRunning();
    // Closes every port; no run may be under way.
    void CloseAll();

    SlotSnapshot Snapshot(unsigned slot) const;
    // The slot's port; fixed for the station's life.
    const RunPort& Port(unsigned slot) const;
    // With a unit pattern, completed counts distinct units (a box without a
    // found identity counts as one of its own).
    struct Totals {
        unsigned completed = 0, failed = 0, running = 0;
        unsigned recordsLost = 0;
        // Rows of the unit store that its server does not have yet (they
        // wait in its local spool), as last looked at (every 2 s).
        std::size_t storeWaiting = 0;
        bool bStoreDown = false;  // its server could not be reached then
        std::chrono::steady_clock::time_point began{};
        // Percent of the ended runs that completed, to one decimal; none
        // before the first.
        std::optional<double> yield;
        // Completed boxes an hour since the station began, to one decimal;
        // none before the first.
        std::optional<double> boxesPerHour;
        unsigned target = 0;      // as set; 0: none
        unsigned targetLeft = 0;  // completed boxes still wanted
        bool targetReached = false;
    };
    Totals TotalsNow() const;
    // The unit store every record goes to; nullptr: none.
    UnitStore* Store() const { return m_settings.pStore.get(); }

    // The event log: the newest kEventLogMost events. Since gives those
    // after id, oldest first; bMissed is set when some after id are no
    // longer held, or id is none this station gave (the caller then needs
    // the whole state; what is held is given all the same).
    static constexpr std::size_t kEventLogMost = 1000;
    std::vector<LoggedEvent> Since(std::uint64_t id, bool& bMissed) const;
    std::uint64_t LastEventId() const;
    // woken() is called after every event, from whichever thread logged it
    // and under the log's lock: it must only hand the news on (post to a
    // loop, notify). Unsubscribe returns once no call is under way.
    unsigned Subscribe(std::function<void()> woken) const;
    void Unsubscribe(unsigned subscription) const;

private:
    class Slot;

    // What is left to do for an ended run once its slot is ready again:
    // write its record, then tell its events.
    struct Ending {
        bool bRecord = false;
        unsigned slot = 0;
        unsigned run = 0;
        RunFacts facts;
        RunPort port;
        std::string console;
        RecordPlace place;
        std::vector<StationEvent> events;
    };

    // Counts the slot's ended run and logs its end; gives what is left.
    Ending RunEnded(Slot& slot);
    // The run this session that completed the unit; 0 when none.
    unsigned RunThatFlashed(const std::string& unit) const;
    // Where the unit store says the unit completed with this image before
    // ("with this image at STATION (run N) on TIME"); "" when it did not, or
    // there is no store, or it cannot be read (told as an event).
    std::string StoreThatFlashed(unsigned slot, const std::string& unit);
    // Hands the ending to the record writer (or tells its events at once
    // when there is no record file).
    void Finish(Ending ending);
    // The record writer: writes the records in the order their runs ended,
    // each waiting for the file at most its own limit from when it was
    // handed over, and tells each run's events once its record is written.
    void WriteRecords();
    // Every 2 s: notices an idle slot's port unplugged, and plugged in again,
    // and looks at the unit store (a server away, rows waiting for it).
    void KeepWatch();
    void LookAtStore();
    // Adds to the event log (its id is given here) and wakes the subscribers.
    void Log(LoggedEvent event);
    // Logs an event line.
    void Tell(const StationEvent& event);
    // The prompts' gate: a run joins it when it starts, waits at a prompt
    // for the others, and leaves it when it ends.
    void PromptJoin();
    void PromptArrive(const char* pText);
    void PromptLeave();
    StartResult StartSlot(unsigned slot, std::string* pReason, unsigned* pRun, bool bLogRunning);

    const StationSettings m_settings;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::mutex m_slotsMutex;  // slots are added at set-up while the keeper looks at them
    const std::chrono::steady_clock::time_point m_began;

    mutable std::mutex m_mutex;  // guards what follows
    bool m_bClosed = false;
    unsigned m_runs = 0;
    unsigned m_completed = 0, m_failed = 0;
    unsigned m_recordsLost = 0;
    // The unit store as last looked at by the keeper; under m_mutex.
    std::size_t m_storeWaiting = 0;
    bool m_bStoreDown = false;
    // Units that completed this session, with the run that flashed them.
    std::vector<std::pair<std::string, unsigned>> m_unitsDone;

    std::mutex m_writeMutex;  // guards the writer's queue and what follows
    std::condition_variable m_writeCond;
    std::deque<Ending> m_endings;
    unsigned m_endingsPending = 0;  // handed over and not yet told
    bool m_bEnd = false;            // the station is being destroyed
    std::thread m_writer;
    std::thread m_keeper;

    // The --on-end runs, one after the other on a thread of their own, so
    // that a slow program never holds up a record.
    struct OnEnd {
        unsigned slot = 0, run = 0;
        std::string port, end, line;
    };
    void RunOnEnds();
    std::mutex m_onEndMutex;  // guards what follows
    std::condition_variable m_onEndCond;
    std::deque<OnEnd> m_onEnds;
    bool m_bOnEndStop = false;
    std::thread m_onEndRunner;

    std::mutex m_gateMutex;  // guards what follows
    std::condition_variable m_gateCond;
    unsigned m_gateActive = 0;   // runs under way that may still come to a prompt
    unsigned m_gateWaiting = 0;  // of them, those waiting at the prompt
    unsigned m_gateGeneration = 0;
    bool m_bGateStarting = false;   // StartAllReady is starting runs: nobody answers yet
    bool m_bGateAnswering = false;  // the prompt is being shown
    std::string m_gateText;

    mutable std::mutex m_logMutex;  // guards what follows; taken under a slot's lock, never the other way
    std::deque<LoggedEvent> m_log;
    std::uint64_t m_lastEventId = 0;
    mutable std::vector<std::pair<unsigned, std::function<void()>>> m_subscribers;
    mutable unsigned m_lastSubscription = 0;
};

// Why a start or a stop did not go through, as a front end tells it ("" when
// it did): "slot 2 is running; not started again", "no slot 9", "slot 2 COM3:
// cannot open port: REASON", "the station is quitting: no new starts",
// "slot 2 is not running".
std::string StartRefusalText(const Station& station, unsigned slot, Station::StartResult result,
                             const std::string& reason);
std::string StopRefusalText(unsigned slot, Station::StopResult result);
