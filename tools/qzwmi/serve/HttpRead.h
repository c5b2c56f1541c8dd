// How a connection of HttpServer reads a request, apart from the socket: the parser's limits, the
// checks of a head once read, and the answer to a parse failure. ReadHttpRequest puts them
// together on bytes in memory, as the connection does on bytes as they arrive.
#pragma once

#include <boost/beast/http.hpp>

#include <string_view>

#include "serve/HttpServer.h"

namespace qzwmi::serve {

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

// Sets a new parser up for a head under `limits`; the body limit is set once the head is accepted.
void PrepareParser(RequestParser& parser, const HttpLimits& limits);

// The status that refuses a request whose head `parser` has read: 414 for a long target, 400 for
// a long header value, 431 for too many header fields, 413 for a body announced too large; 0 when
// none does.
int HeadRefusal(const RequestParser& parser, const HttpLimits& limits);

// The status that answers a failure of the parser (431, 413, 400), or 0 when the connection is to
// end without an answer (it ended, or ran out of time).
int FailureStatus(const boost::system::error_code& error);

// The request that `parser` has read (the head, and the body once read).
HttpRequest RequestOf(RequestParser& parser, const std::string& peer);

// Reads the first request of `bytes`: 0 with the request, the status that refuses it, or -1 when
// the bytes end before it does.
int ReadHttpRequest(std::string_view bytes, const HttpLimits& limits, HttpRequest* request);

}  // namespace qzwmi::serve
