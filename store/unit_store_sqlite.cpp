// The unit store in an SQLite file: one connection, guarded by a mutex, in
// WAL mode with full syncs, so that a row is on disk when Add returns and
// several processes (the stations of a bench sharing a file) keep every
// row. Writers wait for each other up to the busy time-out.
#include "store/unit_store.h"
#include "store/unit_store_backend.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <regex>
#include <span>
#include <thread>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

#include "station/download_record.h"

namespace {

namespace fs = std::filesystem;

// How long a write waits for another process's writer before it gives up.
constexpr int kBusyWaitMs = 5000;

// The schema, one step per version: kMigrations[n] takes a store from
// version n to n + 1. Steps are only ever added, never changed.
const char* const kMigrations[] = {
    // 1: every attempt with the record's keys as columns and the whole line;
    // the indexes serve the history's filters and the double-flash guard.
    "CREATE TABLE attempts ("
    "  attempt TEXT PRIMARY KEY NOT NULL,"
    "  station TEXT, slot INTEGER, run INTEGER,"
    "  port TEXT NOT NULL, device TEXT, kind TEXT, vid INTEGER, pid INTEGER, serial TEXT,"
    "  unit TEXT,"
    "  image TEXT NOT NULL, image_bytes INTEGER NOT NULL, image_sha256 TEXT NOT NULL,"
    "  \"end\" TEXT NOT NULL, ok INTEGER NOT NULL, boot TEXT, boot_text TEXT,"
    "  blocks INTEGER NOT NULL, started TEXT NOT NULL, ended TEXT, message TEXT, repeat_of INTEGER,"
    "  line TEXT NOT NULL);"
    "CREATE INDEX attempts_unit ON attempts(unit, started);"
    "CREATE INDEX attempts_image ON attempts(image_sha256);"
    "CREATE INDEX attempts_station ON attempts(station);"
    "CREATE INDEX attempts_started ON attempts(started);"
    "CREATE TABLE store_info (key TEXT PRIMARY KEY NOT NULL, value TEXT);",
};
static_assert(std::size(kMigrations) == kUnitStoreSchema, "one migration per schema version");

struct DatabaseClose {
    void operator()(sqlite3* pDb) const { sqlite3_close_v2(pDb); }
};
using Database = std::unique_ptr<sqlite3, DatabaseClose>;

// A prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* pDb, const std::string& sql) {
        m_rc = sqlite3_prepare_v2(pDb, sql.c_str(), static_cast<int>(sql.size()), &m_pStmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_pStmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Prepared() const { return m_rc == SQLITE_OK; }
    int PrepareResult() const { return m_rc; }

    // Binds text; an empty text binds NULL when bNullWhenEmpty.
    void Text(int index, const std::string& text, bool bNullWhenEmpty = false) {
        if (bNullWhenEmpty && text.empty()) {
            sqlite3_bind_null(m_pStmt, index);
        } else {
            sqlite3_bind_text(m_pStmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        }
    }
    void Integer(int index, std::optional<long long> value) {
        if (value) {
            sqlite3_bind_int64(m_pStmt, index, *value);
        } else {
            sqlite3_bind_null(m_pStmt, index);
        }
    }

    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return sqlite3_step(m_pStmt); }

    std::string ColumnText(int index) const {
        const auto* pText = sqlite3_column_text(m_pStmt, index);
        return pText == nullptr ? std::string()
                                : std::string(reinterpret_cast<const char*>(pText),
                                              static_cast<std::size_t>(sqlite3_column_bytes(m_pStmt, index)));
    }
    long long ColumnInteger(int index) const { return sqlite3_column_int64(m_pStmt, index); }
    bool ColumnIsNull(int index) const { return sqlite3_column_type(m_pStmt, index) == SQLITE_NULL; }

private:
    sqlite3_stmt* m_pStmt = nullptr;
    int m_rc = SQLITE_ERROR;
};

// An SQLite result said in a technician's words.
std::string ResultReason(sqlite3* pDb, int rc) {
    switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return kUnitStoreLocked;
    case SQLITE_NOTADB:
        return "not a unit store: the file is not an SQLite database";
    case SQLITE_READONLY:
        return "the file is read-only";
    case SQLITE_FULL:
        return "the disk is full";
    case SQLITE_CORRUPT:
        return "the file is damaged (" + std::string(sqlite3_errmsg(pDb)) + ")";
    default:
        return sqlite3_errmsg(pDb);
    }
}

