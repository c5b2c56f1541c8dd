#include "metrics/MetricsEndpoint.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include <arpa/inet.h>

#include "Commands.h"

namespace qzwmi::metrics {
namespace {

// Compares without stopping at the first difference, so that the time taken tells nothing of the token.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  return differ == 0;
}

}  // namespace

bool IsLoopbackPeer(const std::string& address) {
  std::string v4 = address;
  if (v4.rfind("::ffff:", 0) == 0) v4 = v4.substr(7);  // an IPv4 peer of an IPv6 socket
  in_addr parsed{};
  return address == "::1" || (inet_pton(AF_INET, v4.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127);
}

bool ReadTokenFile(const std::string& path, std::string* token, std::string* error) {
  struct stat info {};
  std::ifstream file(path);
  if (!file || stat(path.c_str(), &info) != 0) {
    *error = path + ": cannot be read";
    return false;
  }
  if (!S_ISREG(info.st_mode) || (info.st_mode & S_IRWXO)) {
    *error = path + ": the token file must be a regular file that others cannot read (chmod 600 or 640)";
    return false;
  }
  std::string line;
  std::getline(file, line);
  const size_t begin = line.find_first_not_of(" \t\r");
  const size_t end = line.find_last_not_of(" \t\r");
  *token = begin == std::string::npos ? std::string() : line.substr(begin, end - begin + 1);
  if (token->empty()) {
    *error = path + ": holds no token on its first line";
    return false;
  }
  return true;
}

MetricsEndpoint::MetricsEndpoint(MetricsSettings settings, std::string token,
                                 std::function<bool(const std::string&)> checkUser, ServiceStats* stats,
                                 BuildInfo build)
    : m_Settings(std::move(settings)), m_Token(std::move(token)), m_CheckUser(std::move(checkUser)), m_Stats(stats),
      m_Build(std::move(build)) {}

bool MetricsEndpoint::Handles(const std::string& target) {
  return target == "/metrics" || target.rfind("/metrics?", 0) == 0;
}

MetricsAnswer MetricsEndpoint::Refuse(int status, const char* why) {
  MetricsAnswer answer;
  answer.status = status;
  answer.contentType = "text/plain; charset=utf-8";
  answer.body = std::string(why) + "\n";
  return answer;
}

HRESULT MetricsEndpoint::Services(CComPtr<IWbemServices>& services) {
  std::lock_guard<std::mutex> hold(m_Lock);
  if (!m_Services) {
    HRESULT hr = qzwmi::Connect(L"root\\VXN", &m_Services);
    if (FAILED(hr)) return hr;
  }
  services = m_Services;
  return S_OK;
}

void MetricsEndpoint::Release() {
  std::lock_guard<std::mutex> hold(m_Lock);
  m_Services.Release();
}

MetricsAnswer MetricsEndpoint::AnswerMetrics(const MetricsRequest& request) {
  const auto start = std::chrono::steady_clock::now();
  MetricsAnswer answer = [&] {
    if (!Handles(request.target)) return Refuse(404, "not found");
    if (request.method != "GET" && request.method != "HEAD") {
      MetricsAnswer refused = Refuse(405, "only GET and HEAD");
      refused.headers.emplace_back("Allow", "GET, HEAD");
      return refused;
    }
    if (m_Settings.auth == MetricsAuth::None && !m_Settings.anyPeer && !IsLoopbackPeer(request.peer))
      return Refuse(403, "metrics without authentication are answered on loopback only");
    if (m_Settings.auth == MetricsAuth::Users) {
      if (!request.hasAuthorization || !m_CheckUser || !m_CheckUser(request.authorization)) {
        MetricsAnswer refused = Refuse(401, "unauthorized");
        refused.headers.emplace_back("WWW-Authenticate", "Basic realm=\"qzwmi\"");
        refused.failedLogin = request.hasAuthorization;
        return refused;
      }
    }
    if (m_Settings.auth == MetricsAuth::Token) {
      const std::string& given = request.authorization;
      const bool bearer = given.size() > 7 && given.compare(0, 7, "Bearer ") == 0;
      if (!bearer || !SameSecret(given.substr(7), m_Token)) {
        MetricsAnswer refused = Refuse(401, "unauthorized");
        refused.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"qzwmi\"");
        refused.failedLogin = request.hasAuthorization;
        return refused;
      }
    }
    const Format format = FormatForAccept(request.accept);
    CComPtr<IWbemServices> services;
    MetricsAnswer built;
    HRESULT hr = Services(services);
    if (SUCCEEDED(hr)) hr = m_Metrics.Build(services, format, m_Build, m_Stats, &built.body);
    if (FAILED(hr)) {
      char text[64];
      std::snprintf(text, sizeof text, "cannot read the instances (0x%08X)", static_cast<unsigned>(hr));
      return Refuse(500, text);
    }
    built.contentType = ContentType(format);
    return built;
  }();
  if (m_Stats) {
    if (answer.failedLogin) m_Stats->RecordFailedLogin();
    const char* result = answer.status == 200 ? "ok" : answer.status == 401 ? "unauthorized" : answer.status >= 500 ? "error" : "refused";
    m_Stats->RecordRequest("metrics", result, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return answer;
}

}  // namespace qzwmi::metrics
