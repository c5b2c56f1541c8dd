// GET /metrics of `qzwmi serve`, apart from any HTTP library: the server hands over the request's
// method, target, Accept and Authorization headers and the peer's address, and sends back the
// answer as it is given. Authentication has its own setting: none (loopback peers only, unless
// told otherwise), the users file of the service, or a bearer token read from a file.
#pragma once

#include <wbemcli.h>

#include <atlbase.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "metrics/MemoryMetrics.h"
#include "metrics/ServiceStats.h"

namespace qzwmi::metrics {

enum class MetricsAuth { None, Users, Token };

struct MetricsSettings {
  MetricsAuth auth = MetricsAuth::None;
  bool anyPeer = false;      // without authentication: answer peers beyond loopback as well
  std::string tokenFile;     // MetricsAuth::Token: the file whose first line is the token
  bool operator==(const MetricsSettings&) const = default;
};

struct MetricsRequest {
  std::string method;
  std::string target;         // the path and query, as the request line gives them
  std::string accept;
  std::string authorization;  // the header's value; "" when absent
  bool hasAuthorization = false;
  std::string peer;           // the client's address
};

struct MetricsAnswer {
  int status = 200;
  std::string contentType;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool failedLogin = false;   // credentials were given and did not pass (the server may slow down)
};

// Reads the bearer token of `path`: its first line, blanks trimmed. False with a message when the
// file cannot be read, is writable or readable by others than its owner and group, or holds no token.
bool ReadTokenFile(const std::string& path, std::string* token, std::string* error);

// True for 127.0.0.0/8 (also as an IPv4-mapped IPv6 address) and ::1.
bool IsLoopbackPeer(const std::string& address);

class MetricsEndpoint {
 public:
  // `checkUser` checks the value of an Authorization header against the users (MetricsAuth::Users). `stats` is counted into the
  // answers, and each scrape is counted in it.
  MetricsEndpoint(MetricsSettings settings, std::string token, std::function<bool(const std::string&)> checkUser,
                  ServiceStats* stats, BuildInfo build);

  // True when `target` is this endpoint's path (with or without a query).
  static bool Handles(const std::string& target);

  // The answer to `request`; for HEAD the HTTP layer sends its headers without the body.
  MetricsAnswer AnswerMetrics(const MetricsRequest& request);

  // Drops the connection to the service, so that the module can be unloaded.
  void Release();

 private:
  MetricsAnswer Refuse(int status, const char* why);
  HRESULT Services(CComPtr<IWbemServices>& services);

  MetricsSettings m_Settings;
  std::string m_Token;
  std::function<bool(const std::string&)> m_CheckUser;
  ServiceStats* m_Stats;
  BuildInfo m_Build;
  MemoryMetrics m_Metrics;
  std::mutex m_Lock;
  CComPtr<IWbemServices> m_Services;
};

}  // namespace qzwmi::metrics
