// The station's HTTP server: the API, the metrics and the page, on a thread
// of its own. It only reads the station's snapshots and asks it to start or
// stop slots, so no slot ever waits for a client.
#pragma once

#include <memory>
#include <string>

#include "web/web_api.h"

class Station;

class WebServer {
public:
    WebServer(Station& station, WebSettings settings);
    // Stops the thread and closes every connection.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Set-up: binds the address and port; false with the reason when it
    // cannot (not an IP address, a non-loopback address without a token,
    // the system's refusal).
    bool Listen(std::string& reason);
    // "http://127.0.0.1:8080/", with the port actually bound.
    std::string Url() const;
    // Serves from now on, on the server's own thread.
    void Start();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
