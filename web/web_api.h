// The station's HTTP API: what each request gets, as a pure answer built from
// the station's snapshots, its record file and its metrics. Knows no socket:
// the server hands it the parts of a request that matter and sends back what
// it gives.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/records.h"

class Station;
struct LoggedEvent;

struct WebSettings {
    std::string address = "127.0.0.1";  // an IP address, as given
    unsigned short port = 0;            // 0: any free port (the URL names the one taken)
    std::string token;                  // needed by every request but the landing; "": none
    std::string record;                 // the record file; "": none
    ImageFacts image;
    std::string stationName;
    std::string version;
    bool bBatch = false;   // a batch: it starts and stops its boxes itself
};

struct WebRequest {
    std::string method;  // HEAD is answered as GET; the server leaves the body out
    std::string target;  // path and query, as sent
    std::string host;    // the Host header; "" when missing
    std::string origin;  // the Origin header; "" when missing
    std::string authorization;
    std::string cookie;  // the Cookie header; "" when missing
    std::string lastEventId;  // the Last-Event-ID header: a reconnecting event client's; "" when missing
};

struct WebAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string allow;      // with 405: the methods the path takes
    std::string location;   // with 303: where to go
    std::string setCookie;  // a Set-Cookie header's value; "": none
    bool bEvents = false;   // GET /events let through: the server streams from here
    // With bEvents: the last event the client saw (Last-Event-ID, else
    // ?since=N); none for a new client, or an id that is no number.
    std::optional<std::uint64_t> eventsSince;
};

// {"error": text} with the status.
WebAnswer WebError(int status, const std::string& text);

class WebApi {
public:
    WebApi(Station& station, WebSettings settings);

    // The port actually listened on (the Host of every request names it, and
    // the page's cookie is named after it) and the machine's host name (a
    // Host may give it when the station serves on every address).
    void OwnPlaceSet(unsigned short port, const std::string& hostName);
    WebAnswer Answer(const WebRequest& request) const;
    // GET /api/station's answer; also what every state message of /events
    // carries.
    WebAnswer StationState() const;
    // An event of the station's log as /events sends it: a JSON object.
    static std::string EventData(const LoggedEvent& event);

    // One page of records, newest first, read from the end of the file
    // backwards: at most limit records that begin at or after `after` and
    // end before `before`, and that keep() takes (lines that are no JSON
    // object, such as a line being appended, are left out). No more than
    // scanMost bytes are read: next then says where to go on.
    struct RecordPage {
        std::vector<nlohmann::json> records;
        std::vector<std::string> lines;  // each record's line as read, in the same order
        std::int64_t next = -1;  // the cursor for the older ones; -1: the file's start was reached
        std::int64_t end = 0;    // the file's size as read: the cursor for newer ones
    };
    struct RecordQuery {
        std::size_t limit = 50;
        std::int64_t before = -1;  // -1: the file's end
        std::int64_t after = 0;
        std::size_t scanMost = 8 * 1024 * 1024;
    };
    static RecordPage RecordsNewestFirst(const std::string& path, const RecordQuery& query,
                                         const std::function<bool(const nlohmann::json&)>& keep);

private:
    // GET /api/records, and as CSV /api/records.csv: the same filters
    // (station, unit, limit, before, after).
    WebAnswer Records(const std::string& query, bool bCsv) const;
    // GET /api/units/UNIT: every attempt the unit store holds of the unit.
    WebAnswer UnitAttempts(const std::string& unit) const;
    WebAnswer SlotRequest(const WebRequest& request, const std::string& rest) const;
    // True, with the answer to send, when a request may not go on: its Host
    // is not this station's, or the token is set and it carries neither the
    // token nor the page's cookie.
    bool Refused(const WebRequest& request, bool bPage, WebAnswer& refusal) const;
    // True, with the answer to send, when a changing request comes from
    // another page.
    bool ForeignOrigin(const WebRequest& request, WebAnswer& refusal) const;
    // GET /?token=TOKEN: sets the page's cookie and sends the browser on to
    // the page without the token in the address.
    WebAnswer TokenLanding(const std::string& query) const;
    bool OwnHost(const std::string& host) const;
    // The page's cookie: named after the port, so that stations on one host
    // keep theirs apart.
    std::string CookieName() const;

    Station& m_station;
    const WebSettings m_settings;
    unsigned short m_ownPort = 0;
    std::string m_hostName;  // in lower case
    // What the page's cookie carries once the token was given: a random
    // value of this process, never the token in any form.
    const std::string m_session;
};
