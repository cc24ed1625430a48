// The unit store on a PostgreSQL server that the stations of a line share.
//
// A station must keep flashing while the server is away, and must lose no
// row: every Insert goes first into a local SQLite spool (an SQLite unit
// store, synced before Insert returns), where a trigger queues the new row's
// attempt id in to_send, in the same transaction. A sender thread sends the
// queued rows in their order and unqueues them once the server committed
// them; the server ignores an attempt id it has (ON CONFLICT DO NOTHING), so
// a row sent again after a crash between the two is still one row. Sent rows
// stay in the spool: while the server cannot be reached, queries answer from
// them, and this station's own units are still guarded.
//
// No text this file makes holds a password: a URI is shown by
// UnitStoreShown, and libpq's messages are scrubbed of the password the URI
// or PGPASSWORD gave.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>

#include "station/download_record.h"
#include "store/unit_store.h"
#include "store/unit_store_backend.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A connection attempt gives up after this long, so nothing hangs on a
// server that does not answer; a sent row unacknowledged this long ends the
// connection.
constexpr char kConnectTimeoutS[] = "5";
constexpr char kTcpUserTimeoutMs[] = "15000";
// The sender's waits between attempts while the server is away.
constexpr std::chrono::milliseconds kRetryFirst = 1s;
constexpr std::chrono::milliseconds kRetryLongest = 30s;
// Rows sent in one transaction.
constexpr int kSendBatch = 200;

// The schema on the server, one step per version, as in the SQLite store:
// the same columns and indexes. started sorts as the bytes of its ISO 8601
// text, whatever the database's collation.
const char* const kMigrations[] = {
    "CREATE TABLE attempts ("
    "  attempt TEXT PRIMARY KEY NOT NULL,"
    "  station TEXT, slot INTEGER, run INTEGER,"
    "  port TEXT NOT NULL, device TEXT, kind TEXT, vid INTEGER, pid INTEGER, serial TEXT,"
    "  unit TEXT,"
    "  image TEXT NOT NULL, image_bytes BIGINT NOT NULL, image_sha256 TEXT NOT NULL,"
    "  \"end\" TEXT NOT NULL, ok BOOLEAN NOT NULL, boot TEXT, boot_text TEXT,"
    "  blocks INTEGER NOT NULL, started TEXT COLLATE \"C\" NOT NULL, ended TEXT, message TEXT,"
    "  repeat_of INTEGER, line TEXT NOT NULL);"
    "CREATE INDEX attempts_unit ON attempts(unit, started);"
    "CREATE INDEX attempts_image ON attempts(image_sha256);"
    "CREATE INDEX attempts_station ON attempts(station);"
    "CREATE INDEX attempts_started ON attempts(started);",
};
static_assert(std::size(kMigrations) == kUnitStoreSchema, "one migration per schema version");

// Two stations creating the schema at once take turns on this lock.
constexpr char kSchemaLock[] = "SELECT pg_advisory_xact_lock(7305921)";

// The spool's queue: the trigger fills it in the insert's own transaction.
constexpr char kQueueSchema[] =
    "CREATE TABLE IF NOT EXISTS to_send (seq INTEGER PRIMARY KEY AUTOINCREMENT, attempt TEXT NOT NULL);"
    "CREATE TRIGGER IF NOT EXISTS attempts_to_send AFTER INSERT ON attempts"
    " BEGIN INSERT INTO to_send (attempt) VALUES (new.attempt); END;";

constexpr char kColumns[] =
    "attempt, station, slot, run, port, device, kind, vid, pid, serial, unit, image, image_bytes, image_sha256,"
    " \"end\", ok, boot, boot_text, blocks, started, ended, message, repeat_of, line";
constexpr int kColumnCount = 24;

struct ConnectionClose {
    void operator()(PGconn* pConn) const { PQfinish(pConn); }
};
using Connection = std::unique_ptr<PGconn, ConnectionClose>;

