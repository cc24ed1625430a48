// The unit store: every download attempt as a row, kept across sessions and
// shared by the stations of a line, so that one can ask which image a unit
// got, whether it booted, and whether it was flashed with this image before.
//
// A row is made from exactly the JSON line that --record FILE gets
// (RecordJsonLine), so the store and the record files never disagree. Its
// attempt id is the SHA-256 of that line: the line holds the station, the
// port and the start time to the millisecond, so the id is unique across
// stations, and the same line added twice (a resend, an import of a file
// already imported) is one row.
//
// unit_store_sqlite.cpp keeps the store in an SQLite file and hands a
// postgresql:// URI to unit_store_postgres.cpp, the store a line of stations
// shares; unit_store_none.cpp (the Windows build, which has neither SQLite nor
// libpq) opens none. The build picks them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The attempt that already put an image into a unit.
struct PriorAttempt {
    std::string station;  // "" for a run that was not a station's
    unsigned slot = 0;    // 0: not a station's run
    unsigned run = 0;
    std::string started;  // ISO 8601 UTC with milliseconds, as in the record
    std::string attempt;  // the attempt id
};

// An image as the records name it.
struct ImageId {
    std::string name;    // the path as given to the tool that flashed it
    std::string sha256;  // lower-case hex
};

// Which attempts a query is about; an empty field does not filter.
struct HistoryFilter {
    std::string unit{};
    std::string imageSha256{};  // lower-case hex
    std::string imagePath{};    // the image's path exactly as recorded
    std::string station{};
    std::string since{};  // UTC: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS[.mmm]][Z]; started at or after
    std::string end{};    // completed, image-refused, error-1, ...
    std::size_t limit = 0;  // at most this many rows; 0: all
};

// One attempt: the record's keys; a key the record did not have is empty or
// absent here.
struct AttemptRow {
    std::string attempt;
    std::string station;
    unsigned slot = 0;
    unsigned run = 0;
    std::string port, device, kind;
    std::optional<int> vid, pid;
    std::string serial;
    std::string unit;
    std::string image;
    std::uint64_t imageBytes = 0;
    std::string imageSha256;
    std::string end;
    bool ok = false;
    std::string boot, bootText;
    unsigned blocks = 0;
    std::string started, ended;
    std::string message;
    unsigned repeatOf = 0;
    std::string line;  // the record's JSON line as added, without its line end
    // The image of the unit's latest ok attempt before this one: what the
    // unit had; empty when none (or no unit).
    ImageId had;
};

// One unit, as its attempts describe it.
struct UnitRow {
    std::string unit;
    std::string firstSeen;  // the start of its first attempt
    std::size_t attempts = 0;
    // Its latest attempt, whatever its end.
    ImageId latestImage;
    std::string latestEnd, latestBoot, latestStarted;
    // Its latest attempt whose ok was true; empty when none was.
    ImageId completedImage;
    std::string completedStarted;
};

// Schema versions: the store's file says which one it has, and a program
// refuses a file newer than the one it knows.
inline constexpr int kUnitStoreSchema = 1;

// The reasons the calls give for a store that cannot be used.
inline constexpr char kUnitStoreLocked[] = "locked by another writer for more than 5 s";
inline constexpr char kUnitStoreUnavailable[] = "the unit store is not available in the Windows build";
// UnitStoreOpenToRead's reason when there is no file at all.
inline constexpr char kUnitStoreMissing[] = "no such file";

// Every call may be made from any thread; calls on one store run one at a
// time (the station's writer and web requests share it). A call that writes
// waits for another process's writer at most 5 s. None throws.
class UnitStore {
public:
    virtual ~UnitStore() = default;

    // What became of a line given to Insert.
    enum class AddResult {
        Added,         // a new row, committed and on disk
        AlreadyThere,  // the store had this very line: nothing changed
        NotRecord,     // not JSON, or a record's key missing or of the wrong type
        StoreFailed,   // the store could not be written (locked, disk full, ...)
    };

