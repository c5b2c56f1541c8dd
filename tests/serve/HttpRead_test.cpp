// A request as a connection reads it: everything the client sends is bounded before it is taken
// whole, however the body comes (announced, chunked or not at all).
#include "serve/HttpRead.h"

#include <gtest/gtest.h>

namespace {

using qzwmi::serve::HttpLimits;
using qzwmi::serve::HttpRequest;

std::string Chunked(size_t chunks, size_t size) {
  std::string body;
  char line[32];
  for (size_t i = 0; i < chunks; ++i) {
    std::snprintf(line, sizeof line, "%zx\r\n", size);
    body += line + std::string(size, 'b') + "\r\n";
  }
  return body + "0\r\n\r\n";
}

TEST(ReadHttpRequest, BoundsHeadAndBodyHoweverTheyCome) {
  HttpLimits limits;
  limits.headerBytes = 1024;
  limits.headerLine = 256;
  limits.headerCount = 10;
  limits.body = 1000;
  const std::string post = "POST /cimom HTTP/1.1\r\nHost: h\r\n";
  std::string manyFields;
  for (int i = 0; i < 11; ++i) manyFields += "X-" + std::to_string(i) + ": v\r\n";
  const struct {
    const char* what;
    std::string bytes;
    int status;
    std::string body;
  } cases[] = {
      {"announced body", post + "Content-Length: 5\r\n\r\nhello", 0, "hello"},
      {"no body", post + "\r\n", 0, ""},
      {"body without a length is none", post + "\r\nhello", 0, ""},
      {"pipelined: the first only", post + "Content-Length: 2\r\n\r\nabPOST / HTTP/1.1\r\n\r\n", 0, "ab"},
      {"chunked within the limit", post + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(4, 250), 0, std::string(1000, 'b')},
      {"chunked beyond it", post + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(5, 250), 413, ""},
      {"one chunk beyond it", post + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(1, 1001), 413, ""},
      {"announced beyond it", post + "Content-Length: 1001\r\n\r\n", 413, ""},
      {"head beyond its bytes", post + "X-A: " + std::string(250, 'a') + "\r\nX-B: " + std::string(250, 'a') +
                                    "\r\nX-C: " + std::string(250, 'a') + "\r\nX-D: " + std::string(250, 'a') + "\r\n\r\n",
       431, ""},
      {"too many fields", post + manyFields + "\r\n", 431, ""},
      {"a long value", post + "X-A: " + std::string(257, 'a') + "\r\n\r\n", 400, ""},
      {"a long target", "GET /" + std::string(256, 't') + " HTTP/1.1\r\n\r\n", 414, ""},
      {"not HTTP", "HELLO\r\n\r\n", 400, ""},
      {"a bad chunk size", post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 400, ""},
      {"head cut short", post, -1, ""},
      {"body cut short", post + "Content-Length: 5\r\n\r\nhel", -1, ""},
      {"chunks cut short", post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", -1, ""},
  };
  for (const auto& c : cases) {
    HttpRequest request;
    EXPECT_EQ(qzwmi::serve::ReadHttpRequest(c.bytes, limits, &request), c.status) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(request.body, c.body) << c.what;
    }
  }
  HttpRequest request;
  ASSERT_EQ(qzwmi::serve::ReadHttpRequest(post + "content-length: 0\r\nX-Multi: a\r\n\r\n", limits, &request), 0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/cimom");
  EXPECT_EQ(request.Header("CONTENT-LENGTH"), "0");
  EXPECT_EQ(request.Header("x-multi"), "a");
  EXPECT_EQ(request.Header("Expect"), std::nullopt);
}

}  // namespace