bool Execute(sqlite3* pDb, const char* pSql, std::string& reason) {
    const int rc = sqlite3_exec(pDb, pSql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        reason = ResultReason(pDb, rc);
        return false;
    }
    return true;
}

bool UserVersion(sqlite3* pDb, int& version, std::string& reason) {
    Statement query(pDb, "PRAGMA user_version");
    const int rc = query.Prepared() ? query.Step() : query.PrepareResult();
    if (rc != SQLITE_ROW) {
        reason = ResultReason(pDb, rc);
        return false;
    }
    version = static_cast<int>(query.ColumnInteger(0));
    return true;
}

// Whether the file holds tables although it has no schema version of ours:
// another program's database, which migrations must not touch.
bool HasForeignTables(sqlite3* pDb) {
    Statement query(pDb, "SELECT 1 FROM sqlite_master WHERE type = 'table' LIMIT 1");
    return query.Prepared() && query.Step() == SQLITE_ROW;
}

std::string NewerSchemaReason(int version) {
    return "written by a newer version of kelvora-upgrader (schema " + std::to_string(version) +
           ", this one knows " + std::to_string(kUnitStoreSchema) + ")";
}

std::string SystemReason(int error) {
    return std::strerror(error);
}

fs::path FolderOf(const std::string& where) {
    fs::path folder = fs::path(where).parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

// A record line's keys, read into a row; false with the reason when the line
// is no record.
bool RecordParse(const std::string& line, AttemptRow& row, std::string& reason) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_discarded()) {
        reason = "not JSON";
        return false;
    }
    if (!record.is_object()) {
        reason = "not a record: not a JSON object";
        return false;
    }
    bool bRecord = true;
    const auto text = [&](const char* pKey, std::string& value, bool bRequired) {
        const auto it = record.find(pKey);
        if (it == record.end()) {
            if (bRequired && bRecord) {
                reason = std::string("not a record: no \"") + pKey + "\"";
                bRecord = false;
            }
        } else if (!it->is_string()) {
            if (bRecord) {
                reason = std::string("not a record: \"") + pKey + "\" is not a text";
                bRecord = false;
            }
        } else {
            value = it->get<std::string>();
        }
    };
    const auto number = [&](const char* pKey, auto& value, bool bRequired) {
        const auto it = record.find(pKey);
        if (it == record.end()) {
            if (bRequired && bRecord) {
                reason = std::string("not a record: no \"") + pKey + "\"";
                bRecord = false;
            }
        } else if (!it->is_number_integer() || (!it->is_number_unsigned() && it->get<long long>() < 0)) {
            if (bRecord) {
                reason = std::string("not a record: \"") + pKey + "\" is not a count";
                bRecord = false;
            }
        } else {
            value = it->get<std::remove_reference_t<decltype(value)>>();
        }
    };

    text("port", row.port, true);
    text("device", row.device, false);
    text("kind", row.kind, false);
    int vid = 0;
    int pid = 0;
    number("vid", vid, false);
    number("pid", pid, false);
    if (record.contains("vid")) {
        row.vid = vid;
    }
    if (record.contains("pid")) {
        row.pid = pid;
    }
    text("serial", row.serial, false);
    number("slot", row.slot, false);
    number("run", row.run, false);
    text("station", row.station, false);
    text("unit", row.unit, false);
    number("repeat_of", row.repeatOf, false);
    text("end", row.end, true);
    const auto ok = record.find("ok");
    if (bRecord && (ok == record.end() || !ok->is_boolean())) {
        reason = "not a record: no \"ok\" true or false";
        bRecord = false;
    } else if (bRecord) {
        row.ok = ok->get<bool>();
    }
    text("boot", row.boot, false);
    text("boot_text", row.bootText, false);
    text("message", row.message, false);
    number("blocks", row.blocks, false);
    text("image", row.image, true);
    number("image_bytes", row.imageBytes, false);
    text("image_sha256", row.imageSha256, true);
    text("started", row.started, true);
    text("ended", row.ended, false);
    return bRecord;
}

