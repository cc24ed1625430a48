#include "web/web_api.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "station/download_record.h"
#include "station/port_json.h"
#include "station/record_csv.h"
#include "station/run_facts.h"
#include "station/station.h"
#include "web/web_metrics.h"
#include "web/web_page.h"

namespace {

constexpr std::size_t kRecordsDefault = 50;
constexpr char kBatchRefusal[] = "this is a batch: it starts and stops its boxes itself";
constexpr std::size_t kRecordsMost = 500;
constexpr std::size_t kRecordReadChunk = 64 * 1024;
// The station= value that asks for every station's records.
constexpr char kEveryStation[] = "*";
constexpr char kTokenRefusal[] =
    "this station needs its token: Authorization: Bearer TOKEN (or the page opened with ?token=TOKEN)";
// What a browser gets for the page without the cookie: a form that asks for
// the token and lands on /?token=.
constexpr char kTokenPage[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kelvora station</title>
</head>
<body>
<h1>Kelvora station</h1>
<p>This station needs its token.</p>
<form method="get" action="/">
<label>Token <input name="token" type="password" autocomplete="current-password" required autofocus></label>
<button type="submit">Open</button>
</form>
</body>
</html>
)";
WebAnswer Json(int status, const nlohmann::json& value) {
    WebAnswer answer;
    answer.status = status;
    // Names and paths are the system's bytes and need not be UTF-8: a stray
    // byte becomes U+FFFD rather than an exception on the server's thread.
    answer.body = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return answer;
}

WebAnswer MethodNotAllowed(const char* allow) {
    WebAnswer answer = WebError(405, std::string("method not allowed; use ") + allow);
    answer.allow = allow;
    return answer;
}

// A slot number as a path gives it: 1 to 6 digits; 0 when it is none.
unsigned SlotNumberOf(const std::string& text) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return static_cast<unsigned>(std::stoul(text));
}

// Compares without leaking, through the time taken, how much of the token
// was right.
bool SameSecret(const std::string& given, const std::string& secret) {
    unsigned char differ = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        differ |= static_cast<unsigned char>(given[i] ^ secret[i % std::max<std::size_t>(secret.size(), 1)]);
    }
    return differ == 0;
}

// What the system knows of the slot's adapter, as --list-ports --json lists
// it; null for a port it does not list.
nlohmann::json AdapterJson(const RunPort& port) {
    return port.info ? nlohmann::json(PortInfoJson(*port.info)) : nlohmann::json(nullptr);
}

// A query's name=value pairs, as sent.
std::vector<std::string> QueryPairs(const std::string& query) {
    std::vector<std::string> pairs;
    std::size_t from = 0;
    while (from <= query.size()) {
        const std::size_t amp = std::min(query.find('&', from), query.size());
        pairs.push_back(query.substr(from, amp - from));
        from = amp + 1;
    }
    return pairs;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query value with its %XX escapes and '+' decoded; a broken escape stays
// as it is.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// 32 bytes from the system's random source, in hex.
std::string RandomSession() {
    static const char kHex[] = "0123456789abcdef";
    std::random_device random;
    std::string out;
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t word = random();
        for (int shift = 28; shift >= 0; shift -= 4) {
            out += kHex[(word >> shift) & 15];
        }
    }
    return out;
}

// Every value of the cookie of that name in a Cookie header ("a=1; b=2"):
// a browser may send several of one name (set for other paths or hosts),
// and the one that fits counts.
std::vector<std::string> CookieValues(const std::string& header, const std::string& name) {
    std::vector<std::string> values;
    std::size_t from = 0;
    while (from < header.size()) {
        const std::size_t end = std::min(header.find(';', from), header.size());
        std::string pair = header.substr(from, end - from);
        pair.erase(0, std::min(pair.find_first_not_of(' '), pair.size()));
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=') {
            values.push_back(pair.substr(name.size() + 1));
        }
        from = end + 1;
    }
    return values;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// A Host header's (or an Origin's) name and port, the name in lower case
