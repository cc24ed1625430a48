#include "web/web_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
// Boost 1.74's coroutine header uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "station/station.h"
#include "web/web_http.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// A request must arrive whole within this, so a client sending a byte a
// second holds its connection only so long.
constexpr auto kRequestTime = std::chrono::seconds(10);
// After refusing a request the rest of what the client sends is read and
// dropped for a while, so that closing does not reset the connection before
// the client has read the refusal.
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr std::size_t kDrainMost = 4 * 1024 * 1024;
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// Connections held at once, so that clients can never use up the
// descriptors a slot needs to open its port again. A new connection beyond
// it closes an older one that is not being answered: of the client address
// that holds the most, the oldest. Idle and slow clients therefore never
// keep out the operator's request.
constexpr std::size_t kClientsMost = 128;
// Event streams held at once, within kClientsMost: a new one beyond it
// closes the oldest stream of the address that holds the most, so that
// streams never take the room requests need.
constexpr std::size_t kEventClientsMost = 32;
// Events: sent as the station logs them, gathered into at most ten sends a
// second, and a comment line when nothing happened for a while, so that a
// client that went away is noticed. A client that stops reading is dropped
// when a write has not gone through in kEventWriteTime, or when more than
// kEventBacklogMost waits for it: it comes back with its Last-Event-ID and
// gets what it missed from the log, or the whole state.
constexpr auto kEventInterval = std::chrono::milliseconds(100);
constexpr auto kEventQuiet = std::chrono::seconds(10);
constexpr auto kEventWriteTime = std::chrono::seconds(30);
constexpr std::size_t kEventBacklogMost = 1024 * 1024;