// "YYYY-MM-DD" or a date and time, as the records' time stamps start; a
// space may stand for the T and the Z may be left out.
bool SinceNormalise(const std::string& since, std::string& normal) {
    static const std::regex kSince(R"((\d{4})-(\d{2})-(\d{2})([T ](\d{2}):(\d{2})(:(\d{2})(\.\d{1,3})?)?)?Z?)");
    std::smatch parts;
    if (!std::regex_match(since, parts, kSince)) {
        return false;
    }
    const auto within = [&parts](int index, int low, int high) {
        if (!parts[index].matched) {
            return true;
        }
        const int value = std::stoi(parts[index].str());
        return value >= low && value <= high;
    };
    if (!within(2, 1, 12) || !within(3, 1, 31) || !within(5, 0, 23) || !within(6, 0, 59) || !within(8, 0, 60)) {
        return false;
    }
    normal = since;
    if (!normal.empty() && normal.back() == 'Z') {
        normal.pop_back();
    }
    if (normal.size() > 10) {
        normal[10] = 'T';
    }
    return true;
}

}  // namespace

bool ConditionMake(const HistoryFilter& filter, Condition& condition, std::string& reason) {
    const std::pair<const char*, const std::string*> equal[] = {
        {"unit", &filter.unit},
        {"image_sha256", &filter.imageSha256},
        {"image", &filter.imagePath},
        {"station", &filter.station},
        {"\"end\"", &filter.end},
    };
    for (const auto& [pColumn, pValue] : equal) {
        if (!pValue->empty()) {
            condition.sql += std::string(condition.sql.empty() ? " WHERE " : " AND ") + pColumn + " = ?";
            condition.values.push_back(*pValue);
        }
    }
    if (!filter.since.empty()) {
        std::string since;
        if (!SinceNormalise(filter.since, since)) {
            reason = "'" + filter.since +
                     "' is not a date (YYYY-MM-DD) or a date and time (YYYY-MM-DDTHH:MM[:SS], UTC)";
            return false;
        }
        condition.sql += std::string(condition.sql.empty() ? " WHERE " : " AND ") + "started >= ?";
        condition.values.push_back(since);
    }
    return true;
}

namespace {

std::string LimitClause(std::size_t limit) {
    return limit == 0 ? std::string() : " LIMIT " + std::to_string(limit);
}

class SqliteUnitStore final : public UnitStore {
public:
    explicit SqliteUnitStore(Database db) : m_db(std::move(db)) {}

    AddResult Insert(const std::string& recordLine, std::string& reason) override {
        std::string line = recordLine;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        if (line.find('\n') != std::string::npos) {
            reason = "not a record: more than one line";
            return AddResult::NotRecord;
        }
        AttemptRow row;
        if (!RecordParse(line, row, reason)) {
            return AddResult::NotRecord;
        }
        if (!BytesSha256(std::span(reinterpret_cast<const unsigned char*>(line.data()), line.size()), row.attempt,
                         reason)) {
            return AddResult::StoreFailed;
        }

        std::lock_guard<std::mutex> lock(m_mutex);
        sqlite3* pDb = m_db.get();
        Statement insert(pDb,
                         "INSERT OR IGNORE INTO attempts (attempt, station, slot, run, port, device, kind, vid, pid,"
                         " serial, unit, image, image_bytes, image_sha256, \"end\", ok, boot, boot_text, blocks,"
                         " started, ended, message, repeat_of, line)"
                         " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        if (!insert.Prepared()) {
            reason = ResultReason(pDb, insert.PrepareResult());
            return AddResult::StoreFailed;
        }
        const auto count = [](unsigned value) {
            return value == 0 ? std::optional<long long>() : std::optional<long long>(value);
        };
        const bool bStationRun = row.slot != 0;
        insert.Text(1, row.attempt);
        insert.Text(2, row.station, !bStationRun);
        insert.Integer(3, count(row.slot));
        insert.Integer(4, bStationRun ? std::optional<long long>(row.run) : std::nullopt);
        insert.Text(5, row.port);
        insert.Text(6, row.device, true);
        insert.Text(7, row.kind, true);
        insert.Integer(8, row.vid);
        insert.Integer(9, row.pid);
        insert.Text(10, row.serial, true);
        insert.Text(11, row.unit, true);
        insert.Text(12, row.image);
        insert.Integer(13, static_cast<long long>(row.imageBytes));
        insert.Text(14, row.imageSha256);
        insert.Text(15, row.end);
        insert.Integer(16, row.ok ? 1 : 0);
        insert.Text(17, row.boot, true);
        insert.Text(18, row.bootText, row.boot.empty());
        insert.Integer(19, row.blocks);
        insert.Text(20, row.started);
        insert.Text(21, row.ended, true);
        insert.Text(22, row.message);
        insert.Integer(23, count(row.repeatOf));
        insert.Text(24, line);
        const int rc = insert.Step();
        if (rc != SQLITE_DONE) {
            reason = ResultReason(pDb, rc);
            return AddResult::StoreFailed;
        }
        return sqlite3_changes(pDb) > 0 ? AddResult::Added : AddResult::AlreadyThere;
    }

