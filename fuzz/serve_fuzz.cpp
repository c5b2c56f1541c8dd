// Fuzzes the request reader of `qzwmi serve`: any bytes on a connection (long header sections,
// chunked bodies) are read or refused with a status the server knows, any headers and body are
// read or refused without a fault, a refusal always names its HTTP status and CIMError, and
// whatever the reader takes out of a request the response writer turns back into well-formed XML.
#include <pugixml.hpp>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "serve/CimRequest.h"
#include "serve/CimXml.h"
#include "serve/HttpRead.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

bool WellFormed(const std::string& xml) {
  pugi::xml_document document;
  return static_cast<bool>(document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8));
}

}  // namespace

// The input is what a client sends on a connection when it starts with "POST " (read as the
// server reads it, with smaller bounds so that the fuzzer reaches them); else "Name: value" header
// lines, an empty line, then the body; without an empty line the whole input is the body and the
// headers are those of a GetInstance call.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::map<std::string, std::string> headers = {{"content-type", "application/xml"},
                                                {"cimoperation", "MethodCall"},
                                                {"cimmethod", "GetInstance"},
                                                {"cimobject", "root%2FVXN"}};
  std::string body = input;
  const size_t blank = input.find("\n\n");
  if (input.rfind("POST ", 0) == 0) {
    qzwmi::serve::HttpLimits limits;
    limits.headerBytes = 4096;
    limits.headerLine = 1024;
    limits.headerCount = 32;
    limits.body = 64 << 10;
    qzwmi::serve::HttpRequest request;
    const int status = qzwmi::serve::ReadHttpRequest(input, limits, &request);
    Check(status == 0 || status == -1 || status == 400 || status == 413 || status == 414 || status == 431);
    if (status != 0) return 0;
    Check(request.body.size() <= limits.body);
    headers.clear();
    for (auto& [name, value] : request.headers) {
      std::string lower = name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      headers.emplace(lower, value);
    }
    body = std::move(request.body);
  } else if (blank != std::string::npos) {
    headers.clear();
    body = input.substr(blank + 2);
    size_t begin = 0;
    while (begin < blank) {
      size_t end = input.find('\n', begin);
      if (end == std::string::npos || end > blank) end = blank;
      const std::string line = input.substr(begin, end - begin);
      const size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        headers[name] = line.substr(colon + 1);
      }
      begin = end + 1;
    }
  }
  const qzwmi::serve::CimParse parse = qzwmi::serve::ParseCimRequest(
      [&](std::string_view name) -> std::optional<std::string> {
        std::string lower(name);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto found = headers.find(lower);
        if (found == headers.end()) return std::nullopt;
        return found->second;
      },
      body);
  if (parse.status != 0) {
    Check(parse.status == 400 || parse.status == 501);
    Check(!parse.cimError.empty());
    return 0;
  }
  const qzwmi::serve::CimRequest& request = parse.request;
  Check(!request.messageId.empty() && !request.method.empty());
  Check(!request.intrinsic || !request.nameSpace.empty());
  std::string answer = qzwmi::serve::ResponseHead(request.messageId, request.method);
  if (request.instanceName) {
    answer += qzwmi::serve::InstanceNameXml(*request.instanceName);
    answer += qzwmi::serve::InstancePathXml(request.query.value_or("host"), request.nameSpace, *request.instanceName);
  }
  answer += qzwmi::serve::ResponseTail();
  Check(WellFormed(answer));
  Check(WellFormed(qzwmi::serve::ErrorResponse(request.messageId, request.method, request.intrinsic, 1,
                                               request.role.value_or("") + request.className.value_or(""))));
  return 0;
}