// and without an IPv6 address's brackets, the port 80 (http's) when left
// out; false when it is no host[:port].
bool HostParse(const std::string& text, std::string& name, unsigned& port) {
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            return false;
        }
        name = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return false;
        }
        portText = rest.empty() ? "" : rest.substr(1);
    } else {
        const std::size_t colon = text.find(':');
        name = text.substr(0, colon);
        portText = colon == std::string::npos ? "" : text.substr(colon + 1);
        if (colon != std::string::npos && portText.empty()) {
            return false;
        }
    }
    if (name.empty() || name.find_first_of(" /?#@\\\t") != std::string::npos) {
        return false;
    }
    name = Lower(name);
    port = 80;
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        port = static_cast<unsigned>(std::stoul(portText));
    }
    return true;
}

// A cursor into the record file: a byte offset, as the answer gave it.
bool CursorParse(const std::string& text, std::int64_t& cursor) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    cursor = std::stoll(text);
    return true;
}

nlohmann::json SlotJson(const SlotSnapshot& slot) {
    nlohmann::json value = {
        {"slot", slot.number},
        {"key", std::string(1, slot.key)},
        {"port", slot.port.name},
        {"state", SlotStateName(slot.state)},
        {"phase", SlotPhaseName(slot.phase)},
        {"status", BytesAsCodePoints(slot.status)},
        {"sent", slot.sent},
        {"total", slot.total},
        {"end", nullptr},
        {"message", BytesAsCodePoints(slot.message)},
        {"run", slot.run},
        {"completed", slot.completed},
        {"failed", slot.failed},
        {"rate", nullptr},
        {"seconds_left", nullptr},
        {"adapter", AdapterJson(slot.port)},
    };
    if (slot.pace.bytesPerSecond) {
        value["rate"] = std::round(*slot.pace.bytesPerSecond);
        value["seconds_left"] = slot.pace.secondsLeft.value_or(0);
    }
    if (slot.end) {
        value["end"] = RunEndName(*slot.end);
    }
    if (!slot.unit.empty()) {
        value["unit"] = BytesAsCodePoints(slot.unit);
    }
    if (slot.state != SlotState::Running && slot.wait != SlotWait::Nothing) {
        value["wait"] = SlotWaitText(slot.wait);
    }
    if (slot.boot) {
        value["boot"] = BootResultName(*slot.boot);
        value["boot_text"] = BytesAsCodePoints(slot.bootText);
    }
    return value;
}

}  // namespace

WebAnswer WebError(int status, const std::string& text) {
    return Json(status, nlohmann::json{{"error", text}});
}

WebApi::WebApi(Station& station, WebSettings settings)
    : m_station(station),
      m_settings(std::move(settings)),
      m_ownPort(m_settings.port),
      m_session(RandomSession()) {}