    bool CompletedBefore(const std::string& unit, const std::string& imageSha256, PriorAttempt& prior, bool& found,
                         std::string& reason) override {
        found = false;
        std::lock_guard<std::mutex> lock(m_mutex);
        Statement query(m_db.get(),
                        "SELECT station, slot, run, started, attempt FROM attempts"
                        " WHERE unit = ? AND image_sha256 = ? AND ok = 1 ORDER BY started DESC, rowid DESC LIMIT 1");
        if (!query.Prepared()) {
            reason = ResultReason(m_db.get(), query.PrepareResult());
            return false;
        }
        query.Text(1, unit);
        query.Text(2, imageSha256);
        const int rc = query.Step();
        if (rc == SQLITE_ROW) {
            found = true;
            prior.station = query.ColumnText(0);
            prior.slot = static_cast<unsigned>(query.ColumnInteger(1));
            prior.run = static_cast<unsigned>(query.ColumnInteger(2));
            prior.started = query.ColumnText(3);
            prior.attempt = query.ColumnText(4);
        } else if (rc != SQLITE_DONE) {
            reason = ResultReason(m_db.get(), rc);
            return false;
        }
        return true;
    }

    bool LastImageOf(const std::string& unit, ImageId& image, bool& found, std::string& reason) override {
        found = false;
        std::lock_guard<std::mutex> lock(m_mutex);
        Statement query(m_db.get(),
                        "SELECT image, image_sha256 FROM attempts"
                        " WHERE unit = ? AND ok = 1 ORDER BY started DESC, rowid DESC LIMIT 1");
        if (!query.Prepared()) {
            reason = ResultReason(m_db.get(), query.PrepareResult());
            return false;
        }
        query.Text(1, unit);
        const int rc = query.Step();
        if (rc == SQLITE_ROW) {
            found = true;
            image.name = query.ColumnText(0);
            image.sha256 = query.ColumnText(1);
        } else if (rc != SQLITE_DONE) {
            reason = ResultReason(m_db.get(), rc);
            return false;
        }
        return true;
    }

