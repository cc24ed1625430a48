#include "web/web_server.h"

#include <array>
#include <chrono>
#include <optional>
#include <thread>
// Boost 1.74's coroutine header uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// No request of this API needs more; anything larger is refused before it
// is read whole.
constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 16 * 1024;
// A request must arrive whole within this, so a client sending a byte a
// second holds its connection only so long.
constexpr auto kRequestTime = std::chrono::seconds(10);
// After refusing a request the rest of what the client sends is read and
// dropped for a while, so that closing does not reset the connection before
// the client has read the refusal.
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr std::size_t kDrainMost = 4 * 1024 * 1024;
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// Connections served at once; more are closed at once, so that clients can
// never use up the descriptors a slot needs to open its port again.
constexpr unsigned kClientsMost = 128;
// Events: at most ten a second, and a comment line when nothing changed for
// a while, so that a client that went away is noticed. A client that stops
// reading gets no more than one message queued, and is dropped when a write
// has not gone through in kEventWriteTime.
constexpr auto kEventInterval = std::chrono::milliseconds(100);
constexpr auto kEventQuiet = std::chrono::seconds(10);
constexpr auto kEventWriteTime = std::chrono::seconds(30);
constexpr char kEventHead[] =
    "HTTP/1.1 200 OK\r\nServer: kelvora-upgrader\r\nContent-Type: text/event-stream\r\n"
    "Cache-Control: no-store\r\nConnection: close\r\n\r\nretry: 2000\n\n";

class Session;

// The clients of GET /events, and the timer that sends them the station's
// state when it changed. Lives on the server's thread only.
class EventHub {
public:
    EventHub(net::io_context& context, const WebApi& api) : m_timer(context), m_api(api) {}
    void Begin() { Tick(); }
    void Add(const std::shared_ptr<Session>& pSession);

private:
    void Tick();

    net::steady_timer m_timer;
    const WebApi& m_api;
    std::vector<std::shared_ptr<Session>> m_clients;
    std::string m_last;  // the last state sent
    std::chrono::steady_clock::time_point m_lastSent{};
};

