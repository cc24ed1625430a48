#include "web/web_http.h"

#include <boost/asio/buffer.hpp>

namespace http = boost::beast::http;

WebRequest WebRequestOf(const http::request<http::string_body>& request) {
    WebRequest out;
    out.method = std::string(request.method_string());
    out.target = std::string(request.target());
    out.host = std::string(request[http::field::host]);
    out.origin = std::string(request[http::field::origin]);
    out.authorization = std::string(request[http::field::authorization]);
    out.lastEventId = std::string(request["Last-Event-ID"]);
    // Several Cookie headers (HTTP/2 gateways split them) read as one.
    for (auto it = request.find(http::field::cookie); it != request.end() && it->name() == http::field::cookie;
         ++it) {
        out.cookie += (out.cookie.empty() ? "" : "; ") + std::string(it->value());
    }
    return out;
}

bool WebParseRefusal(const boost::beast::error_code& error, WebAnswer& refusal) {
    if (error == http::error::end_of_stream || error == http::error::partial_message ||
        error.category() != http::make_error_code(http::error::bad_target).category()) {
        return false;
    }
    if (error == http::error::header_limit) {
        refusal = WebError(431, "request header fields too large");
    } else if (error == http::error::body_limit) {
        refusal = WebError(413, "request body too large");
    } else {
        refusal = WebError(400, "bad request: " + error.message());
    }
    return true;
}

WebAnswer WebAnswerOfBytes(const WebApi& api, std::string_view bytes, bool& bHead) {
    bHead = false;
    http::request_parser<http::string_body> parser;
    parser.header_limit(kWebHeaderLimit);
    parser.body_limit(kWebBodyLimit);
    boost::beast::error_code error;
    std::size_t used = 0;
    while (!error && !parser.is_done() && used < bytes.size()) {
        used += parser.put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), error);
        if (error == http::error::need_more) {
            break;
        }
    }
    WebAnswer answer;
    if (error && error != http::error::need_more) {
        if (!WebParseRefusal(error, answer)) {
            answer.status = 0;
        }
        return answer;
    }
    if (!parser.is_done()) {
        answer.status = 0;
        return answer;
    }
    bHead = parser.get().method() == http::verb::head;
    return api.Answer(WebRequestOf(parser.get()));
}
