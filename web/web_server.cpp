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

// One client connection: requests read one after the other, each answered
// from the API.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const WebApi& api) : m_stream(std::move(socket)), m_api(api) {}

    void Begin() { ReadRequest(); }

private:
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
            WebRequest request;
            request.method = std::string(got.method_string());
            request.target = std::string(got.target());
            request.host = std::string(got[http::field::host]);
            request.origin = std::string(got[http::field::origin]);
            request.authorization = std::string(got[http::field::authorization]);
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
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::array<char, 16 * 1024> m_scratch{};
    std::size_t m_drained = 0;
};

}  // namespace

struct WebServer::Impl {
    Impl(Station& station, const WebMetrics& metrics, WebSettings webSettings)
        : settings(webSettings), api(station, metrics, std::move(webSettings)) {}

    void Accept() {
        acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (!error) {
                std::make_shared<Session>(std::move(socket), api)->Begin();
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
    // The context outlives the acceptor, the timer and every session, which
    // are destroyed with it or before it.
    net::io_context context{1};
    tcp::acceptor acceptor{context};
    net::steady_timer retry{context};
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
    if (impl.acceptor.open(endpoint.protocol(), error) || impl.acceptor.bind(endpoint, error) ||
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
    m_pImpl->thread = std::thread([this] { m_pImpl->context.run(); });
}