struct ResultClear {
    void operator()(PGresult* pResult) const { PQclear(pResult); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

struct SpoolClose {
    void operator()(sqlite3* pDb) const { sqlite3_close_v2(pDb); }
};
using SpoolConnection = std::unique_ptr<sqlite3, SpoolClose>;

using Parameters = std::vector<std::optional<std::string>>;

// libpq's message on one line: its first, without tabs or doubled spaces,
// and without the "connection to server ... failed:" and severity that the
// store's own words replace.
std::string OneLine(std::string_view text) {
    // The first line says what failed; libpq's further lines are hints.
    const std::size_t start = std::min(text.find_first_not_of(" \t\r\n"), text.size());
    text = text.substr(start, text.find('\n', start) - start);
    std::string line;
    for (const char c : text) {
        const char shown = c == '\n' || c == '\t' || c == '\r' ? ' ' : c;
        if (shown != ' ' || (!line.empty() && line.back() != ' ')) {
            line += shown;
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    if (const std::size_t failed = line.find(" failed: "); line.rfind("connection to server", 0) == 0 &&
                                                           failed != std::string::npos) {
        line.erase(0, failed + 9);
    }
    for (const char* pSeverity : {"FATAL: ", "ERROR: "}) {
        if (line.rfind(pSeverity, 0) == 0) {
            line.erase(0, std::string_view(pSeverity).size());
        }
    }
    return line;
}

// The server as its URI names it, and the secrets no text may show.
struct ServerPlace {
    std::string uri;    // as given
    std::string shown;  // without the password
    std::string where;  // HOST:PORT/DB, for a person
    std::vector<std::string> secrets;

    // text with the URI shown without its password and every secret hidden.
    std::string Scrubbed(std::string text) const {
        for (std::size_t at; !uri.empty() && (at = text.find(uri)) != std::string::npos;) {
            text.replace(at, uri.size(), shown);
        }
        for (const std::string& secret : secrets) {
            for (std::size_t at; (at = text.find(secret)) != std::string::npos;) {
                text.replace(at, secret.size(), "****");
            }
        }
        return text;
    }
};

// The password as it stands in the URI (the user part, or password=), still
// percent-encoded: a message about a URI libpq cannot read may quote it.
void RawSecretsAdd(const std::string& uri, std::vector<std::string>& secrets) {
    const std::size_t hostStart = uri.find("://") + 3;
    const std::size_t hostEnd = std::min(uri.find_first_of("/?", hostStart), uri.size());
    const std::size_t at = uri.rfind('@', hostEnd == 0 ? 0 : hostEnd - 1);
    if (at != std::string::npos && at >= hostStart) {
        const std::size_t colon = uri.find(':', hostStart);
        if (colon < at && colon + 1 < at) {
            secrets.push_back(uri.substr(colon + 1, at - colon - 1));
        }
    }
    for (std::size_t key = uri.find("password=", hostEnd); key != std::string::npos;
         key = uri.find("password=", key + 1)) {
        const std::size_t start = key + 9;
        const std::size_t end = std::min(uri.find('&', start), uri.size());
        if (end > start) {
            secrets.push_back(uri.substr(start, end - start));
        }
    }
}

bool ServerPlaceMake(const std::string& uri, ServerPlace& place, std::string& reason) {
    place.uri = uri;
    place.shown = UnitStoreShown(uri);
    RawSecretsAdd(uri, place.secrets);
    if (const char* pPassword = std::getenv("PGPASSWORD"); pPassword != nullptr && pPassword[0] != '\0') {
        place.secrets.emplace_back(pPassword);
    }
    char* pError = nullptr;
    PQconninfoOption* pOptions = PQconninfoParse(uri.c_str(), &pError);
    if (pOptions == nullptr) {
        reason = "not a connection URI libpq can read (" +
                 place.Scrubbed(OneLine(pError == nullptr ? "out of memory" : pError)) + ")";
        PQfreemem(pError);
        return false;
    }
    std::string host, port, dbname, user;
    for (const PQconninfoOption* pOption = pOptions; pOption->keyword != nullptr; ++pOption) {
        const std::string_view key = pOption->keyword;
        const std::string value = pOption->val == nullptr ? std::string() : pOption->val;
        if (key == "host" || (key == "hostaddr" && host.empty())) {
            host = value;
        } else if (key == "port") {
            port = value;
        } else if (key == "dbname") {
            dbname = value;
        } else if (key == "user") {
            user = value;
        } else if (key == "password" && !value.empty()) {
            place.secrets.push_back(value);
        }
    }
    PQconninfoFree(pOptions);
    // Longer secrets first, so that a short one inside a long one hides no
    // less of it.
    std::sort(place.secrets.begin(), place.secrets.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    place.where = (host.empty() ? std::string("localhost") : host) + ":" + (port.empty() ? "5432" : port) + "/" +
                  (dbname.empty() ? user : dbname);
    return true;
}

enum class ConnectOutcome {
    Connected,
    Unreachable,  // no server answered, or it cannot take connections now
    Refused,      // the server answered no: login, database, permissions
};

ConnectOutcome ConnectionTry(const ServerPlace& place, Connection& connection, std::string& reason) {
    // The URI's own settings come after these defaults and override them.
    const char* const keys[] = {"connect_timeout", "tcp_user_timeout", "application_name", "dbname", nullptr};
    const char* const values[] = {kConnectTimeoutS, kTcpUserTimeoutMs, "kelvora-upgrader", place.uri.c_str(),
                                  nullptr};
    connection.reset(PQconnectdbParams(keys, values, 1));
    if (!connection) {
        reason = "out of memory";
        return ConnectOutcome::Refused;
    }
    if (PQstatus(connection.get()) == CONNECTION_OK) {
        return ConnectOutcome::Connected;
    }
    const std::string message = PQerrorMessage(connection.get());
    const bool bNeedsPassword = PQconnectionNeedsPassword(connection.get()) != 0;
    connection.reset();
    reason = place.Scrubbed(OneLine(message));
    // A server that answered with FATAL turned this login down, unless it
    // only cannot take connections for the moment.
    const char* const transient[] = {"starting up", "shutting down", "in recovery mode", "too many clients",
                                     "connection slots", "not yet accepting connections"};
    const bool bTransient = std::any_of(std::begin(transient), std::end(transient), [&message](const char* pText) {
        return message.find(pText) != std::string::npos;
    });
    const bool bServerSaidNo = message.find("FATAL:") != std::string::npos;
    if (bNeedsPassword) {
        reason = "no password: give one in PGPASSWORD or ~/.pgpass (" + reason + ")";
        return ConnectOutcome::Refused;
    }
    return bServerSaidNo && !bTransient ? ConnectOutcome::Refused : ConnectOutcome::Unreachable;
}

// Each '?' of sql as $1, $2, ...: the history's conditions are written for
// SQLite.
std::string Numbered(const std::string& sql) {
    std::string numbered;
    int index = 0;
    for (const char c : sql) {
        numbered += c == '?' ? "$" + std::to_string(++index) : std::string(1, c);
    }
    return numbered;
}

Result Execute(PGconn* pConn, const std::string& sql, const Parameters& parameters = {}) {
    std::vector<const char*> values;
    for (const auto& parameter : parameters) {
        values.push_back(parameter ? parameter->c_str() : nullptr);
    }
    return Result(PQexecParams(pConn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0));
}

bool Succeeded(const Result& result) {
    const ExecStatusType status = PQresultStatus(result.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string Text(const Result& result, int row, int column) {
    return std::string(PQgetvalue(result.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result.get(), row, column)));
}

long long Number(const Result& result, int row, int column) {
    return PQgetisnull(result.get(), row, column) ? 0 : std::atoll(PQgetvalue(result.get(), row, column));
}

std::string NewerSchemaReason(int version) {
    return "written by a newer version of kelvora-upgrader (schema " + std::to_string(version) +
           ", this one knows " + std::to_string(kUnitStoreSchema) + ")";
}

// The schema's version on the server, brought up to date when bWrite.
bool SchemaReady(PGconn* pConn, bool bWrite, const ServerPlace& place, std::string& reason) {
    const auto failed = [&](const Result& result) {
        reason = place.Scrubbed(OneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(pConn)));
        Execute(pConn, "ROLLBACK");
        return false;
    };
    Result result = Execute(pConn, "BEGIN");
    if (!Succeeded(result)) {
        return failed(result);
    }
    if (bWrite && !Succeeded(result = Execute(pConn, kSchemaLock))) {
        return failed(result);
    }
    result = Execute(pConn,
                     "SELECT to_regclass('unit_store_schema') IS NOT NULL, to_regclass('attempts') IS NOT NULL");
    if (!Succeeded(result)) {
        return failed(result);
    }
    const bool bVersioned = Text(result, 0, 0) == "t";
    const bool bAttempts = Text(result, 0, 1) == "t";
    int version = 0;
    if (bVersioned) {
        if (!Succeeded(result = Execute(pConn, "SELECT COALESCE(MAX(version), 0) FROM unit_store_schema"))) {
            return failed(result);
        }
        version = static_cast<int>(Number(result, 0, 0));
    } else if (bAttempts) {
        Execute(pConn, "ROLLBACK");
        reason = "not a unit store: the database has another program's table attempts";
        return false;
    }
    if (version > kUnitStoreSchema) {
        Execute(pConn, "ROLLBACK");
        reason = NewerSchemaReason(version);
        return false;
    }
    if (!bWrite) {
        Execute(pConn, "ROLLBACK");
        if (version < kUnitStoreSchema) {
            reason = version == 0 ? std::string(kUnitStoreMissing)
                                  : "an older schema (" + std::to_string(version) +
                                        "): open it once for writing (a station or import-records) to bring it up to "
                                        "date";
            return false;
        }
        return true;
    }
    if (!bVersioned &&
        !Succeeded(result = Execute(pConn, "CREATE TABLE unit_store_schema (version INTEGER NOT NULL)"))) {
        return failed(result);
    }
    for (int step = version; step < kUnitStoreSchema; ++step) {
        if (!Succeeded(result = Result(PQexec(pConn, kMigrations[step])))) {
            return failed(result);
        }
    }
    if (version < kUnitStoreSchema &&
        (!Succeeded(result = Execute(pConn, "DELETE FROM unit_store_schema")) ||
         !Succeeded(result = Execute(pConn, "INSERT INTO unit_store_schema (version) VALUES ($1)",
                                     {std::to_string(kUnitStoreSchema)})))) {
        return failed(result);
    }
    if (!Succeeded(result = Execute(pConn, "COMMIT"))) {
        return failed(result);
    }
    return true;
}

// Where a server's spool lives: $KELVORA_SPOOL_DIR, else beside the default
// store; one file per server and database, named from its URI without the
// password.
bool SpoolPath(const ServerPlace& place, std::string& path, std::string& reason) {
    fs::path folder;
    if (const char* pFolder = std::getenv("KELVORA_SPOOL_DIR"); pFolder != nullptr && pFolder[0] != '\0') {
        folder = pFolder;
    } else if (const std::string defaultPath = UnitStoreDefaultPath(); !defaultPath.empty()) {
        folder = fs::path(defaultPath).parent_path();
    } else {
        reason = "no folder for its spool: neither KELVORA_SPOOL_DIR, XDG_STATE_HOME nor HOME is set";
        return false;
    }
    std::string hash;
    if (!BytesSha256(std::span(reinterpret_cast<const unsigned char*>(place.shown.data()), place.shown.size()), hash,
                     reason)) {
        return false;
    }
    path = (folder / ("spool-" + hash.substr(0, 12) + ".db")).string();
    return true;
}

class PostgresUnitStore final : public UnitStore {
public:
    // A store to read: the server only.
    PostgresUnitStore(ServerPlace place, Connection connection)
        : m_place(std::move(place)), m_connection(std::move(connection)) {}

    // A store to write: the spool and its sender; connection is null while
    // the server cannot be reached (down says why).
    PostgresUnitStore(ServerPlace place, Connection connection, std::string down, std::unique_ptr<UnitStore> pSpool,
                      SpoolConnection queue)
        : m_place(std::move(place)),
          m_connection(std::move(connection)),
          m_down(std::move(down)),
          m_pSpool(std::move(pSpool)),
          m_queue(std::move(queue)) {
        m_sender = std::thread([this] { SenderRun(); });
    }

    ~PostgresUnitStore() override {
        {
            std::lock_guard<std::mutex> lock(m_wakeMutex);
            m_bStop = true;
        }
        m_wake.notify_all();
        if (m_sender.joinable()) {
            m_sender.join();
        }
    }

    AddResult Insert(const std::string& recordLine, std::string& reason) override {
        if (!m_pSpool) {
            reason = "the store was opened to read";
            return AddResult::StoreFailed;
        }
        const AddResult result = m_pSpool->Insert(recordLine, reason);
        if (result == AddResult::Added) {
            {
                std::lock_guard<std::mutex> lock(m_wakeMutex);
                m_bRowsAdded = true;
            }
            m_wake.notify_all();
        }
        return result;
    }

    bool CompletedBefore(const std::string& unit, const std::string& imageSha256, PriorAttempt& prior, bool& found,
                         std::string& reason) override {
        found = false;
        const auto ask = [&](PGconn* pConn, Result& result) {
            result = Execute(pConn,
                             "SELECT station, slot, run, started, attempt FROM attempts"
                             " WHERE unit = $1 AND image_sha256 = $2 AND ok"
                             " ORDER BY started DESC, attempt DESC LIMIT 1",
                             {unit, imageSha256});
        };
        Result result;
        const Answer answer = FromServer(ask, result, reason);
        if (answer == Answer::Failed) {
            return false;
        }
        if (answer == Answer::Server && PQntuples(result.get()) > 0) {
            found = true;
            prior.station = Text(result, 0, 0);
            prior.slot = static_cast<unsigned>(Number(result, 0, 1));
            prior.run = static_cast<unsigned>(Number(result, 0, 2));
            prior.started = Text(result, 0, 3);
            prior.attempt = Text(result, 0, 4);
        }
        if (!m_pSpool) {
            return true;
        }
        // This station's own rows, which the server may not have yet.
        PriorAttempt own;
        bool bOwnFound = false;
        if (!m_pSpool->CompletedBefore(unit, imageSha256, own, bOwnFound, reason)) {
            return false;
        }
        if (bOwnFound && (!found || own.started > prior.started)) {
            prior = own;
            found = true;
        }
        return true;
    }

    bool LastImageOf(const std::string& unit, ImageId& image, bool& found, std::string& reason) override {
        found = false;
        const auto ask = [&](PGconn* pConn, Result& result) {
            result = Execute(pConn,
                             "SELECT image, image_sha256 FROM attempts"
                             " WHERE unit = $1 AND ok ORDER BY started DESC, attempt DESC LIMIT 1",
                             {unit});
        };
        Result result;
        switch (FromServer(ask, result, reason)) {
        case Answer::Failed:
            return false;
        case Answer::Spool:
            return m_pSpool->LastImageOf(unit, image, found, reason);
        case Answer::Server:
            break;
        }
        if (PQntuples(result.get()) > 0) {
            found = true;
            image.name = Text(result, 0, 0);
            image.sha256 = Text(result, 0, 1);
        }
        return true;
    }

    bool History(const HistoryFilter& filter, std::vector<AttemptRow>& rows, std::string& reason) override {
        rows.clear();
        Condition condition;
        if (!ConditionMake(filter, condition, reason)) {
            return false;
        }
        const auto ask = [&](PGconn* pConn, Result& result) {
            result = Execute(pConn,
                             Numbered(std::string("SELECT ") + kColumns + kHadColumns + " FROM attempts" + condition.sql +
                                      " ORDER BY started DESC, attempt DESC" + LimitClause(filter.limit)),
                             Parameters(condition.values.begin(), condition.values.end()));
        };
        Result result;
        switch (FromServer(ask, result, reason)) {
        case Answer::Failed:
            return false;
        case Answer::Spool:
            return m_pSpool->History(filter, rows, reason);
        case Answer::Server:
            break;
        }
        for (int i = 0; i < PQntuples(result.get()); ++i) {
            AttemptRow row;
            row.attempt = Text(result, i, 0);
            row.station = Text(result, i, 1);
            row.slot = static_cast<unsigned>(Number(result, i, 2));
            row.run = static_cast<unsigned>(Number(result, i, 3));
            row.port = Text(result, i, 4);
            row.device = Text(result, i, 5);
            row.kind = Text(result, i, 6);
            if (!PQgetisnull(result.get(), i, 7)) {
                row.vid = static_cast<int>(Number(result, i, 7));
            }
            if (!PQgetisnull(result.get(), i, 8)) {
                row.pid = static_cast<int>(Number(result, i, 8));
            }
            row.serial = Text(result, i, 9);
            row.unit = Text(result, i, 10);
            row.image = Text(result, i, 11);
            row.imageBytes = static_cast<std::uint64_t>(Number(result, i, 12));
            row.imageSha256 = Text(result, i, 13);
            row.end = Text(result, i, 14);
            row.ok = Text(result, i, 15) == "t";
            row.boot = Text(result, i, 16);
            row.bootText = Text(result, i, 17);
            row.blocks = static_cast<unsigned>(Number(result, i, 18));
            row.started = Text(result, i, 19);
            row.ended = Text(result, i, 20);
            row.message = Text(result, i, 21);
            row.repeatOf = static_cast<unsigned>(Number(result, i, 22));
            row.line = Text(result, i, 23);
            row.had = {Text(result, i, 24), Text(result, i, 25)};
            rows.push_back(std::move(row));
        }
        return true;
    }

    bool Units(const HistoryFilter& filter, std::vector<UnitRow>& rows, std::string& reason) override {
        rows.clear();
        Condition condition;
        if (!ConditionMake(filter, condition, reason)) {
            return false;
        }
        const auto ask = [&](PGconn* pConn, Result& result) {
            result = Execute(
                pConn,
                Numbered("SELECT u.unit, f.first_seen, f.attempts, l.image, l.image_sha256, l.\"end\", l.boot,"
                         " l.started, k.image, k.image_sha256, k.started"
                         " FROM (SELECT DISTINCT unit FROM attempts" +
                         (condition.sql.empty() ? std::string(" WHERE") : condition.sql + " AND") +
                         " unit IS NOT NULL) u"
                         " CROSS JOIN LATERAL (SELECT MIN(started) AS first_seen, COUNT(*) AS attempts"
                         "  FROM attempts f WHERE f.unit = u.unit) f"
                         " CROSS JOIN LATERAL (SELECT image, image_sha256, \"end\", boot, started, attempt"
                         "  FROM attempts x WHERE x.unit = u.unit ORDER BY started DESC, attempt DESC LIMIT 1) l"
                         " LEFT JOIN LATERAL (SELECT image, image_sha256, started FROM attempts y"
                         "  WHERE y.unit = u.unit AND y.ok ORDER BY started DESC, attempt DESC LIMIT 1) k ON true"
                         " ORDER BY l.started DESC, l.attempt DESC" +
                         LimitClause(filter.limit)),
                Parameters(condition.values.begin(), condition.values.end()));
        };
        Result result;
        switch (FromServer(ask, result, reason)) {
        case Answer::Failed:
            return false;
        case Answer::Spool:
            return m_pSpool->Units(filter, rows, reason);
        case Answer::Server:
            break;
        }
        for (int i = 0; i < PQntuples(result.get()); ++i) {
            UnitRow row;
            row.unit = Text(result, i, 0);
            row.firstSeen = Text(result, i, 1);
            row.attempts = static_cast<std::size_t>(Number(result, i, 2));
            row.latestImage = {Text(result, i, 3), Text(result, i, 4)};
            row.latestEnd = Text(result, i, 5);
            row.latestBoot = Text(result, i, 6);
            row.latestStarted = Text(result, i, 7);
            row.completedImage = {Text(result, i, 8), Text(result, i, 9)};
            row.completedStarted = Text(result, i, 10);
            rows.push_back(std::move(row));
        }
        return true;
    }

    std::size_t Waiting() override {
        if (!m_queue) {
            return 0;
        }
        std::lock_guard<std::mutex> lock(m_queueMutex);
        sqlite3_stmt* pStmt = nullptr;
        std::size_t waiting = 0;
        if (sqlite3_prepare_v2(m_queue.get(), "SELECT COUNT(*) FROM to_send", -1, &pStmt, nullptr) == SQLITE_OK &&
            sqlite3_step(pStmt) == SQLITE_ROW) {
            waiting = static_cast<std::size_t>(sqlite3_column_int64(pStmt, 0));
        }
        sqlite3_finalize(pStmt);
        return waiting;
    }

    std::string Status() override {
        std::string down;
        {
            std::lock_guard<std::mutex> lock(m_connectionMutex);
            down = m_down;
        }
        if (down.empty()) {
            return std::string();
        }
        const std::size_t waiting = Waiting();
        return "PostgreSQL server at " + m_place.where + " cannot be reached: " + down + "; " +
               std::to_string(waiting) + (waiting == 1 ? " row waits" : " rows wait") +
               "; units are looked up in this station's own rows";
    }

    bool Flush(std::chrono::milliseconds timeout) override {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        {
            std::lock_guard<std::mutex> lock(m_wakeMutex);
            m_bRetryNow = true;
        }
        m_wake.notify_all();
        for (;;) {
            if (Waiting() == 0) {
                return true;
            }
            std::unique_lock<std::mutex> lock(m_wakeMutex);
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            // The sender notifies after each batch; the cap only covers a
            // batch that ended between the count and this wait.
            m_sent.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + 100ms));
        }
    }

private:
    enum class Answer { Server, Spool, Failed };

    static std::string LimitClause(std::size_t limit) {
        return limit == 0 ? std::string() : " LIMIT " + std::to_string(limit);
    }

    // Asks the server while it is connected; Spool when it cannot be
    // reached (and there is a spool to answer), Failed with the reason else.
    template <typename Ask>
    Answer FromServer(const Ask& ask, Result& result, std::string& reason) {
        std::unique_lock<std::mutex> lock(m_connectionMutex);
        if (m_connection) {
            ask(m_connection.get(), result);
            if (Succeeded(result)) {
                return Answer::Server;
            }
            const std::string why = m_place.Scrubbed(
                OneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(m_connection.get())));
            if (PQstatus(m_connection.get()) != CONNECTION_BAD) {
                reason = why;
                return Answer::Failed;
            }
            ConnectionLost(why);
            lock.unlock();
            m_wake.notify_all();
        } else {
            lock.unlock();
        }
        if (!m_pSpool) {
            reason = "the PostgreSQL server at " + m_place.where + " cannot be reached";
            return Answer::Failed;
        }
        return Answer::Spool;
    }

    // With m_connectionMutex held.
    void ConnectionLost(const std::string& why) {
        m_connection.reset();
        m_down = why.empty() ? std::string("the connection was lost") : why;
    }

    // The sender: connects while the server is away (waiting longer each
    // time), sends what the queue holds in its order, and sleeps until a row
    // is added.
    void SenderRun() {
        std::chrono::milliseconds retry = kRetryFirst;
        for (;;) {
            bool bConnected;
            {
                std::lock_guard<std::mutex> lock(m_connectionMutex);
                bConnected = static_cast<bool>(m_connection);
            }
            std::string why;
            if (!bConnected && Reconnect(why)) {
                retry = kRetryFirst;
                bConnected = true;
            }
            bool bSentAll = false;
            const bool bSent = bConnected && SendBatch(bSentAll);
            if (bSent) {
                retry = kRetryFirst;
            }
            m_sent.notify_all();
            std::unique_lock<std::mutex> lock(m_wakeMutex);
            if (m_bStop) {
                return;
            }
            if (bSent && !bSentAll) {
                continue;  // more rows than one batch
            }
            if (bSent) {
                m_wake.wait(lock, [this] { return m_bStop || m_bRowsAdded || m_bRetryNow; });
            } else {
                m_wake.wait_for(lock, retry, [this] { return m_bStop || m_bRetryNow; });
                retry = std::min(retry * 2, kRetryLongest);
            }
            m_bRowsAdded = false;
            m_bRetryNow = false;
            if (m_bStop) {
                return;
            }
        }
    }

    // A new connection, the schema made sure of; false with m_down saying why.
    bool Reconnect(std::string& why) {
        Connection connection;
        bool bReady = ConnectionTry(m_place, connection, why) == ConnectOutcome::Connected &&
                      SchemaReady(connection.get(), true, m_place, why);
        std::lock_guard<std::mutex> lock(m_connectionMutex);
        if (bReady) {
            m_connection = std::move(connection);
            m_down.clear();
        } else {
            m_down = why;
        }
        return bReady;
    }

    // Sends the oldest queued rows in one transaction and unqueues them.
    // bSentAll: the queue is empty now. False when the server failed.
    bool SendBatch(bool& bSentAll) {
        struct Queued {
            long long seq;
            Parameters values;
        };
        std::vector<Queued> batch;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            sqlite3_stmt* pStmt = nullptr;
            const std::string sql = std::string("SELECT t.seq, ") + kColumns +
                                    " FROM to_send t JOIN attempts a USING (attempt) ORDER BY t.seq LIMIT " +
                                    std::to_string(kSendBatch);
            if (sqlite3_prepare_v2(m_queue.get(), sql.c_str(), -1, &pStmt, nullptr) != SQLITE_OK) {
                return false;
            }
            while (sqlite3_step(pStmt) == SQLITE_ROW) {
                Queued queued{sqlite3_column_int64(pStmt, 0), {}};
                for (int column = 1; column <= kColumnCount; ++column) {
                    const auto* pText = sqlite3_column_text(pStmt, column);
                    if (pText == nullptr) {
                        queued.values.emplace_back();
                    } else {
                        queued.values.emplace_back(std::in_place, reinterpret_cast<const char*>(pText),
                                                   static_cast<std::size_t>(sqlite3_column_bytes(pStmt, column)));
                    }
                }
                batch.push_back(std::move(queued));
            }
            sqlite3_finalize(pStmt);
        }
        if (batch.empty()) {
            bSentAll = true;
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(m_connectionMutex);
            if (!m_connection) {
                return false;
            }
            PGconn* pConn = m_connection.get();
            std::string insert = std::string("INSERT INTO attempts (") + kColumns + ") VALUES (";
            for (int i = 1; i <= kColumnCount; ++i) {
                insert += (i == 1 ? "$" : ", $") + std::to_string(i);
            }
            insert += ") ON CONFLICT (attempt) DO NOTHING";
            Result result = Execute(pConn, "BEGIN");
            for (std::size_t i = 0; i < batch.size() && Succeeded(result); ++i) {
                result = Execute(pConn, insert, batch[i].values);
            }
            if (Succeeded(result)) {
                result = Execute(pConn, "COMMIT");
            }
            if (!Succeeded(result)) {
                const std::string why = m_place.Scrubbed(
                    OneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(pConn)));
                // Whatever failed, the rows stay queued; a new connection
                // starts the next attempt clean.
                ConnectionLost(why);
                return false;
            }
        }
        std::lock_guard<std::mutex> lock(m_queueMutex);
        const std::string unqueue = "DELETE FROM to_send WHERE seq <= " + std::to_string(batch.back().seq);
        sqlite3_exec(m_queue.get(), unqueue.c_str(), nullptr, nullptr, nullptr);
        bSentAll = batch.size() < static_cast<std::size_t>(kSendBatch);
        return true;
    }

