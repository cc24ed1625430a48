#include "web/web_api.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>

#include <nlohmann/json.hpp>

#include "station/download_record.h"
#include "station/port_json.h"
#include "station/run_facts.h"
#include "station/station.h"
#include "web/web_metrics.h"
#include "web/web_page.h"

namespace {

constexpr std::size_t kRecordsDefault = 50;
constexpr char kBatchRefusal[] = "this is a batch: it starts and stops its boxes itself";
constexpr std::size_t kRecordsMost = 1000;
constexpr std::size_t kRecordReadChunk = 64 * 1024;
// The cookie the page's changing requests carry the token in.
constexpr char kTokenCookie[] = "kelvora_token";
// A transfer's rate is shown once it has run this long: before, a few
// blocks in a port's buffer make it look far faster than the line.
constexpr double kRateAfterSeconds = 1.0;

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

// What the box is doing, finer than the slot's state: the page colours the
// tile by it.
const char* SlotPhase(const SlotSnapshot& slot) {
    switch (slot.state) {
    case SlotState::Ready:
        return "ready";
    case SlotState::PortLost:
        return "port-lost";
    case SlotState::Ended:
        return slot.end == RunEnd::Completed ? "completed" : "failed";
    case SlotState::Running:
        break;
    }
    unsigned sent = 0;
    unsigned total = 0;
    if (ProgressParse(slot.status.c_str(), sent, total)) {
        return "sending";
    }
    if (slot.status.find("Checking") != std::string::npos) {
        return "checking";
    }
    if (slot.status.find("Burning") != std::string::npos) {
        return "burning";
    }
    return "catching";
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

// The token as the cookie carries it: hex, so that any byte of it is safe
// in a cookie.
std::string CookieToken(const std::string& token) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : token) {
        out += kHex[static_cast<unsigned char>(c) >> 4];
        out += kHex[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

// The value of one cookie in a Cookie header ("a=1; b=2"); "" when absent.
std::string CookieValue(const std::string& header, const std::string& name) {
    std::size_t from = 0;
    while (from < header.size()) {
        const std::size_t end = std::min(header.find(';', from), header.size());
        std::string pair = header.substr(from, end - from);
        pair.erase(0, std::min(pair.find_first_not_of(' '), pair.size()));
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=') {
            return pair.substr(name.size() + 1);
        }
        from = end + 1;
    }
    return "";
}

nlohmann::json SlotJson(const SlotSnapshot& slot) {
    const char* pPhase = SlotPhase(slot);
    nlohmann::json value = {
        {"slot", slot.number},
        {"key", std::string(1, slot.key)},
        {"port", slot.port.name},
        {"state", SlotStateName(slot.state)},
        {"phase", pPhase},
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
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - slot.transferStart).count();
    if (std::string(pPhase) == "sending" && seconds >= kRateAfterSeconds && slot.sent > slot.transferStartSent) {
        const double rate = (slot.sent - slot.transferStartSent) / seconds;
        value["rate"] = std::round(rate);
        value["seconds_left"] = std::round((slot.total > slot.sent ? slot.total - slot.sent : 0) / rate);
    }
    if (slot.end) {
        value["end"] = RunEndName(*slot.end);
    }
    if (!slot.unit.empty()) {
        value["unit"] = BytesAsCodePoints(slot.unit);
    }
    return value;
}

}  // namespace

WebAnswer WebError(int status, const std::string& text) {
    return Json(status, nlohmann::json{{"error", text}});
}

WebApi::WebApi(Station& station, const WebMetrics& metrics, WebSettings settings)
    : m_station(station), m_metrics(metrics), m_settings(std::move(settings)), m_ownPort(m_settings.port) {}

WebAnswer WebApi::Answer(const WebRequest& request) const {
    const std::size_t question = request.target.find('?');
    const std::string path = request.target.substr(0, question);
    const std::string query = question == std::string::npos ? "" : request.target.substr(question + 1);
    const bool bGet = request.method == "GET";
    const bool bPost = request.method == "POST";

    if (path == "/api/station") {
        return bGet ? StationState() : MethodNotAllowed("GET");
    }
    if (path == "/api/records") {
        return bGet ? Records(query) : MethodNotAllowed("GET");
    }
    if (path == "/metrics") {
        if (!bGet) {
            return MethodNotAllowed("GET");
        }
        WebAnswer answer;
        answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
        answer.body = m_metrics.Text(m_station, m_settings);
        return answer;
    }
    if (path == "/" && bGet && query.find("token=") != std::string::npos) {
        return TokenLanding(query);
    }
    if (path == "/api/start") {
        if (!bPost) {
            return MethodNotAllowed("POST");
        }
        WebAnswer refusal;
        if (Refused(request, refusal)) {
            return refusal;
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
        // The server streams it; any other method is wrong.
        return MethodNotAllowed("GET");
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
    if (request.method != (bChange ? "POST" : "GET")) {
        return MethodNotAllowed(bChange ? "POST" : "GET");
    }
    const std::string numberText = rest.substr(0, slash);
    const unsigned number = SlotNumberOf(numberText);
    if (bChange) {
        WebAnswer refusal;
        if (Refused(request, refusal)) {
            return refusal;
        }
    }
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
    const unsigned ended = totals.completed + totals.failed;
    const double hours = std::chrono::duration<double>(std::chrono::steady_clock::now() - totals.began).count() / 3600.0;
    nlohmann::json target = nullptr;
    if (m_settings.target > 0) {
        target = {{"boxes", m_settings.target},
                  {"left", totals.completed >= m_settings.target ? 0 : m_settings.target - totals.completed}};
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
                           {"yield", ended == 0 ? nlohmann::json(nullptr)
                                                : nlohmann::json(std::round(1000.0 * totals.completed / ended) / 10)},
                           {"boxes_per_hour", totals.completed == 0 || hours <= 0
                                                  ? nlohmann::json(nullptr)
                                                  : nlohmann::json(std::round(10 * totals.completed / hours) / 10)}}},
                         {"target", target},
                         {"slots", slots},
                     });
}