// Sent with every answer: the page may not be framed by another site (so
// no click on it can be borrowed), and it runs only its own script and
// style.
const std::pair<const char*, const char*> kAlwaysHeaders[] = {
    {"Server", "kelvora-upgrader"},
    {"Cache-Control", "no-store"},
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
     "form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};

class Session;

// Every open connection, oldest first, and the choice of which to close when
// a new one needs room. Lives on the server's thread only.
class SessionList {
public:
    void Add(Session* pSession) { m_sessions.push_back(pSession); }
    void Remove(Session* pSession) { std::erase(m_sessions, pSession); }
    std::size_t Count() const { return m_sessions.size(); }
    std::size_t EventCount() const;
    // Closes one connection to make room: an event stream when bEvents,
    // else any connection not being answered. False when none may go.
    bool CloseOne(bool bEvents);

private:
    std::vector<Session*> m_sessions;
};

// The clients of GET /events: each gets the station's logged events after
// the last it saw, each with its id, then the state as of them under the
// same id. Woken by the station's log; lives on the server's thread, but
// for the wake.
class EventHub {
public:
    EventHub(net::io_context& context, const WebApi& api, Station& station);
    ~EventHub();
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;
    // A new client; since: the last event it saw, when it says so.
    void Add(const std::shared_ptr<Session>& pSession, std::optional<std::uint64_t> since);

private:
    struct Client {
        std::shared_ptr<Session> pSession;
        std::uint64_t seen = 0;  // the id of the last event it was sent
    };
    // The log has news: a send is due, at most kEventInterval after the last.
    void Woken();
    void Send();
    void KeepQuiet();

    net::io_context& m_context;
    net::steady_timer m_timer;
    net::steady_timer m_quietTimer;
    const WebApi& m_api;
    Station& m_station;
    unsigned m_subscription = 0;
    // Set by whichever thread logged an event, cleared by the server's
    // thread before it looks at the log: one wake is posted for many events.
    std::atomic<bool> m_bWakePosted{false};
    std::vector<Client> m_clients;
    std::chrono::steady_clock::time_point m_lastSent{};
    bool m_bSendDue = false;    // the timer waits to send
    bool m_bQuietRuns = false;  // the quiet timer runs while there are clients
};

// What a session needs of the server.
struct SessionContext {
    const WebApi& api;
    EventHub& hub;
    SessionList& sessions;
    net::thread_pool& slowWork;
};

// One client connection: requests read one after the other, each answered
// from the API.
class Session : public std::enable_shared_from_this<Session> {
public:
    enum class Phase { Reading, Answering, Events, Closing };

    Session(tcp::socket socket, const SessionContext& context)
        : m_stream(std::move(socket)), m_context(context) {
        beast::error_code error;
        m_address = m_stream.socket().remote_endpoint(error).address().to_string();
        m_context.sessions.Add(this);
    }
    ~Session() { m_context.sessions.Remove(this); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Begin() { ReadRequest(); }

    // An event client: sends the message now, or after what is being
    // written (a comment line is left out then: the client is not quiet).
    // A client with more than kEventBacklogMost waiting is dropped.
    void Push(std::string message) {
        if (m_bGone) {
            return;
        }
        if (m_bWriting) {
            if (message.front() == ':') {
                return;
            }
            if (m_pending.size() + message.size() > kEventBacklogMost) {
                Gone();
                return;
            }
            m_pending += message;
            return;
        }
        m_bWriting = true;
        m_out = std::move(message);
        m_stream.expires_after(kEventWriteTime);
        net::async_write(m_stream, net::buffer(m_out), [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->m_bWriting = false;
            if (error) {
                self->Gone();
            } else if (!self->m_pending.empty()) {
                self->Push(std::exchange(self->m_pending, std::string()));
            }
        });
    }
    bool IsGone() const { return m_bGone; }
    Phase PhaseNow() const { return m_phase; }
    const std::string& Address() const { return m_address; }

    // Closes the connection to make room for another: it leaves the list at
    // once, its pending operations end with an error.
    void Gone() {
        if (!m_bGone) {
            m_bGone = true;
            m_context.sessions.Remove(this);
        }
        Drop();
    }

private:
    // Streams events from now on; reads only to notice the client closing.
    void BeginEvents() {
        if (m_context.sessions.EventCount() >= kEventClientsMost) {
            m_context.sessions.CloseOne(true);
        }
        m_phase = Phase::Events;
        // The read starts first, without a time limit: a later write's
        // limit then applies to that write only.
        m_stream.expires_never();
        WatchClose();
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n";
        for (const auto& [pName, pValue] : kAlwaysHeaders) {
            head += std::string(pName) + ": " + pValue + "\r\n";
        }
        Push(head + "Connection: close\r\n\r\nretry: 2000\n\n");
        m_context.hub.Add(shared_from_this(), m_eventsSince);
    }

    void WatchClose() {
        m_stream.async_read_some(net::buffer(m_scratch), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) {
                self->Gone();
            } else {
                self->WatchClose();
            }
        });
    }

    void ReadRequest() {
        m_phase = Phase::Reading;
        m_parser.emplace();
        m_parser->header_limit(kWebHeaderLimit);
        m_parser->body_limit(kWebBodyLimit);
        m_stream.expires_after(kRequestTime);
        http::async_read(m_stream, m_buffer, *m_parser, beast::bind_front_handler(&Session::Read, shared_from_this()));
    }

    void Read(beast::error_code error, std::size_t) {
        if (!error) {
            m_phase = Phase::Answering;
            const http::request<http::string_body>& got = m_parser->get();
            WebRequest request = WebRequestOf(got);
            const bool bHead = got.method() == http::verb::head;
            const bool bKeepAlive = got.keep_alive() && !bHead;
            if (request.target.rfind("/api/records", 0) == 0 || request.target.rfind("/api/units/", 0) == 0 ||
                request.method == "POST") {
                // Reading the record file or the unit store, or a start that
                // opens a port (which may take a second), is done elsewhere,
                // so that no other client waits for it.
                net::post(m_context.slowWork, [self = shared_from_this(), request = std::move(request), bHead,
                                               bKeepAlive]() mutable {
                    WebAnswer answer = self->m_context.api.Answer(request);
                    // The session goes with the answer: its last owner is
                    // then always the server's thread.
                    auto executor = self->m_stream.get_executor();
                    net::post(executor,
                              [self = std::move(self), answer = std::move(answer), bHead, bKeepAlive]() mutable {
                                  self->Answered(std::move(answer), bHead, bKeepAlive);
                              });
                });
                return;
            }
            Answered(m_context.api.Answer(request), bHead, bKeepAlive);
            return;
        }
        WebAnswer refusal;
        if (!WebParseRefusal(error, refusal)) {
            Drop();
            return;
        }
        m_phase = Phase::Answering;
        Reply(refusal, false);
    }

    void Answered(WebAnswer answer, bool bHead, bool bKeepAlive) {
        if (m_bGone) {
            return;
        }
        if (answer.bEvents && !bHead) {
            m_eventsSince = answer.eventsSince;
            BeginEvents();
            return;
        }
        if (bHead) {
            // An answer to HEAD has no body; the connection closes after
            // it, so no client reads a body it was not told of.
            answer.body.clear();
        }
        Reply(answer, bKeepAlive);
    }

    void Reply(const WebAnswer& answer, bool bKeepAlive) {
        auto pResponse = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(answer.status), 11);
        for (const auto& [pName, pValue] : kAlwaysHeaders) {
            pResponse->set(pName, pValue);
        }
        pResponse->set(http::field::content_type, answer.contentType);
        if (!answer.allow.empty()) {
            pResponse->set(http::field::allow, answer.allow);
        }
        if (!answer.location.empty()) {
            pResponse->set(http::field::location, answer.location);
        }
        if (!answer.setCookie.empty()) {
            pResponse->set(http::field::set_cookie, answer.setCookie);
        }
        pResponse->body() = answer.body;
        pResponse->keep_alive(bKeepAlive);
        pResponse->prepare_payload();
        m_stream.expires_after(kRequestTime);
        http::async_write(m_stream, *pResponse,
                          [self = shared_from_this(), pResponse, bKeepAlive](beast::error_code error, std::size_t) {
                              if (error) {
                                  self->Drop();
                              } else if (bKeepAlive) {
                                  self->ReadRequest();
                              } else {
                                  self->Close();
                              }
                          });
    }

    // Ends the sending side, then reads and drops what still comes until
    // the client closes or the drain time is over.
    void Close() {
        m_phase = Phase::Closing;
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.expires_after(kDrainTime);
        Drain();
    }

    void Drain() {
        m_stream.async_read_some(net::buffer(m_scratch),
                                 [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
                                     self->m_drained += bytes;
                                     if (!error && self->m_drained < kDrainMost) {
                                         self->Drain();
                                     } else {
                                         self->Drop();
                                     }
                                 });
    }

    void Drop() {
        beast::error_code ignored;
        m_stream.socket().close(ignored);
    }

    beast::tcp_stream m_stream;
    const SessionContext m_context;  // a copy: the server's own may go before a session does
    std::string m_address;  // the client's, for the bound per address
    Phase m_phase = Phase::Reading;
    bool m_bWriting = false;
    bool m_bGone = false;
    std::string m_out, m_pending;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::array<char, 16 * 1024> m_scratch{};
    std::size_t m_drained = 0;
    std::optional<std::uint64_t> m_eventsSince;  // an event client's last event seen, as it said
};