    bool History(const HistoryFilter& filter, std::vector<AttemptRow>& rows, std::string& reason) override {
        rows.clear();
        Condition condition;
        if (!ConditionMake(filter, condition, reason)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        Statement query(m_db.get(),
                        "SELECT attempt, station, slot, run, port, device, kind, vid, pid, serial, unit, image,"
                        " image_bytes, image_sha256, \"end\", ok, boot, boot_text, blocks, started, ended, message,"
                        " repeat_of, line" +
                            std::string(kHadColumns) + " FROM attempts" + condition.sql + " ORDER BY started DESC, rowid DESC" + LimitClause(filter.limit));
        if (!query.Prepared()) {
            reason = ResultReason(m_db.get(), query.PrepareResult());
            return false;
        }
        for (std::size_t i = 0; i < condition.values.size(); ++i) {
            query.Text(static_cast<int>(i + 1), condition.values[i]);
        }
        int rc;
        while ((rc = query.Step()) == SQLITE_ROW) {
            AttemptRow row;
            row.attempt = query.ColumnText(0);
            row.station = query.ColumnText(1);
            row.slot = static_cast<unsigned>(query.ColumnInteger(2));
            row.run = static_cast<unsigned>(query.ColumnInteger(3));
            row.port = query.ColumnText(4);
            row.device = query.ColumnText(5);
            row.kind = query.ColumnText(6);
            if (!query.ColumnIsNull(7)) {
                row.vid = static_cast<int>(query.ColumnInteger(7));
            }
            if (!query.ColumnIsNull(8)) {
                row.pid = static_cast<int>(query.ColumnInteger(8));
            }
            row.serial = query.ColumnText(9);
            row.unit = query.ColumnText(10);
            row.image = query.ColumnText(11);
            row.imageBytes = static_cast<std::uint64_t>(query.ColumnInteger(12));
            row.imageSha256 = query.ColumnText(13);
            row.end = query.ColumnText(14);
            row.ok = query.ColumnInteger(15) != 0;
            row.boot = query.ColumnText(16);
            row.bootText = query.ColumnText(17);
            row.blocks = static_cast<unsigned>(query.ColumnInteger(18));
            row.started = query.ColumnText(19);
            row.ended = query.ColumnText(20);
            row.message = query.ColumnText(21);
            row.repeatOf = static_cast<unsigned>(query.ColumnInteger(22));
            row.line = query.ColumnText(23);
            row.had = {query.ColumnText(24), query.ColumnText(25)};
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) {
            reason = ResultReason(m_db.get(), rc);
            rows.clear();
            return false;
        }
        return true;
    }

    bool Units(const HistoryFilter& filter, std::vector<UnitRow>& rows, std::string& reason) override {
        rows.clear();
        Condition condition;
        if (!ConditionMake(filter, condition, reason)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        Statement query(
            m_db.get(),
            "SELECT u.unit,"
            " (SELECT MIN(started) FROM attempts f WHERE f.unit = u.unit),"
            " (SELECT COUNT(*) FROM attempts c WHERE c.unit = u.unit),"
            " l.image, l.image_sha256, l.\"end\", l.boot, l.started, k.image, k.image_sha256, k.started"
            " FROM (SELECT DISTINCT unit FROM attempts" +
                (condition.sql.empty() ? std::string(" WHERE") : condition.sql + " AND") +
                " unit IS NOT NULL) u"
                " JOIN attempts l ON l.rowid = (SELECT rowid FROM attempts x WHERE x.unit = u.unit"
                "  ORDER BY started DESC, rowid DESC LIMIT 1)"
                " LEFT JOIN attempts k ON k.rowid = (SELECT rowid FROM attempts y WHERE y.unit = u.unit AND y.ok = 1"
                "  ORDER BY started DESC, rowid DESC LIMIT 1)"
                " ORDER BY l.started DESC, l.rowid DESC" +
                LimitClause(filter.limit));
        if (!query.Prepared()) {
            reason = ResultReason(m_db.get(), query.PrepareResult());
            return false;
        }
        for (std::size_t i = 0; i < condition.values.size(); ++i) {
            query.Text(static_cast<int>(i + 1), condition.values[i]);
        }
        int rc;
        while ((rc = query.Step()) == SQLITE_ROW) {
            UnitRow row;
            row.unit = query.ColumnText(0);
            row.firstSeen = query.ColumnText(1);
            row.attempts = static_cast<std::size_t>(query.ColumnInteger(2));
            row.latestImage = {query.ColumnText(3), query.ColumnText(4)};
            row.latestEnd = query.ColumnText(5);
            row.latestBoot = query.ColumnText(6);
            row.latestStarted = query.ColumnText(7);
            row.completedImage = {query.ColumnText(8), query.ColumnText(9)};
            row.completedStarted = query.ColumnText(10);
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) {
            reason = ResultReason(m_db.get(), rc);
            rows.clear();
            return false;
        }
        return true;
    }

private:
    std::mutex m_mutex;  // one call at a time on the connection
    Database m_db;
};

// WAL with full syncs, the schema brought up to date, and one harmless write
// committed: a store that opens here can take rows.
bool StoreReadyForWriting(sqlite3* pDb, std::string& reason) {
    sqlite3_busy_timeout(pDb, kBusyWaitMs);
    if (!Execute(pDb, "PRAGMA journal_mode = WAL", reason) || !Execute(pDb, "PRAGMA synchronous = FULL", reason) ||
        !Execute(pDb, "BEGIN IMMEDIATE", reason)) {
        return false;
    }
    int version = 0;
    bool bReady = UserVersion(pDb, version, reason);
    if (bReady && version > kUnitStoreSchema) {
        reason = NewerSchemaReason(version);
        bReady = false;
    }
    if (bReady && version == 0 && HasForeignTables(pDb)) {
        reason = "not a unit store: an SQLite database of another program";
        bReady = false;
    }
    for (int step = version; bReady && step < kUnitStoreSchema; ++step) {
        bReady = Execute(pDb, kMigrations[step], reason);
    }
    if (bReady && version < kUnitStoreSchema) {
        const std::string setVersion = "PRAGMA user_version = " + std::to_string(kUnitStoreSchema);
        bReady = Execute(pDb, setVersion.c_str(), reason);
    }
    if (bReady) {
        Statement opened(pDb, "INSERT OR REPLACE INTO store_info (key, value) VALUES ('last_opened', ?)");
        opened.Text(1, IsoUtc(std::chrono::system_clock::now()));
        const int rc = opened.Prepared() ? opened.Step() : opened.PrepareResult();
        if (rc != SQLITE_DONE) {
            reason = ResultReason(pDb, rc);
            bReady = false;
        }
    }
    if (bReady) {
        return Execute(pDb, "COMMIT", reason);
    }
    sqlite3_exec(pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

}  // namespace

std::unique_ptr<UnitStore> UnitStoreOpen(const std::string& where, std::string& reason) {
    if (UnitStoreIsServer(where)) {
        return PostgresUnitStoreOpen(where, true, reason);
    }
    if (where.empty()) {
        reason = "no file named";
        return nullptr;
    }
    const fs::path folder = FolderOf(where);
    std::error_code error;
    if (!fs::exists(folder, error) && !fs::create_directories(folder, error) && error) {
        reason = "cannot create its folder " + folder.string() + ": " + error.message();
        return nullptr;
    }
    const fs::file_status status = fs::status(where, error);
    const bool bExists = fs::exists(status);
    if (bExists && !fs::is_regular_file(status)) {
        reason = kRecordNotRegular;
        return nullptr;
    }
    // The write-ahead log and its index live beside the file, so the folder
    // must take new files even when the store exists.
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        reason = "its folder " + folder.string() + " is read-only (" + SystemReason(errno) + ")";
        return nullptr;
    }
    if (bExists && access(where.c_str(), R_OK | W_OK) != 0) {
        reason = "the file is read-only (" + SystemReason(errno) + ")";
        return nullptr;
    }

    sqlite3* pOpened = nullptr;
    const int rc = sqlite3_open_v2(where.c_str(), &pOpened, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Database db(pOpened);
    if (rc != SQLITE_OK) {
        reason = pOpened == nullptr ? std::string("out of memory") : ResultReason(pOpened, rc);
        return nullptr;
    }
    if (sqlite3_db_readonly(db.get(), "main") == 1) {
        reason = "the file is read-only";
        return nullptr;
    }
    // Two processes making a new store at once: SQLite answers the one that
    // comes second "busy" at once, without waiting, while the first turns
    // the file to WAL. That one is tried again for as long as a lock is
    // waited for.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyWaitMs);
    while (!StoreReadyForWriting(db.get(), reason)) {
        if (reason != kUnitStoreLocked || std::chrono::steady_clock::now() >= deadline) {
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::make_unique<SqliteUnitStore>(std::move(db));
}

std::unique_ptr<UnitStore> UnitStoreOpenToRead(const std::string& where, std::string& reason) {
    if (UnitStoreIsServer(where)) {
        return PostgresUnitStoreOpen(where, false, reason);
    }
    std::error_code error;
    const fs::file_status status = fs::status(where, error);
    if (!fs::exists(status)) {
        reason = kUnitStoreMissing;
        return nullptr;
    }
    if (!fs::is_regular_file(status)) {
        reason = kRecordNotRegular;
        return nullptr;
    }
    sqlite3* pOpened = nullptr;
    const int rc = sqlite3_open_v2(where.c_str(), &pOpened, SQLITE_OPEN_READONLY, nullptr);
    Database db(pOpened);
    if (rc != SQLITE_OK) {
        reason = pOpened == nullptr ? std::string("out of memory") : ResultReason(pOpened, rc);
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), kBusyWaitMs);
    int version = 0;
    if (!UserVersion(db.get(), version, reason)) {
        return nullptr;
    }
    if (version > kUnitStoreSchema) {
        reason = NewerSchemaReason(version);
        return nullptr;
    }
    if (version < kUnitStoreSchema) {
        reason = version == 0 ? std::string("not a unit store")
                              : "an older schema (" + std::to_string(version) +
                                    "): open it once for writing (a station or import-records) to bring it up to date";
        return nullptr;
    }
    return std::make_unique<SqliteUnitStore>(std::move(db));
}

std::string UnitStoreDefaultPath() {
    if (const char* pState = std::getenv("XDG_STATE_HOME"); pState != nullptr && pState[0] == '/') {
        return (fs::path(pState) / "kelvora" / "units.db").string();
    }
    if (const char* pHome = std::getenv("HOME"); pHome != nullptr && pHome[0] != '\0') {
        return (fs::path(pHome) / ".local" / "state" / "kelvora" / "units.db").string();
    }
    return std::string();
}