WebAnswer WebApi::Records(const std::string& query) const {
    std::size_t limit = kRecordsDefault;
    for (const std::string& pair : QueryPairs(query)) {
        if (pair.rfind("limit=", 0) == 0) {
            const unsigned wanted = SlotNumberOf(pair.substr(6));
            if (wanted == 0 || wanted > kRecordsMost) {
                return WebError(400, "limit must be a number from 1 to " + std::to_string(kRecordsMost));
            }
            limit = wanted;
        }
    }
    nlohmann::json records = nlohmann::json::array();
    if (!m_settings.record.empty()) {
        for (const std::string& line : RecordLinesNewestFirst(m_settings.record, limit)) {
            records.push_back(nlohmann::json::parse(line));
        }
    }
    return Json(200, records);
}

std::vector<std::string> WebApi::RecordLinesNewestFirst(const std::string& path, std::size_t limit) {
    std::vector<std::string> lines;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return lines;
    }
    file.seekg(0, std::ios::end);
    std::streamoff pos = file.tellg();
    std::string pending;  // the file's bytes from pos up to the oldest line taken
    auto take = [&lines](const std::string& line) {
        const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
        if (!value.is_discarded() && value.is_object()) {
            lines.push_back(line);
        }
    };
    while (lines.size() < limit) {
        const std::size_t newline = pending.rfind('\n');
        if (newline != std::string::npos) {
            const std::string line = pending.substr(newline + 1);
            pending.resize(newline);
            take(line);
            continue;
        }
        if (pos <= 0) {
            take(pending);
            break;
        }
        const std::streamoff size = std::min<std::streamoff>(pos, kRecordReadChunk);
        pos -= size;
        std::string chunk(static_cast<std::size_t>(size), '\0');
        file.seekg(pos);
        if (!file.read(chunk.data(), size)) {
            break;
        }
        pending.insert(0, chunk);
    }
    return lines;
}

bool WebApi::OwnHost(const std::string& host) const {
    // The host names the station by its address, or by a name for loopback;
    // bound to every address, any name with the station's port is its own.
    const std::string port = ":" + std::to_string(m_ownPort);
    if (host.size() <= port.size() || host.compare(host.size() - port.size(), port.size(), port) != 0) {
        return false;
    }
    const std::string name = host.substr(0, host.size() - port.size());
    const std::string& address = m_settings.address;
    if (address == "0.0.0.0" || address == "::") {
        return true;
    }
    if (name == address || name == "[" + address + "]") {
        return true;
    }
    const bool bLoopback = address.rfind("127.", 0) == 0 || address == "::1";
    return bLoopback && name == "localhost";
}

bool WebApi::Refused(const WebRequest& request, WebAnswer& refusal) const {
    // Another page in the operator's browser may post here, but its Origin
    // then names that page, and a name rebound to this address keeps its own
    // Host.
    if (!OwnHost(request.host)) {
        refusal = WebError(403, "the Host header does not name this station");
        return true;
    }
    if (!request.origin.empty() && request.origin != "http://" + request.host) {
        refusal = WebError(403, "requests from another origin are refused");
        return true;
    }
    if (!m_settings.token.empty() && !SameSecret(request.authorization, "Bearer " + m_settings.token) &&
        !SameSecret(CookieValue(request.cookie, kTokenCookie), CookieToken(m_settings.token))) {
        refusal = WebError(401, "a changing request needs Authorization: Bearer TOKEN (or the page opened with ?token=TOKEN)");
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
        answer.setCookie = std::string(kTokenCookie) + "=" + CookieToken(m_settings.token) + "; Path=/; HttpOnly; SameSite=Strict";
    }
    return answer;
}