WebAnswer WebApi::Answer(const WebRequest& request) const {
    const std::size_t question = request.target.find('?');
    const std::string path = request.target.substr(0, question);
    const std::string query = question == std::string::npos ? "" : request.target.substr(question + 1);
    const bool bGet = request.method == "GET" || request.method == "HEAD";
    const bool bPost = request.method == "POST";

    // Every request names this station in its Host, so that a page whose
    // name was rebound to this address reads nothing; and with a token
    // every request carries it, the landing that gives it aside.
    const bool bLanding = path == "/" && bGet && query.find("token=") != std::string::npos;
    WebAnswer refusal;
    if (Refused(request, !bLanding && (path == "/" || WebPageFileOf(path)), refusal)) {
        if (!bLanding || refusal.status != 401) {
            return refusal;
        }
    }
    if (bLanding) {
        return TokenLanding(query);
    }
    if (bPost && ForeignOrigin(request, refusal)) {
        return refusal;
    }

    if (path == "/api/station") {
        return bGet ? StationState() : MethodNotAllowed("GET");
    }
    if (path == "/api/records" || path == "/api/records.csv") {
        return bGet ? Records(query, path.ends_with(".csv")) : MethodNotAllowed("GET");
    }
    const std::string units = "/api/units/";
    if (path.starts_with(units) && path.size() > units.size()) {
        return bGet ? UnitAttempts(PercentDecoded(path.substr(units.size()))) : MethodNotAllowed("GET");
    }
    if (path == "/metrics") {
        if (!bGet) {
            return MethodNotAllowed("GET");
        }
        WebAnswer answer;
        answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
        answer.body = MetricsText(m_station, m_settings);
        return answer;
    }
    if (path == "/api/start") {
        if (!bPost) {
            return MethodNotAllowed("POST");
        }
        if (m_station.Closed()) {
            return WebError(409, StartRefusalText(m_station, 0, Station::StartResult::Closed, ""));
        }
        if (m_settings.bBatch) {
            return WebError(409, kBatchRefusal);
        }
        return Json(202, nlohmann::json{{"started", m_station.StartAllReady()}});
    }
    if (path == "/events") {
        if (!bGet) {
            return MethodNotAllowed("GET");
        }
        WebAnswer answer;
        answer.contentType = "text/event-stream";
        answer.bEvents = true;
        std::string since = request.lastEventId;
        for (const std::string& pair : QueryPairs(query)) {
            if (since.empty() && pair.rfind("since=", 0) == 0) {
                since = pair.substr(6);
            }
        }
        std::int64_t id = 0;
        if (CursorParse(since, id)) {
            answer.eventsSince = static_cast<std::uint64_t>(id);
        }
        return answer;
    }
    if (const WebPageFile* pFile = WebPageFileOf(path)) {
        if (!bGet) {
            return MethodNotAllowed("GET");
        }
        WebAnswer answer;
        answer.contentType = std::string(pFile->contentType);
        answer.body = std::string(pFile->body);
        return answer;
    }
    const std::string slots = "/api/slots/";
    if (path.rfind(slots, 0) == 0) {
        return SlotRequest(request, path.substr(slots.size()));
    }
    return WebError(404, "no such path: " + BytesAsCodePoints(path));
}

WebAnswer WebApi::SlotRequest(const WebRequest& request, const std::string& rest) const {
    const std::size_t slash = rest.find('/');
    const std::string what = slash == std::string::npos ? "" : rest.substr(slash + 1);
    if (slash == std::string::npos || (what != "console" && what != "start" && what != "stop")) {
        return WebError(404, "no such path: /api/slots/" + BytesAsCodePoints(rest));
    }
    const bool bChange = what != "console";
    const bool bRead = request.method == "GET" || request.method == "HEAD";
    if (bChange ? request.method != "POST" : !bRead) {
        return MethodNotAllowed(bChange ? "POST" : "GET");
    }
    const std::string numberText = rest.substr(0, slash);
    const unsigned number = SlotNumberOf(numberText);
    if (number == 0 || number > m_station.SlotCount()) {
        return WebError(404, "no slot " + BytesAsCodePoints(numberText));
    }
    if (what == "console") {
        const SlotSnapshot slot = m_station.Snapshot(number);
        return Json(200, nlohmann::json{{"slot", number}, {"console", BytesAsCodePoints(slot.console.bytes)}});
    }
    if (m_settings.bBatch) {
        return WebError(409, kBatchRefusal);
    }
    if (what == "stop") {
        const Station::StopResult result = m_station.Stop(number);
        if (result == Station::StopResult::Stopping) {
            return Json(202, nlohmann::json{{"slot", number}});
        }
        return WebError(result == Station::StopResult::NoSuchSlot ? 404 : 409, StopRefusalText(number, result));
    }
    std::string reason;
    unsigned run = 0;
    const Station::StartResult result = m_station.Start(number, &reason, &run);
    if (result == Station::StartResult::Started) {
        return Json(202, nlohmann::json{{"slot", number}, {"run", run}});
    }
    return WebError(result == Station::StartResult::NoSuchSlot ? 404 : 409,
                    StartRefusalText(m_station, number, result, reason));
}

