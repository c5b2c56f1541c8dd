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
  const size_t at = ("\n" + text).find("\n" + series + " ");
  if (at == std::string::npos) return "";
  const size_t begin = at + series.size() + 1;
  return text.substr(begin, text.find('\n', begin) - begin);
}

// The labels of a module of the default machine, as every module series carries them.
inline std::string DefaultModule(const char* board, const char* socket, const char* part, const char* serial) {
  return std::string("{tag=\"VXN:QZ_MemoryModule:") + board + "-" + socket + "\",board=\"" + board + "\",socket=\"" + socket +
         "\",bank_label=\"Board " + board + "\",part_number=\"" + part + "\",serial=\"" + serial + "\",manufacturer=\"Vexon\"}";
}

}  // namespace metricstest