std::size_t SessionList::EventCount() const {
    return std::count_if(m_sessions.begin(), m_sessions.end(),
                         [](const Session* pSession) { return pSession->PhaseNow() == Session::Phase::Events; });
}

bool SessionList::CloseOne(bool bEvents) {
    auto mayGo = [bEvents](const Session* pSession) {
        return bEvents ? pSession->PhaseNow() == Session::Phase::Events
                       : pSession->PhaseNow() != Session::Phase::Answering;
    };
    // The address that holds the most such connections gives one up: its
    // oldest, a half-closed one before the others.
    std::map<std::string, std::size_t> held;
    for (const Session* pSession : m_sessions) {
        held[pSession->Address()] += mayGo(pSession) ? 1 : 0;
    }
    const auto most = std::max_element(held.begin(), held.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    if (most == held.end() || most->second == 0) {
        return false;
    }
    Session* pVictim = nullptr;
    for (Session* pSession : m_sessions) {
        if (mayGo(pSession) && pSession->Address() == most->first &&
            (pVictim == nullptr || (pSession->PhaseNow() == Session::Phase::Closing &&
                                    pVictim->PhaseNow() != Session::Phase::Closing))) {
            pVictim = pSession;
        }
    }
    pVictim->Gone();
    return true;
}

EventHub::EventHub(net::io_context& context, const WebApi& api, Station& station)
    : m_context(context), m_timer(context), m_quietTimer(context), m_api(api), m_station(station) {
    m_subscription = m_station.Subscribe([this] {
        if (!m_bWakePosted.exchange(true, std::memory_order_acq_rel)) {
            net::post(m_context, [this] {
                m_bWakePosted.store(false, std::memory_order_release);
                Woken();
            });
        }
    });
}

// No wake is posted from here on; one already posted is never run, as the
// server's loop has stopped.
EventHub::~EventHub() {
    m_station.Unsubscribe(m_subscription);
}

std::string EventMessage(const LoggedEvent& event) {
    return "id: " + std::to_string(event.id) + "\nevent: " + EventKindName(event.kind) +
           "\ndata: " + WebApi::EventData(event) + "\n\n";
}

// The state's JSON ends with a line end; a blank line ends the message.
std::string StateMessage(std::uint64_t id, const std::string& state) {
    return "id: " + std::to_string(id) + "\ndata: " + state + "\n";
}

void EventHub::Add(const std::shared_ptr<Session>& pSession, std::optional<std::uint64_t> since) {
    // The events are read before the state is: the state then shows at
    // least what they tell.
    bool bMissed = true;
    std::vector<LoggedEvent> events;
    if (since) {
        events = m_station.Since(*since, bMissed);
    }
    std::string message;
    std::uint64_t seen = 0;
    if (bMissed) {
        // A new client, or one whose events the log no longer holds: the
        // whole state.
        seen = m_station.LastEventId();
    } else {
        seen = events.empty() ? *since : events.back().id;
        for (const LoggedEvent& event : events) {
            message += EventMessage(event);
        }
    }
    pSession->Push(message + StateMessage(seen, m_api.StationState().body));
    m_clients.push_back({pSession, seen});
    if (!m_bQuietRuns) {
        m_bQuietRuns = true;
        m_lastSent = std::chrono::steady_clock::now();
        KeepQuiet();
    }
    // Events logged since the client's were read go out with the next send.
    Woken();
}

void EventHub::Woken() {
    if (m_bSendDue || m_clients.empty()) {
        return;
    }
    m_bSendDue = true;
    m_timer.expires_at(std::max(std::chrono::steady_clock::now(), m_lastSent + kEventInterval));
    m_timer.async_wait([this](beast::error_code error) {
        if (!error) {
            m_bSendDue = false;
            Send();
        }
    });
}

// Sends each client the events after the last it got, and the state as of
// them.
void EventHub::Send() {
    std::erase_if(m_clients, [](const Client& client) { return client.pSession->IsGone(); });
    std::optional<std::string> state;
    for (Client& client : m_clients) {
        bool bMissed = false;
        const std::vector<LoggedEvent> events = m_station.Since(client.seen, bMissed);
        if (events.empty()) {
            continue;
        }
        std::string message;
        if (!bMissed) {
            for (const LoggedEvent& event : events) {
                message += EventMessage(event);
            }
        }
        if (!state) {
            state = m_api.StationState().body;
        }
        client.seen = events.back().id;
        client.pSession->Push(message + StateMessage(client.seen, *state));
        m_lastSent = std::chrono::steady_clock::now();
    }
}

// Every kEventQuiet: a comment line to clients when nothing was sent
// meanwhile; with no client left the timer stops, so an unwatched station's
// server sleeps.
void EventHub::KeepQuiet() {
    m_quietTimer.expires_after(kEventQuiet);
    m_quietTimer.async_wait([this](beast::error_code error) {
        if (error) {
            return;
        }
        std::erase_if(m_clients, [](const Client& client) { return client.pSession->IsGone(); });
        if (m_clients.empty()) {
            m_bQuietRuns = false;
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastSent >= kEventQuiet) {
            m_lastSent = now;
            for (const Client& client : m_clients) {
                client.pSession->Push(":\n\n");
            }
        }
        KeepQuiet();
    });
}

// A station started again at once binds the port its predecessor's closed
// connections still hold. Windows takes the same option as leave to share a
// port a live process listens on, so there the port must be free.
#ifdef _WIN32
constexpr bool kReuseAddress = false;
#else
constexpr bool kReuseAddress = true;
#endif

bool ReuseAddress(tcp::acceptor& acceptor, beast::error_code& error) {
    if (kReuseAddress) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    }
    return static_cast<bool>(error);
}

}  // namespace

