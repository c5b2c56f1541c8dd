// What the metrics tests share: a scrape with curl, and the value of one sample of an exposition.
#pragma once

#include <string>
#include <vector>

#include "tests/serve/ServeFixture.h"

namespace metricstest {

using servetest::Reply;

// GETs /metrics from the loopback `port` with curl, with extra curl options (headers).
inline Reply Get(int port, const std::vector<std::string>& extra = {}) {
  return servetest::Curl(extra, "http://127.0.0.1:" + std::to_string(port) + "/metrics");
}

// The value of the sample whose line starts with `series` (name and labels as written), or "".
inline std::string Sample(const std::string& text, const std::string& series) {
  const std::string start = series + " ";
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.rfind(start, 0) == 0) return line.substr(start.size());
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return "";
}

// The labels of a module of the default machine, as every module series carries them.
inline std::string DefaultModule(const char* board, const char* socket, const char* part, const char* serial) {
  return std::string("{tag=\"VXN:QZ_MemoryModule:") + board + "-" + socket + "\",board=\"" + board + "\",socket=\"" + socket +
         "\",bank_label=\"Board " + board + "\",part_number=\"" + part + "\",serial=\"" + serial + "\",manufacturer=\"Vexon\"}";
}

}  // namespace metricstest
