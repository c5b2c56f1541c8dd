#include "serve/HttpRead.h"

#include <boost/asio/buffer.hpp>

#include <limits>

namespace qzwmi::serve {

namespace http = boost::beast::http;

void PrepareParser(RequestParser& parser, const HttpLimits& limits) {
  parser.header_limit(static_cast<std::uint32_t>(std::min<size_t>(limits.headerBytes, UINT32_MAX)));
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());  // the announced length is checked by hand
}

int HeadRefusal(const RequestParser& parser, const HttpLimits& limits) {
  const auto& head = parser.get();
  if (head.target().size() > limits.headerLine) return 414;
  size_t count = 0;
  for (const auto& field : head) {
    if (field.value().size() > limits.headerLine) return 400;
    ++count;
  }
  if (count > limits.headerCount) return 431;
  if (parser.content_length() && *parser.content_length() > limits.body) return 413;
  return 0;
}

int FailureStatus(const boost::system::error_code& error) {
  if (error == http::error::header_limit) return 431;
  if (error == http::error::body_limit) return 413;
  // The parser's own failures are the client's mistakes; the others are a connection's end.
  const bool malformed = error.category() == http::make_error_code(http::error::bad_target).category() &&
                         error != http::error::end_of_stream && error != http::error::partial_message;
  return malformed ? 400 : 0;
}

HttpRequest RequestOf(RequestParser& parser, const std::string& peer) {
  const auto& head = parser.get();
  HttpRequest request;
  request.method = std::string(head.method_string());
  request.target = std::string(head.target());
  for (const auto& field : head) request.headers.emplace_back(field.name_string(), field.value());
  request.body = std::move(parser.get().body());
  parser.get().body().clear();
  request.peer = peer;
  return request;
}

int ReadHttpRequest(std::string_view bytes, const HttpLimits& limits, HttpRequest* request) {
  RequestParser parser;
  PrepareParser(parser, limits);
  bool headChecked = false;
  for (;;) {
    // The parser stops at the end of the head, which is checked before any of the body is read.
    if (parser.is_header_done() && !headChecked) {
      if (const int refusal = HeadRefusal(parser, limits)) return refusal;
      parser.body_limit(limits.body);
      headChecked = true;
    }
    if (parser.is_done()) break;
    boost::system::error_code error;
    const size_t used = parser.put(boost::asio::buffer(bytes.data(), bytes.size()), error);
    bytes.remove_prefix(used);
    if (error == http::error::need_more || (!error && used == 0)) return -1;
    if (error) return FailureStatus(error) ? FailureStatus(error) : -1;
  }
  *request = RequestOf(parser, "");
  return 0;
}

}  // namespace qzwmi::serve