WebAnswer WebApi::StationState() const {
    nlohmann::json slots = nlohmann::json::array();
    for (unsigned number = 1; number <= m_station.SlotCount(); ++number) {
        slots.push_back(SlotJson(m_station.Snapshot(number)));
    }
    const Station::Totals totals = m_station.TotalsNow();
    nlohmann::json target = nullptr;
    if (totals.target > 0) {
        target = {{"boxes", totals.target}, {"left", totals.targetLeft}, {"reached", totals.targetReached}};
    }
    return Json(200, nlohmann::json{
                         {"name", m_settings.stationName},
                         {"version", m_settings.version},
                         {"mode", m_settings.bBatch ? "batch" : "station"},
                         {"image",
                          {{"path", m_settings.image.path},
                           {"bytes", m_settings.image.bytes},
                           {"sha256", m_settings.image.sha256}}},
                         {"totals",
                          {{"completed", totals.completed},
                           {"failed", totals.failed},
                           {"running", totals.running},
                           {"yield", totals.yield ? nlohmann::json(*totals.yield) : nlohmann::json(nullptr)},
                           {"boxes_per_hour", totals.boxesPerHour ? nlohmann::json(*totals.boxesPerHour)
                                                                  : nlohmann::json(nullptr)}}},
                         {"target", target},
                         // The unit store, when there is one: rows its server
                         // does not have yet, and whether it is away.
                         {"store", m_station.Store() == nullptr
                                       ? nlohmann::json(nullptr)
                                       : nlohmann::json{{"waiting", totals.storeWaiting},
                                                        {"server_away", totals.bStoreDown}}},
                         {"slots", slots},
                     });
}

