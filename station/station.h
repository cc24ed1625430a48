// Many boxes from one process: a slot per port, each running box after box
// on its own. The station opens the ports, starts and stops runs, counts
// them, writes their records and reports what happens to a listener; it
// prints nothing and reads no keyboard. The command line's batch and station
// modes and the web page only show what it reports and ask it to start or
// stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
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

// A final message on one line: its line breaks become single spaces.
std::string OneLine(const std::string& text);

enum class SlotState { Ready, Running, Ended, PortLost };
// "ready", "running", "ended", "port-lost".
const char* SlotStateName(SlotState state);

// What a front end shows of one slot: a copy, consistent in itself.
struct SlotSnapshot {
    unsigned number = 0;
    char key = 0;
    RunPort port;
    SlotState state = SlotState::Ready;
    std::string status;  // the run's latest status text ("" before the first)
    unsigned sent = 0;   // while sending: bytes handed to the port, and the
    unsigned total = 0;  // transfer length
    std::chrono::steady_clock::time_point transferStart{};
    unsigned transferStartSent = 0;
    unsigned run = 0;                    // the session's number of the slot's latest run; 0: none yet
    std::optional<RunEnd> end;           // how the latest run ended
    std::string message;                 // its final message ("" when none)
    unsigned blocks = 0;                 // data blocks the box acknowledged in it
    double seconds = 0;                  // its time from the first sync byte
    std::string unit;                    // the box's identity, when a pattern found it
    unsigned completed = 0, failed = 0;  // the slot's runs this session
    ConsoleTail console;                 // the newest bytes the box sent
};

// One line of what happened, for a log or the last few shown on screen.
struct StationEvent {
    unsigned slot = 0;  // 0: the station's own
    std::string text;   // about the slot: "completed in 24:13", "Error 31 !!! at block 812"
};

// Told of what happens, from the slots' own threads: it must not block
// (the output queue and the view's lock are fine).
class StationListener {
public:
    virtual ~StationListener() = default;
    // A run set its status text.
    virtual void StatusChanged(unsigned /*slot*/, const char* /*text*/) {}
    // A run has ended (before its record is written); snapshot as it ended.
    // A run that ended already-flashed counts neither as completed nor failed.
    virtual void RunEnded(const SlotSnapshot& /*slot*/) {}
    virtual void Event(const StationEvent& /*event*/) {}
    // A run's record could not be written: the complaint and, on the next
    // line, the record's JSON line, for stderr (to be added by hand).
    virtual void RecordLost(unsigned /*slot*/, const std::string& /*lost*/) {}
};

struct StationSettings {
    std::shared_ptr<const LoadedImage> pImage;  // read once, shared by every run
    ImageFacts image;
    std::string record;       // record file; "" for none
    std::string stationName;  // "" (a batch): records carry no slot, run or station
    // The box's identity, looked for in each console line as it arrives. A
    // box that already completed this session is not flashed again (its run
    // ends already-flashed before the menu is answered) unless bReflash.
    std::optional<UnitPattern> unitPattern;
    bool bReflash = false;
    // Called at the power-off and restart prompts of a run (a batch gates
    // them). Without it a start stands for the operator's answer to both.
    std::function<void(const char* text)> prompt;
    // Asked with every poll of every run: true cancels all (Ctrl-C).
    std::function<bool()> cancelAll;
    // The system's reason why a port cannot be opened now.
    std::function<std::string(const std::string& port)> openErrorText;
    std::size_t consoleTail = 4096;
    // Every few seconds an idle slot's port is looked at: unplugged, it
    // shows port-lost ("port lost" event), and ready again once it can be
    // opened ("port back").
    bool bWatchIdlePorts = false;
};

class Station {
public:
    Station(StationSettings settings, StationListener& listener);
    // Waits for every run (stop them first) and closes every port.
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Set-up: adds slot number SlotCount()+1 and opens its port; false with
    // the reason when it cannot be opened (the slot is added all the same).
    bool AddSlot(const std::string& port, std::string& reason);
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
        std::chrono::steady_clock::time_point began{};
    };
    Totals TotalsNow() const;

private:
    class Slot;

    // What is left to do for an ended run once its slot is ready again:
    // write its record, then tell its events.
    struct Ending {
        bool bRecord = false;
        unsigned slot = 0;
        RunFacts facts;
        RunPort port;
        std::string console;
        RecordPlace place;
        std::vector<StationEvent> events;
    };

    // Counts the slot's ended run and tells the listener; gives what is left.
    Ending RunEnded(Slot& slot);
    // The run this session that completed the unit; 0 when none.
    unsigned RunThatFlashed(const std::string& unit) const;
    // Hands the ending to the record writer (or tells its events at once
    // when there is no record file).
    void Finish(Ending ending);
    // The record writer: writes the records in the order their runs ended,
    // each waiting for the file at most its own limit from when it was
    // handed over, and tells each run's events once its record is written.
    void WriteRecords();
    // Every 2 s: notices an idle slot's port unplugged, and plugged in again.
    void KeepWatch();

    const StationSettings m_settings;
    StationListener& m_listener;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::mutex m_slotsMutex;  // slots are added at set-up while the keeper looks at them
    const std::chrono::steady_clock::time_point m_began;

    mutable std::mutex m_mutex;  // guards what follows
    bool m_bClosed = false;
    unsigned m_runs = 0;
    unsigned m_completed = 0, m_failed = 0;
    unsigned m_recordsLost = 0;
    // Units that completed this session, with the run that flashed them.
    std::vector<std::pair<std::string, unsigned>> m_unitsDone;

    std::mutex m_writeMutex;  // guards the writer's queue and what follows
    std::condition_variable m_writeCond;
    std::deque<Ending> m_endings;
    unsigned m_endingsPending = 0;  // handed over and not yet told
    bool m_bEnd = false;            // the station is being destroyed
    std::thread m_writer;
    std::thread m_keeper;
};

// Why a start or a stop did not go through, as a front end tells it ("" when
// it did): "slot 2 is running; not started again", "no slot 9", "slot 2 COM3:
// cannot open port: REASON", "the station is quitting: no new starts",
// "slot 2 is not running".
std::string StartRefusalText(const Station& station, unsigned slot, Station::StartResult result,
                             const std::string& reason);
std::string StopRefusalText(unsigned slot, Station::StopResult result);
