// The station's HTTP API: what each request gets, as a pure answer built from
// the station's snapshots, its record file and its metrics. Knows no socket:
// the server hands it the parts of a request that matter and sends back what
// it gives.
#pragma once

#include <string>
#include <vector>

#include "station/records.h"

class Station;
class WebMetrics;

struct WebSettings {
    std::string address = "127.0.0.1";  // an IP address, as given
    unsigned short port = 0;            // 0: any free port (the URL names the one taken)
    std::string token;                  // needed by every changing request; "": none
    std::string record;                 // the record file; "": none
    ImageFacts image;
    std::string stationName;
    std::string version;
    unsigned target = 0;   // completed boxes wanted; 0: none
    bool bBatch = false;   // a batch: it starts and stops its boxes itself
};

struct WebRequest {
    std::string method;
    std::string target;  // path and query, as sent
    std::string host;    // the Host header; "" when missing
    std::string origin;  // the Origin header; "" when missing
    std::string authorization;
    std::string cookie;  // the Cookie header; "" when missing
};

struct WebAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string allow;      // with 405: the methods the path takes
    std::string location;   // with 303: where to go
    std::string setCookie;  // a Set-Cookie header's value; "": none
};

// {"error": text} with the status.
WebAnswer WebError(int status, const std::string& text);

class WebApi {
public:
    WebApi(Station& station, const WebMetrics& metrics, WebSettings settings);

    // The port actually listened on: the Host of a changing request names it.
    void OwnPortSet(unsigned short port) { m_ownPort = port; }
    WebAnswer Answer(const WebRequest& request) const;
    // GET /api/station's answer; also what every event carries.
    WebAnswer StationState() const;

    // The newest records first, at most limit, read from the end of the file
    // (lines that are no JSON object, such as a line being appended, are left
    // out).
    static std::vector<std::string> RecordLinesNewestFirst(const std::string& path, std::size_t limit);

private:
    WebAnswer Records(const std::string& query) const;
    WebAnswer SlotRequest(const WebRequest& request, const std::string& rest) const;
    // True, with the answer to send, when a changing request may not go on.
    bool Refused(const WebRequest& request, WebAnswer& refusal) const;
    // GET /?token=TOKEN: keeps the token in a cookie and sends the browser
    // on to the page without it in the address.
    WebAnswer TokenLanding(const std::string& query) const;
    bool OwnHost(const std::string& host) const;

    Station& m_station;
    const WebMetrics& m_metrics;
    const WebSettings m_settings;
    unsigned short m_ownPort = 0;
};