std::string WebApi::EventData(const LoggedEvent& event) {
    nlohmann::json value = {{"id", event.id}, {"kind", EventKindName(event.kind)}, {"slot", event.slot}};
    switch (event.kind) {
    case EventKind::Phase:
        value["phase"] = SlotPhaseName(event.phase);
        value["run"] = event.run;
        break;
    case EventKind::Progress:
        value["sent"] = event.sent;
        value["total"] = event.total;
        break;
    case EventKind::RunStarted:
    case EventKind::RecordWritten:
        value["run"] = event.run;
        break;
    case EventKind::RunEnded:
        value["run"] = event.run;
        value["end"] = RunEndName(event.end);
        value["text"] = BytesAsCodePoints(event.text);
        break;
    case EventKind::Status:
    case EventKind::Message:
    case EventKind::Boot:
    case EventKind::Line:
    case EventKind::RecordLost:
    case EventKind::Refused:
        value["text"] = BytesAsCodePoints(event.text);
        break;
    case EventKind::Quit:
        break;
    }
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

WebAnswer WebApi::Records(const std::string& query, bool bCsv) const {
    RecordQuery scan;
    scan.limit = kRecordsDefault;
    // By default this station's own records: several stations may append
    // to one file. A batch's records carry no station.
    std::string station = m_settings.bBatch ? "" : m_settings.stationName;
    bool bEvery = false;
    std::optional<std::string> unit;
    for (const std::string& pair : QueryPairs(query)) {
        const std::size_t equals = pair.find('=');
        const std::string name = pair.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : pair.substr(equals + 1);
        if (name == "limit") {
            const unsigned wanted = SlotNumberOf(value);
            if (wanted == 0 || wanted > kRecordsMost) {
                return WebError(400, "limit must be a number from 1 to " + std::to_string(kRecordsMost));
            }
            scan.limit = wanted;
        } else if (name == "before" || name == "after") {
            if (!CursorParse(value, name == "before" ? scan.before : scan.after)) {
                return WebError(400, name + " must be a cursor that an earlier answer gave");
            }
        } else if (name == "station") {
            station = PercentDecoded(value);
            bEvery = station == kEveryStation;
        } else if (name == "unit") {
            unit = PercentDecoded(value);
        }
    }
    const RecordPage page = m_settings.record.empty()
                                ? RecordPage{}
                                : RecordsNewestFirst(m_settings.record, scan, [&](const nlohmann::json& record) {
                                      const auto text = [&record](const char* pKey) {
                                          const auto found = record.find(pKey);
                                          return found != record.end() && found->is_string()
                                                     ? found->get<std::string>()
                                                     : std::string();
                                      };
                                      return (bEvery || text("station") == station) &&
                                             (!unit || text("unit") == *unit);
                                  });
    if (bCsv) {
        WebAnswer answer;
        answer.contentType = "text/csv; charset=utf-8";
        answer.body = RecordsCsvHeader();
        for (const std::string& line : page.lines) {
            answer.body += RecordCsvLine(line);
        }
        return answer;
    }
    nlohmann::json records = nlohmann::json::array();
    for (nlohmann::json record : page.records) {
        if (!record.contains("station")) {
            record["station"] = nullptr;
        }
        records.push_back(std::move(record));
    }
    return Json(200, nlohmann::json{
                         {"station", bEvery ? nlohmann::json(nullptr) : nlohmann::json(station)},
                         {"records", std::move(records)},
                         {"next", page.next < 0 ? nlohmann::json(nullptr) : nlohmann::json(page.next)},
                         {"end", page.end},
                     });
}

WebAnswer WebApi::UnitAttempts(const std::string& unit) const {
    UnitStore* pStore = m_station.Store();
    if (pStore == nullptr) {
        return WebError(404, "this station keeps no unit store");
    }
    HistoryFilter filter;
    filter.unit = unit;
    filter.limit = kRecordsMost;
    std::vector<AttemptRow> rows;
    std::string reason;
    if (!pStore->History(filter, rows, reason)) {
        return WebError(503, "the unit store cannot be read: " + reason);
    }
    if (rows.empty()) {
        return WebError(404, "no attempts of unit " + BytesAsCodePoints(unit));
    }
    nlohmann::json attempts = nlohmann::json::array();
    for (const AttemptRow& row : rows) {
        nlohmann::json record = nlohmann::json::parse(row.line, nullptr, false);
        if (record.is_object()) {
            record["attempt"] = row.attempt;
            attempts.push_back(std::move(record));
        }
    }
    return Json(200, nlohmann::json{{"unit", BytesAsCodePoints(unit)}, {"attempts", std::move(attempts)}});
}

WebApi::RecordPage WebApi::RecordsNewestFirst(const std::string& path, const RecordQuery& query,
                                              const std::function<bool(const nlohmann::json&)>& keep) {
    RecordPage page;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return page;
    }
    file.seekg(0, std::ios::end);
    page.end = file.tellg();
    if (page.end < 0) {
        page.end = 0;
        return page;
    }
    std::int64_t pos = query.before < 0 ? page.end : std::min(query.before, page.end);
    const std::int64_t after = query.after;
    std::int64_t scanned = 0;
    std::string pending;  // the file's bytes from pos up to the oldest line looked at
    auto take = [&](const std::string& line) {
        const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
        if (!value.is_discarded() && value.is_object() && keep(value)) {
            page.records.push_back(value);
            page.lines.push_back(line);
        }
    };
    while (page.records.size() < query.limit) {
        const std::size_t newline = pending.rfind('\n');
        if (newline != std::string::npos) {
            if (pos + static_cast<std::int64_t>(newline) + 1 < after) {
                return page;  // what is left is older than asked for
            }
            take(pending.substr(newline + 1));
            pending.resize(newline);
            continue;
        }
        if (pos <= 0) {
            if (after <= 0) {
                take(pending);
            }
            return page;
        }
        if (scanned >= static_cast<std::int64_t>(query.scanMost)) {
            break;  // enough read for one answer: the client goes on from here
        }
        const std::int64_t size = std::min<std::int64_t>(pos, kRecordReadChunk);
        pos -= size;
        scanned += size;
        std::string chunk(static_cast<std::size_t>(size), '\0');
        file.seekg(pos);
        if (!file.read(chunk.data(), size)) {
            return page;
        }
        pending.insert(0, chunk);
    }
    // Stopped with the limit reached or the reading bound: the older records
    // end where the oldest line looked at begins.
    page.next = pos + static_cast<std::int64_t>(pending.size());
    if (page.next <= 0 || page.next <= after) {
        page.next = -1;
    }
    return page;
}