    // Adds the attempt that recordLine (a record's JSON line, with or without
    // its "\n") describes, committed and synced to disk before it returns.
    // Blocks up to 5 s while another process writes. The reason is set for
    // NotRecord and StoreFailed; nothing is added then.
    virtual AddResult Insert(const std::string& recordLine, std::string& reason) = 0;

    // Insert, for a caller to whom a line already there counts as added:
    // false with the reason when the line was not added.
    bool Add(const std::string& recordLine, std::string& reason) {
        const AddResult result = Insert(recordLine, reason);
        return result == AddResult::Added || result == AddResult::AlreadyThere;
    }

    // The latest attempt, at any station, that gave unit this image and
    // ended ok (completed, and a boot check, if any, verified). found says
    // whether there was one; false only when the store could not be read.
    virtual bool CompletedBefore(const std::string& unit, const std::string& imageSha256, PriorAttempt& prior,
                                 bool& found, std::string& reason) = 0;

    // The image of unit's latest attempt that ended ok: what the unit has,
    // as far as the store knows (asked when the row is read, not kept in
    // it, so an import of older records cannot make it wrong). found says
    // whether there was one; false only when the store could not be read.
    virtual bool LastImageOf(const std::string& unit, ImageId& image, bool& found, std::string& reason) = 0;

    // The attempts the filter selects, newest first (by their start).
    // False with the reason when the filter is malformed or the store could
    // not be read.
    virtual bool History(const HistoryFilter& filter, std::vector<AttemptRow>& rows, std::string& reason) = 0;

    // One row for each unit with an attempt the filter selects, the unit
    // described by all its attempts; the unit seen last first. Attempts
    // without a unit are left out.
    virtual bool Units(const HistoryFilter& filter, std::vector<UnitRow>& rows, std::string& reason) = 0;

    // A store on a server keeps rows in a local spool until the server has
    // them. Waiting: how many rows the server does not have yet. Status: ""
    // while all is well, else what is wrong, for a person (the server cannot
    // be reached, queries answer from this station's own rows, rows wait).
    // Flush: waits up to timeout for the spool to empty; true when it did.
    // A store in a file has no spool: 0, "" and true.
    virtual std::size_t Waiting() { return 0; }
    virtual std::string Status() { return std::string(); }
    virtual bool Flush(std::chrono::milliseconds timeout) {
        static_cast<void>(timeout);
        return true;
    }
};

// Opens the store to write to, where being a file path (the file and its
// folder are created when missing); applies the schema's migrations and
// makes sure that a row can be written. Blocks up to 5 s on another process
// that holds the store's write lock. nullptr with a reason a technician
// understands (read-only file or folder, locked, not a unit store, written
// by a newer version) when it cannot.
//
// where may instead be a libpq connection URI (postgresql://... or
// postgres://...; a password from PGPASSWORD or ~/.pgpass as libpq finds
// it): the schema is created on the server when missing. A URI libpq cannot
// read, a refused login, a database that does not exist or a newer schema
// is a reason; a server that cannot be reached is not: the store opens, keeps
// rows in its local spool and says so in Status().
std::unique_ptr<UnitStore> UnitStoreOpen(const std::string& where, std::string& reason);

// Opens an existing store to ask it: creates, migrates and locks nothing,
// and works on a read-only file. nullptr with the reason when there is no
// store there (kUnitStoreMissing) or it cannot be read. A server that
// cannot be reached is a reason here: a reader has no spool to answer from.
std::unique_ptr<UnitStore> UnitStoreOpenToRead(const std::string& where, std::string& reason);

// Where a station keeps its store unless told otherwise:
// $XDG_STATE_HOME/kelvora/units.db, else $HOME/.local/state/kelvora/units.db
// (on Windows %LOCALAPPDATA%\kelvora\units.db). "" when none of these is set.
std::string UnitStoreDefaultPath();

// Whether where names a PostgreSQL server rather than a file.
bool UnitStoreIsServer(const std::string& where);

// where as a message, a log or a file name may show it: a URI without the
// password it may hold (in its user part or as a password= parameter); a
// file path as it is.
std::string UnitStoreShown(const std::string& where);