// One client connection: requests read one after the other, each answered
// from the API.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const WebApi& api, EventHub& hub, unsigned& clients)
        : m_stream(std::move(socket)), m_api(api), m_hub(hub), m_clients(clients) {
        ++m_clients;
    }
    ~Session() { --m_clients; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Begin() { ReadRequest(); }

    // An event client: sends the message now, or after the one being
    // written (a newer message replaces one still waiting, but a comment
    // line never replaces a state).
    void Push(std::string message) {
        if (m_bWriting) {
            if (message.front() != ':' || m_pending.empty()) {
                m_pending = std::move(message);
            }
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

private:
    // Streams events from now on; reads only to notice the client closing.
    void BeginEvents() {
        // The read starts first, without a time limit: a later write's
        // limit then applies to that write only.
        m_stream.expires_never();
        WatchClose();
        Push(kEventHead);
        m_hub.Add(shared_from_this());
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

    void Gone() {
        m_bGone = true;
        Drop();
    }

    void ReadRequest() {
        m_parser.emplace();
        m_parser->header_limit(kHeaderLimit);
        m_parser->body_limit(kBodyLimit);
        m_stream.expires_after(kRequestTime);
        http::async_read(m_stream, m_buffer, *m_parser, beast::bind_front_handler(&Session::Read, shared_from_this()));
    }

    void Read(beast::error_code error, std::size_t) {
        if (!error) {
            const http::request<http::string_body>& got = m_parser->get();
            if (got.method() == http::verb::get && got.target() == "/events") {
                BeginEvents();
                return;
            }
            WebRequest request;
            request.method = std::string(got.method_string());
            request.target = std::string(got.target());
            request.host = std::string(got[http::field::host]);
            request.origin = std::string(got[http::field::origin]);
            request.authorization = std::string(got[http::field::authorization]);
            request.cookie = std::string(got[http::field::cookie]);
            Reply(m_api.Answer(request), got.keep_alive());
            return;
        }
        if (error == http::error::end_of_stream || error == http::error::partial_message ||
            error.category() != http::make_error_code(http::error::bad_target).category()) {
            // The client closed, went silent, or the connection failed:
            // nothing to answer.
            Drop();
            return;
        }
        if (error == http::error::header_limit) {
            Reply(WebError(431, "request header fields too large"), false);
        } else if (error == http::error::body_limit) {
            Reply(WebError(413, "request body too large"), false);
        } else {
            Reply(WebError(400, "bad request: " + error.message()), false);
        }
    }

    void Reply(const WebAnswer& answer, bool bKeepAlive) {
        auto pResponse = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(answer.status), 11);
        pResponse->set(http::field::server, "kelvora-upgrader");
        pResponse->set(http::field::content_type, answer.contentType);
        pResponse->set(http::field::cache_control, "no-store");
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
    const WebApi& m_api;
    EventHub& m_hub;
    unsigned& m_clients;
    bool m_bWriting = false;
    bool m_bGone = false;
    std::string m_out, m_pending;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::array<char, 16 * 1024> m_scratch{};
    std::size_t m_drained = 0;
};

void EventHub::Add(const std::shared_ptr<Session>& pSession) {
    m_clients.push_back(pSession);
    pSession->Push("data: " + m_api.StationState().body + "\n");
}

void EventHub::Tick() {
    std::erase_if(m_clients, [](const auto& pSession) { return pSession->IsGone(); });
    if (!m_clients.empty()) {
        // The state's JSON ends with a line end; a blank line ends the event.
        std::string state = m_api.StationState().body;
        const auto now = std::chrono::steady_clock::now();
        std::string message;
        if (state != m_last) {
            message = "data: " + state + "\n";
            m_last = std::move(state);
        } else if (now - m_lastSent >= kEventQuiet) {
            message = ":\n\n";
        }
        if (!message.empty()) {
            m_lastSent = now;
            for (const auto& pSession : m_clients) {
                pSession->Push(message);
            }
        }
    }
    m_timer.expires_after(kEventInterval);
    m_timer.async_wait([this](beast::error_code error) {
        if (!error) {
            Tick();
        }
    });
}

// A station started again at once binds the port its predecessor's closed
// connections still hold. Windows takes the same option as leave to share a
// port a live process listens on, so there the port must be free.
bool ReuseAddress(tcp::acceptor& acceptor, beast::error_code& error) {
#ifndef _WIN32
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
#endif
    return static_cast<bool>(error);
}

}  // namespace

struct WebServer::Impl {
    Impl(Station& station, const WebMetrics& metrics, WebSettings webSettings)
        : settings(webSettings), api(station, metrics, std::move(webSettings)) {}

    void Accept() {
        acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (!error && clients >= kClientsMost) {
                beast::error_code ignored;
                socket.close(ignored);
            } else if (!error) {
                std::make_shared<Session>(std::move(socket), api, hub, clients)->Begin();
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
    unsigned clients = 0;  // sessions alive; on the server's thread only
    // The context outlives the acceptor, the timer and every session, which
    // are destroyed with it or before it.
    net::io_context context{1};
    tcp::acceptor acceptor{context};
    net::steady_timer retry{context};
    EventHub hub{context, api};
    std::string host;  // address:port as the URL names it
    std::thread thread;
};

WebServer::WebServer(Station& station, const WebMetrics& metrics, WebSettings settings)
    : m_pImpl(std::make_unique<Impl>(station, metrics, std::move(settings))) {}

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
    impl.api.OwnPortSet(port);
    const std::string shown = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    impl.host = shown + ":" + std::to_string(port);
    return true;
}

std::string WebServer::Url() const {
    return "http://" + m_pImpl->host + "/";
}

void WebServer::Start() {
    m_pImpl->Accept();
    m_pImpl->hub.Begin();
    m_pImpl->thread = std::thread([this] { m_pImpl->context.run(); });
}