struct WebServer::Impl {
    Impl(Station& station, WebSettings webSettings)
        : settings(webSettings), api(station, std::move(webSettings)), hub(context, api, station) {}

    void Accept() {
        acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (!error && sessions.Count() >= kClientsMost && !sessions.CloseOne(false)) {
                // Every connection is being answered: this one waits for
                // none of them.
                beast::error_code ignored;
                socket.close(ignored);
            } else if (!error) {
                std::make_shared<Session>(std::move(socket), sessionContext)->Begin();
            } else if (error == net::error::operation_aborted) {
                return;
            }
            if (error) {
                // Out of descriptors, say: try again soon rather than spin.
                retry.expires_after(kAcceptRetry);
                retry.async_wait([this](beast::error_code waited) {
                    if (!waited) {
                        Accept();
                    }
                });
                return;
            }
            Accept();
        });
    }

    const WebSettings settings;
    WebApi api;
    SessionList sessions;  // outlives every session, which leaves it when destroyed
    // The context outlives the acceptor, the timer and every session, which
    // are destroyed with it or before it.
    net::io_context context{1};
    tcp::acceptor acceptor{context};
    net::steady_timer retry{context};
    EventHub hub;
    // Reads of the record file and changing requests (a start may open a
    // port), off the server's thread; a few at once, as a start never waits
    // for another slot. Stopped and joined before the context goes.
    net::thread_pool slowWork{4};
    const SessionContext sessionContext{api, hub, sessions, slowWork};
    std::string host;  // address:port as the URL names it
    std::thread thread;
};