void WebApi::OwnPlaceSet(unsigned short port, const std::string& hostName) {
    m_ownPort = port;
    m_hostName = Lower(hostName);
}

std::string WebApi::CookieName() const {
    return "kelvora_" + std::to_string(m_ownPort);
}

bool WebApi::OwnHost(const std::string& host) const {
    // The host names the station by its address, or by a name for loopback
    // or for every address. Names compare without regard to case, and a Host
    // without a port names http's 80.
    std::string name;
    unsigned port = 0;
    if (!HostParse(host, name, port) || port != m_ownPort) {
        return false;
    }
    const std::string address = Lower(m_settings.address);
    if (address == "0.0.0.0" || address == "::") {
        // Any address of the machine, or its name (also as a full domain
        // name): a name an attacker's page was rebound to is none of these.
        const bool bAddress = name.find_first_not_of("0123456789.") == std::string::npos ||
                              name.find(':') != std::string::npos;
        return bAddress || name == "localhost" ||
               (!m_hostName.empty() && (name == m_hostName || name.rfind(m_hostName + ".", 0) == 0));
    }
    if (name == address) {
        return true;
    }
    const bool bLoopback = address.rfind("127.", 0) == 0 || address == "::1";
    return bLoopback && name == "localhost";
}

bool WebApi::Refused(const WebRequest& request, bool bPage, WebAnswer& refusal) const {
    if (!OwnHost(request.host)) {
        refusal = WebError(403, "the Host header does not name this station");
        return true;
    }
    if (m_settings.token.empty()) {
        return false;
    }
    // Authorization: Bearer TOKEN, the scheme's name in any case.
    const std::string& given = request.authorization;
    const std::size_t space = given.find(' ');
    if (space != std::string::npos && Lower(given.substr(0, space)) == "bearer") {
        const std::size_t from = given.find_first_not_of(' ', space);
        if (from != std::string::npos && SameSecret(given.substr(from), m_settings.token)) {
            return false;
        }
    }
    for (const std::string& value : CookieValues(request.cookie, CookieName())) {
        if (SameSecret(value, m_session)) {
            return false;
        }
    }
    if (bPage) {
        // A person opened the page without its cookie: a form asks for the
        // token.
        refusal.status = 401;
        refusal.contentType = "text/html; charset=utf-8";
        refusal.body = kTokenPage;
    } else {
        refusal = WebError(401, kTokenRefusal);
    }
    return true;
}

bool WebApi::ForeignOrigin(const WebRequest& request, WebAnswer& refusal) const {
    // Another page in the operator's browser may post here, but its Origin
    // then names that page.
    if (request.origin.empty()) {
        return false;
    }
    const std::string scheme = "http://";
    std::string originName, hostName;
    unsigned originPort = 0, hostPort = 0;
    if (Lower(request.origin.substr(0, scheme.size())) != scheme ||
        !HostParse(request.origin.substr(scheme.size()), originName, originPort) ||
        !HostParse(request.host, hostName, hostPort) || originName != hostName || originPort != hostPort) {
        refusal = WebError(403, "requests from another origin are refused");
        return true;
    }
    return false;
}

WebAnswer WebApi::TokenLanding(const std::string& query) const {
    std::string token;
    for (const std::string& pair : QueryPairs(query)) {
        if (pair.rfind("token=", 0) == 0) {
            token = PercentDecoded(pair.substr(6));
        }
    }
    if (!m_settings.token.empty() && !SameSecret(token, m_settings.token)) {
        return WebError(401, "wrong token");
    }
    WebAnswer answer;
    answer.status = 303;
    answer.contentType = "text/plain; charset=utf-8";
    answer.location = "/";
    if (!m_settings.token.empty()) {
        answer.setCookie = CookieName() + "=" + m_session + "; Path=/; HttpOnly; SameSite=Strict";
    }
    return answer;
}