    const ServerPlace m_place;

    // The server connection, shared by queries and the sender; m_down: why
    // the server cannot be reached, "" while it can.
    std::mutex m_connectionMutex;
    Connection m_connection;
    std::string m_down;

    // The spool as a unit store (Insert, and queries while the server is
    // away), and a connection of the sender's to its queue; null for a store
    // opened to read.
    std::unique_ptr<UnitStore> m_pSpool;
    std::mutex m_queueMutex;
    SpoolConnection m_queue;

    // Wakes the sender: rows added, a Flush asking to retry now, or the end.
    // Written by Insert, Flush and the destructor, read by the sender, all
    // under m_wakeMutex. m_sent wakes a Flush after each batch.
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    std::condition_variable m_sent;
    bool m_bStop = false;
    bool m_bRowsAdded = false;
    bool m_bRetryNow = false;
    std::thread m_sender;  // last: it starts when all it uses is ready
};

bool SpoolOpen(const std::string& path, std::unique_ptr<UnitStore>& pSpool, SpoolConnection& queue,
               std::string& reason) {
    pSpool = UnitStoreOpen(path, reason);
    if (!pSpool) {
        return false;
    }
    sqlite3* pOpened = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &pOpened, SQLITE_OPEN_READWRITE, nullptr);
    queue.reset(pOpened);
    if (rc != SQLITE_OK) {
        reason = pOpened == nullptr ? std::string("out of memory") : sqlite3_errmsg(pOpened);
        return false;
    }
    sqlite3_busy_timeout(queue.get(), 5000);
    if (sqlite3_exec(queue.get(), "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(queue.get(), kQueueSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        reason = sqlite3_errmsg(queue.get());
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<UnitStore> PostgresUnitStoreOpen(const std::string& uri, bool bWrite, std::string& reason) {
    ServerPlace place;
    if (!ServerPlaceMake(uri, place, reason)) {
        return nullptr;
    }
    Connection connection;
    std::string down;
    switch (ConnectionTry(place, connection, down)) {
    case ConnectOutcome::Refused:
        reason = down;
        return nullptr;
    case ConnectOutcome::Unreachable:
        if (!bWrite) {
            reason = "the PostgreSQL server at " + place.where + " cannot be reached: " + down;
            return nullptr;
        }
        break;
    case ConnectOutcome::Connected:
        if (!SchemaReady(connection.get(), bWrite, place, reason)) {
            return nullptr;
        }
        break;
    }
    if (!bWrite) {
        return std::make_unique<PostgresUnitStore>(std::move(place), std::move(connection));
    }
    std::string spoolPath;
    std::unique_ptr<UnitStore> pSpool;
    SpoolConnection queue;
    if (!SpoolPath(place, spoolPath, reason) || !SpoolOpen(spoolPath, pSpool, queue, reason)) {
        reason = "cannot open its spool " + spoolPath + ": " + reason;
        return nullptr;
    }
    return std::make_unique<PostgresUnitStore>(std::move(place), std::move(connection), std::move(down),
                                               std::move(pSpool), std::move(queue));
}