WebServer::WebServer(Station& station, WebSettings settings)
    : m_pImpl(std::make_unique<Impl>(station, std::move(settings))) {}

WebServer::~WebServer() {
    if (m_pImpl->thread.joinable()) {
        m_pImpl->context.stop();
        m_pImpl->thread.join();
    }
}

bool WebServer::Listen(std::string& reason) {
    Impl& impl = *m_pImpl;
    beast::error_code error;
    const net::ip::address address = net::ip::make_address(impl.settings.address, error);
    if (error) {
        reason = "'" + impl.settings.address + "' is not an IP address";
        return false;
    }
    if (!address.is_loopback() && impl.settings.token.empty()) {
        reason = "serving on " + impl.settings.address +
                 " (not loopback) needs a token: --web-token TOKEN or KELVORA_WEB_TOKEN";
        return false;
    }
    const tcp::endpoint endpoint(address, impl.settings.port);
    if (impl.acceptor.open(endpoint.protocol(), error) || ReuseAddress(impl.acceptor, error) ||
        impl.acceptor.bind(endpoint, error) ||
        impl.acceptor.listen(net::socket_base::max_listen_connections, error)) {
        reason = error.message();
        beast::error_code ignored;
        impl.acceptor.close(ignored);
        return false;
    }
    const unsigned short port = impl.acceptor.local_endpoint(error).port();
    impl.api.OwnPlaceSet(port, net::ip::host_name(error));
    const std::string shown = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    impl.host = shown + ":" + std::to_string(port);
    return true;
}

std::string WebServer::Url() const {
    return "http://" + m_pImpl->host + "/";
}

void WebServer::Start() {
    m_pImpl->Accept();
    m_pImpl->thread = std::thread([this] { m_pImpl->context.run(); });
}
