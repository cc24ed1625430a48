// How the server reads a request and turns it into the API's terms, shared
// by the server and by anything that answers a request without a socket
// (the fuzz target): the same limits, the same parse refusals.
#pragma once

#include <cstdint>
#include <string_view>

#include <boost/beast/http.hpp>

#include "web/web_api.h"

// No request of this API needs more; anything larger is refused before it
// is read whole.
constexpr std::size_t kWebHeaderLimit = 8 * 1024;
constexpr std::uint64_t kWebBodyLimit = 16 * 1024;

// The parts of a parsed request that the API looks at.
WebRequest WebRequestOf(const boost::beast::http::request<boost::beast::http::string_body>& request);

// The answer to a request that could not be parsed: 431, 413 or 400; false
// when there is nothing to answer (the client closed or went silent, the
// connection failed).
bool WebParseRefusal(const boost::beast::error_code& error, WebAnswer& refusal);

// The bytes of one request, read with the server's limits and answered as
// the server answers it: the API's answer, a parse refusal, or status 0 when
// the bytes end before the request does. bHead: it was a HEAD (the server
// then sends no body).
WebAnswer WebAnswerOfBytes(const WebApi& api, std::string_view bytes, bool& bHead);
