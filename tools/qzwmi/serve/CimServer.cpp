// `qzwmi serve`: who may send a request (checked before its body is read), the routes of the
// endpoint, the CIM request read and carried out, and a clean stop on SIGTERM that lets the
// module unload. The connections themselves are HttpServer's.
#include "serve/CimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <objbase.h>
#include <windows.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>


#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "metrics/MetricsEndpoint.h"
#include "metrics/ServiceStats.h"
#include "serve/CimOperations.h"
#include "serve/CimRequest.h"
#include "qzplatform.h"
#include "serve/HealthWatcher.h"
#include "serve/HttpServer.h"
#include "serve/Users.h"

namespace qzwmi::serve {
namespace {

std::mutex g_LogLock;

// One line on standard error; what clients sent (names, attributes) may appear in it, so control
// characters are written as '?' and a line cannot pass for two.
template <class... Args>
void Log(const char* format, Args... args) {
  char line[1024];
  std::snprintf(line, sizeof line, format, args...);
  for (char* c = line; *c; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '?';
  std::lock_guard<std::mutex> hold(g_LogLock);
  std::fprintf(stderr, "qzwmi serve: %s\n", line);
  std::fflush(stderr);
}

// Failed logins per client address. Each address has a bucket of kBurst checks that refills at
// kPerSecond; a check takes one and a check that passes gives it back. When the bucket is empty
// a request waits while a check of its address is under way (a burst of clients with the same
// good password passes once the first has), and is refused without a check otherwise: a guesser
// gets no more than kPerSecond guesses a second however many connections it opens, and costs no
// password hash beyond that. With a lockout, `lockout` failures within a minute refuse the
// address for a minute. Thread-safe.
class LoginLimiter {
 public:
  explicit LoginLimiter(int lockout) : m_Lockout(lockout) {}

  enum class Turn { Check, Wait, Refuse };

  // Whether credentials from `address` are checked now; a check taken ends with Passed or Failed.
  Turn Take(const std::string& address) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_Records.size() >= kMaxAddresses && !m_Records.count(address)) Prune(now);
    Record& record = m_Records.try_emplace(address, Record{kBurst, now, 0, {}, {}}).first->second;
    Refill(record, now);
    if (now < record.lockedUntil) return Turn::Refuse;
    if (record.tokens < 1) return record.checking > 0 ? Turn::Wait : Turn::Refuse;
    record.tokens -= 1;
    ++record.checking;
    return Turn::Check;
  }

  void Passed(const std::string& address) {
    std::lock_guard<std::mutex> hold(m_Lock);
    auto found = m_Records.find(address);
    if (found == m_Records.end()) return;
    found->second.tokens = std::min(kBurst, found->second.tokens + 1);
    --found->second.checking;
  }

  // Counts a failure of a check taken; what changed for the address, for the log: "" or a sentence.
  std::string Failed(const std::string& address) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> hold(m_Lock);
    auto found = m_Records.find(address);
    if (found == m_Records.end()) return "";
    Record& record = found->second;
    --record.checking;
    if (m_Lockout > 0) {
      record.failures.push_back(now);
      while (record.failures.front() <= now - std::chrono::minutes(1)) record.failures.pop_front();
      if (static_cast<int>(record.failures.size()) >= m_Lockout) {
        record.failures.clear();
        record.lockedUntil = now + std::chrono::minutes(1);
        return "locked out for a minute after " + std::to_string(m_Lockout) + " failed logins";
      }
    }
    return record.tokens < 1 ? "further logins are slowed down" : "";
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr double kBurst = 5, kPerSecond = 1;
  static constexpr size_t kMaxAddresses = 100000;
  struct Record {
    double tokens;
    Clock::time_point refilled;
    int checking = 0;  // checks under way
    std::deque<Clock::time_point> failures;
    Clock::time_point lockedUntil{};
  };

  static void Refill(Record& record, Clock::time_point now) {
    record.tokens = std::min(kBurst, record.tokens + std::chrono::duration<double>(now - record.refilled).count() * kPerSecond);
    record.refilled = now;
  }

  // Forgets the addresses that have nothing against them any more; when all have, forgets all.
  void Prune(Clock::time_point now) {
    for (auto record = m_Records.begin(); record != m_Records.end();) {
      Refill(record->second, now);
      const bool clean = record->second.tokens >= kBurst && record->second.checking == 0 && now >= record->second.lockedUntil;
      record = clean ? m_Records.erase(record) : std::next(record);
    }
    if (m_Records.size() >= kMaxAddresses) m_Records.clear();
  }

  const int m_Lockout;
  std::mutex m_Lock;
  std::unordered_map<std::string, Record> m_Records;
};

// The host and port the client addressed, for the instance paths of the answers: a path that a
// client prints can then be given back to it as it is.
std::string HostOf(const HttpRequest& request) {
  const std::optional<std::string> host = request.Header("Host");
  return host && !host->empty() ? *host : "localhost";
}

// The operations counted by name in the metrics; any other method a client sends counts as "other".
const char* OperationLabel(const std::string& method) {
  for (const char* known : {"EnumerateInstances", "EnumerateInstanceNames", "GetInstance", "EnumerateClassNames",
                            "EnumerateClasses", "GetClass", "Associators", "AssociatorNames", "References",
                            "ReferenceNames", "ExecQuery"})
    if (method == known) return known;
  return "other";
}

// Whether a CIM-XML answer carries an ERROR: it stands right after the opening (I)METHODRESPONSE.
bool IsCimError(const std::string& answer) {
  const size_t response = answer.find("<SIMPLERSP><");
  const size_t open = response == std::string::npos ? response : answer.find('>', response + 12);
  return open != std::string::npos && answer.compare(open + 1, 7, "<ERROR ") == 0;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

HttpAnswer Plain(int status) {
  HttpAnswer answer;
  answer.status = status;
  return answer;
}

bool ParseListen(const std::string& listen, bool tls, std::string* address, int* port) {
  *address = "127.0.0.1";
  *port = tls ? 5989 : 5988;
  if (listen.empty()) return true;
  const size_t colon = listen.rfind(':');
  if (colon == std::string::npos || listen.find(']', colon) != std::string::npos) return false;
  *address = listen.substr(0, colon);
  if (address->size() > 1 && address->front() == '[' && address->back() == ']') *address = address->substr(1, address->size() - 2);
  try {
    size_t used = 0;
    *port = std::stoi(listen.substr(colon + 1), &used);
    return used == listen.size() - colon - 1 && *port >= 0 && *port <= 65535 && !address->empty();
  } catch (...) {
    return false;
  }
}

// Binds and listens on ADDRESS:PORT. Only SO_REUSEADDR, so that a restart binds at once while a
// second server on the same port is refused (with SO_REUSEPORT it would start and take half the
// connections); a backlog as deep as the system allows, for bursts of clients.
int Listen(const std::string& address, int port, std::string* error) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  if (const int failed = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found)) {
    *error = gai_strerror(failed);
    return -1;
  }
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  const int yes = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    *error = errno == EADDRINUSE ? "the port is in use, perhaps by another qzwmi serve" : std::strerror(errno);
    if (fd >= 0) close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

// Who made the socket a reload hands over, as the next process is told in this variable: "systemd"
// (it stays whatever --listen says) or "serve" (a reload to another address binds a new one).
constexpr char kHandedOverFrom[] = "QZWMI_SERVE_HANDED_OVER";

// The listening socket that systemd passes (LISTEN_PID is this process, LISTEN_FDS at least 1: the
// first is fd 3), or that a reload of this process left in the same place; -1 when none. The
// variables are removed, so that nothing started from here takes them. `from` is "systemd",
// "serve" (a reload of a server that bound its own) or "" (none).
int SocketFromSystemd(std::string* from) {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  const char* handedOver = std::getenv(kHandedOverFrom);
  const bool mine = pid && fds && std::strtol(pid, nullptr, 10) == getpid() && std::strtol(fds, nullptr, 10) >= 1;
  *from = !mine ? "" : handedOver && std::strcmp(handedOver, "serve") == 0 ? "serve" : "systemd";
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  unsetenv(kHandedOverFrom);
  if (!mine) return -1;
  int listening = 0;
  socklen_t size = sizeof listening;
  if (getsockopt(3, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) return -1;
  fcntl(3, F_SETFD, FD_CLOEXEC);
  return 3;
}

// The address and port a socket listens on, as ADDR:PORT.
std::string LocalAddress(int fd, int* port) {
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  char text[INET6_ADDRSTRLEN] = "?";
  *port = 0;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    if (local.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
      inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
      *port = ntohs(v4->sin_port);
    } else if (local.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
      inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
      *port = ntohs(v6->sin6_port);
    }
  }
  return std::string(text) + ":" + std::to_string(*port);
}

// Whether files can be written in `folder`: a page is written and synced there, so that a full
// disk shows as well as a read-only one. The reason in `error` when not.
bool CanWrite(const std::string& folder, std::string* error) {
  std::string name = folder + "/.qzwmi-serve-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  const std::string page(4096, '\0');
  const bool written = write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size()) && fsync(fd) == 0;
  if (!written) *error = std::strerror(errno);
  close(fd);
  unlink(name.c_str());
  return written;
}

// What the start-up checks settle: where to listen, over what, and whom to let in.
struct StartupSettings {
  bool tls = false;
  std::string address;
  int port = 0;
  bool usersFile = false;  // logins are checked against the users file
  std::shared_ptr<const UserFile> users = std::make_shared<const UserFile>();
  std::string metricsToken;
};

// The options checked against each other and against the machine before anything is bound. False,
// the reason logged, for a server that could not work.
bool CheckStartup(const ServeOptions& options, StartupSettings* settings) {
  settings->tls = !options.tlsCert.empty() || !options.tlsKey.empty();
  if (!ParseListen(options.listen, settings->tls, &settings->address, &settings->port)) {
    Log("--listen wants ADDR:PORT, not '%s'", options.listen.c_str());
    return false;
  }
  if (options.noAuth && !IsLoopback(settings->address)) {
    Log("--no-auth is allowed only on a loopback address, not %s", settings->address.c_str());
    return false;
  }
  if (settings->tls && (options.tlsCert.empty() || options.tlsKey.empty())) {
    Log("HTTPS needs both --tls-cert and --tls-key");
    return false;
  }
  settings->usersFile = !options.noAuth && options.pamService.empty();
  if (settings->usersFile) {
    auto loaded = std::make_shared<UserFile>();
    std::string error;
    if (!loaded->Load(options.usersFile, &error)) {
      Log("%s (make one with `qzwmi passwd USER`, or use --pam or --no-auth)", error.c_str());
      return false;
    }
    if (loaded->Count() == 0) Log("warning: the users file %s holds no user: every request will be refused", options.usersFile.c_str());
    settings->users = std::move(loaded);
  }
  if (options.metrics.auth == metrics::MetricsAuth::Users && !settings->usersFile && options.pamService.empty()) {
    Log("--metrics-auth users needs the users file or PAM, not --no-auth");
    return false;
  }
  if (options.metrics.auth == metrics::MetricsAuth::Token) {
    std::string error;
    if (!metrics::ReadTokenFile(options.metrics.tokenFile, &settings->metricsToken, &error)) {
      Log("%s", error.c_str());
      return false;
    }
  }
  // Every request writes to the root (the log, the registry); a server that cannot would fail them all.
  const std::string root = QzGetSystemRoot();
  if (std::string error; !CanWrite(root, &error)) {
    Log("cannot write the system root %s (%s)", root.c_str(), error.c_str());
    return false;
  }
  return true;
}

// A descriptor per connection: as many as the process may have.
void RaiseOpenFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

HttpLimits LimitsOf(const ServeOptions& options) {
  HttpLimits limits;
  limits.headerBytes = options.maxHeaders;
  limits.body = options.maxBody;
  limits.headSeconds = options.headSeconds;
  limits.bodySeconds = options.bodySeconds;
  limits.idleSeconds = options.idleSeconds;
  limits.connections = static_cast<size_t>(std::max(1, options.maxConnections));
  limits.perAddress = static_cast<size_t>(std::max(1, options.maxPerAddress));
  limits.workers = std::max(1, options.threads);
  return limits;
}

// What the endpoint answers: who may go on to send a body (the screen of each request's head), and
// the routes /cimom and /metrics. The users in force are replaced by SIGHUP while requests read them.
class Endpoint {
 public:
  Endpoint(const ServeOptions& options, const StartupSettings& settings)
      : m_Options(options),
        m_Users(settings.users),
        m_Limiter(options.lockout),
        m_Metrics(options.metrics, settings.metricsToken,
                  [this](const std::string& authorization) { return CheckMetricsLogin(authorization); }, &m_Stats,
                  options.build) {}

  metrics::ServiceStats& Stats() { return m_Stats; }

  // With credentials that pass, the request goes on; else a challenge, answered late (by a timer,
  // holding no thread) after a failed login, whose address is slowed down.
  std::optional<HttpAnswer> Screen(const HttpRequest& head, bool mayBlock) {
    // The metrics have an authentication of their own.
    if (m_Options.noAuth || metrics::MetricsEndpoint::Handles(head.target)) return std::nullopt;
    const std::optional<std::string> authorization = head.Header("Authorization");
    if (!authorization) return Challenge(0);
    const auto credentials = BasicCredentials(*authorization);
    if (credentials && m_Recent.Holds(credentials->first, credentials->second)) return std::nullopt;
    if (!mayBlock) return Later(0);  // a password to hash, or PAM to ask
    switch (m_Limiter.Take(head.peer)) {
      case LoginLimiter::Turn::Check: break;
      case LoginLimiter::Turn::Refuse: return Challenge(m_Options.failedLoginDelayMs);
      case LoginLimiter::Turn::Wait: return Later(20);
    }
    if (credentials && CheckPassword(credentials->first, credentials->second)) {
      m_Limiter.Passed(head.peer);
      m_Recent.Add(credentials->first, credentials->second);
      return std::nullopt;
    }
    m_Stats.RecordFailedLogin();
    Log("failed login of '%s' from %s", credentials ? credentials->first.c_str() : "(malformed)", head.peer.c_str());
    if (const std::string change = m_Limiter.Failed(head.peer); !change.empty()) Log("%s: %s", head.peer.c_str(), change.c_str());
    return Challenge(m_Options.failedLoginDelayMs);
  }

  // Every route of the endpoint, one line each.
  HttpAnswer Route(const HttpRequest& request) {
    try {
      const std::string_view path = std::string_view(request.target).substr(0, request.target.find('?'));
      if (request.method == "POST" && path == "/cimom") return Cim(request);
      if (path == "/metrics") return Metrics(request);
      return Plain(404);
    } catch (...) {
      return Plain(500);
    }
  }

  // The users a reload read; a changed or removed password counts from the next request on.
  void ReplaceUsers(std::shared_ptr<const UserFile> users) {
    {
      std::lock_guard<std::mutex> hold(m_UsersLock);
      m_Users = std::move(users);
    }
    m_Recent.Clear();
  }

  // Lets the service go, so that the module can unload.
  void Release() {
    m_Operations.Release();
    m_Metrics.Release();
  }

 private:
  std::shared_ptr<const UserFile> CurrentUsers() {
    std::lock_guard<std::mutex> hold(m_UsersLock);
    return m_Users;
  }

  bool CheckPassword(const std::string& user, const std::string& password) {
    return m_Options.pamService.empty() ? CurrentUsers()->Check(user, password)
                                        : PamCheck(m_Options.pamService, user, password);
  }

  // The metrics' own check of a users-file login: on a worker, through the same cache of
  // credentials that passed lately.
  bool CheckMetricsLogin(const std::string& authorization) {
    const auto credentials = BasicCredentials(authorization);
    if (!credentials) return false;
    if (m_Recent.Holds(credentials->first, credentials->second)) return true;
    const bool good = CheckPassword(credentials->first, credentials->second);
    if (good) m_Recent.Add(credentials->first, credentials->second);
    return good;
  }

  HttpAnswer Challenge(int delayMs) {
    m_Stats.RecordRequest("none", "unauthorized", 0);
    HttpAnswer answer = Plain(401);
    answer.headers.emplace_back("WWW-Authenticate", "Basic realm=\"qzwmi\"");
    answer.delayMs = delayMs;
    return answer;
  }

  static HttpAnswer Later(int delayMs) {
    HttpAnswer again;
    again.again = true;
    again.delayMs = delayMs;
    return again;
  }

  HttpAnswer Cim(const HttpRequest& request) {
    const HeaderLookup header = [&](std::string_view name) { return request.Header(name); };
    const CimParse parse = ParseCimRequest(header, request.body);
    if (parse.status) {
      m_Stats.RecordRequest("none", "refused", 0);
      Log("refused a request from %s: %s", request.peer.c_str(), parse.detail.c_str());
      HttpAnswer answer = Plain(parse.status);
      answer.headers.emplace_back("CIMError", parse.cimError);
      return answer;
    }
    HttpAnswer answer;
    const auto start = std::chrono::steady_clock::now();
    answer.body = m_Operations.Execute(parse.request, HostOf(request));
    m_Stats.RecordRequest(OperationLabel(parse.request.method), IsCimError(answer.body) ? "error" : "ok", SecondsSince(start));
    answer.headers = {{"Content-Type", "application/xml; charset=\"utf-8\""}, {"CIMOperation", "MethodResponse"}};
    return answer;
  }

  HttpAnswer Metrics(const HttpRequest& request) {
    const std::optional<std::string> authorization = request.Header("Authorization");
    const metrics::MetricsRequest asked{request.method, request.target, request.Header("Accept").value_or(""),
                                        authorization.value_or(""), authorization.has_value(), request.peer};
    metrics::MetricsAnswer given = m_Metrics.AnswerMetrics(asked);
    HttpAnswer answer = Plain(given.status);
    answer.headers = std::move(given.headers);
    answer.headers.emplace_back("Content-Type", given.contentType);
    answer.body = request.method == "HEAD" ? std::string() : std::move(given.body);
    if (given.failedLogin) {
      Log("failed login to the metrics from %s", request.peer.c_str());
      answer.delayMs = m_Options.failedLoginDelayMs;  // a timer, as for the CIM requests
    }
    return answer;
  }

  const ServeOptions& m_Options;
  std::mutex m_UsersLock;
  std::shared_ptr<const UserFile> m_Users;
  CimOperations m_Operations;
  CredentialCache m_Recent;
  LoginLimiter m_Limiter;
  metrics::ServiceStats m_Stats;
  metrics::MetricsEndpoint m_Metrics;
};

// The listening socket and where it came from.
struct Listener {
  int fd = -1;
  bool activated = false;  // passed in by systemd, or by the process this one replaced
  bool reloaded = false;   // by the process this one replaced
  std::string from;        // see SocketFromSystemd
};

// The socket that was passed in, else one bound to the address of the options; false (logged)
// when none can be bound.
bool OpenListener(const StartupSettings& settings, Listener* listener) {
  listener->fd = SocketFromSystemd(&listener->from);
  listener->activated = listener->fd >= 0;
  listener->reloaded = std::getenv(kServeHandOver) != nullptr;  // set by the process this one replaced
  unsetenv(kServeHandOver);
  if (listener->activated) return true;
  std::string error;
  listener->fd = Listen(settings.address, settings.port, &error);
  if (listener->fd < 0) {
    Log("cannot listen on %s:%d (%s)", settings.address.c_str(), settings.port, error.c_str());
    return false;
  }
  return true;
}

// SIGTERM and SIGINT are taken by one thread, which stops the server, and SIGHUP, which re-reads
// the configuration; every other thread of the process is started after they are blocked.
sigset_t BlockServeSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

// A reload whose options differ starts the command again in this process, so that every option
// takes effect as at a start, while clients see no refused connection: the listening socket is
// kept (or, for a new --listen, bound here first) and handed over as systemd would hand it. The
// new options are checked here first, so that a slip in an edit leaves this server running.
class HandOver {
 public:
  HandOver(const ServeOptions& options, const Listener& listener) : m_Options(options), m_Listener(listener) {}

  // The socket for the next process, and the options it will start with checked; false with the
  // reason when they would not start.
  bool Prepare(const ServeOptions& next, std::string* error) {
    const bool ownSocket = !m_Listener.activated || m_Listener.from == "serve";
    const int socket = ownSocket && next.listen != m_Options.listen ? ListenAgain(next, error) : KeepListening(error);
    if (socket < 0) return false;
    std::string failure;
    if (!next.noAuth && next.pamService.empty() && !UserFile().Load(next.usersFile, &failure)) {
      *error = failure;
    } else {
      for (const std::string* file : {&next.tlsCert, &next.tlsKey})
        if (!file->empty() && access(file->c_str(), R_OK) != 0) *error = *file + ": " + std::strerror(errno);
    }
    if (!error->empty()) {
      close(socket);
      return false;
    }
    m_Socket = socket;
    setenv(kHandedOverFrom, ownSocket ? "serve" : "systemd", 1);
    return true;
  }

  // The socket handed over, -1 when no reload was prepared.
  int Socket() const { return m_Socket; }

 private:
  static int ListenAgain(const ServeOptions& next, std::string* error) {
    std::string nextAddress;
    int nextPort = 0;
    const bool nextTls = !next.tlsCert.empty() || !next.tlsKey.empty();
    if (!ParseListen(next.listen, nextTls, &nextAddress, &nextPort)) {
      *error = "--listen wants ADDR:PORT, not '" + next.listen + "'";
      return -1;
    }
    return Listen(nextAddress, nextPort, error);
  }

  int KeepListening(std::string* error) const {
    const int socket = fcntl(m_Listener.fd, F_DUPFD_CLOEXEC, 3);  // the server closes its own when it ends
    if (socket < 0) *error = std::strerror(errno);
    return socket;
  }

  const ServeOptions& m_Options;
  const Listener& m_Listener;
  int m_Socket = -1;
};

// SIGHUP without a changed configuration: the users file read again. A file that cannot be read
// keeps the users in force: a slip in an edit must not lock all out.
void RereadUsers(const ServeOptions& options, Endpoint& endpoint) {
  auto loaded = std::make_shared<UserFile>();
  std::string error;
  if (!loaded->Load(options.usersFile, &error)) {
    Log("SIGHUP: kept the users in force: %s", error.c_str());
    return;
  }
  const size_t count = loaded->Count();
  endpoint.ReplaceUsers(std::move(loaded));
  Log("SIGHUP: re-read %zu users from %s", count, options.usersFile.c_str());
}

// Takes the blocked signals until one stops the server: SIGTERM, SIGINT, or SIGHUP with a changed
// configuration that `handOver` has prepared. Returns the last signal taken.
int WaitForStop(const sigset_t& signals, const ServeOptions& options, bool usersFile, Endpoint& endpoint,
                HandOver& handOver) {
  int signal = 0;
  while (sigwait(&signals, &signal) == 0 && signal == SIGHUP) {
    if (options.reread) {
      ServeOptions next;
      std::string error;
      if (!options.reread(&next, &error)) {
        Log("SIGHUP: kept the configuration in force: %s", error.c_str());
      } else if (!(next == options)) {
        if (handOver.Prepare(next, &error)) break;
        Log("SIGHUP: kept the configuration in force: %s", error.c_str());
      }
    }
    if (!usersFile) {
      Log("SIGHUP: no users file to re-read");
      continue;
    }
    RereadUsers(options, endpoint);
  }
  return signal;
}

// The thread that takes the signals (see WaitForStop) and then stops the server, logging why.
class SignalThread {
 public:
  SignalThread(const sigset_t& signals, const ServeOptions& options, bool usersFile, Endpoint& endpoint,
               HandOver& handOver, HttpServer& server)
      : m_Thread([&signals, &options, usersFile, &endpoint, &handOver, &server, this] {
          const int signal = WaitForStop(signals, options, usersFile, endpoint, handOver);
          m_Signalled = true;
          if (handOver.Socket() >= 0)
            Log("SIGHUP: the configuration changed: starting again with it");
          else
            Log("stopping on signal %d", signal);
          server.Stop();  // kept until the server runs, when it comes before
        }) {}

  // After the server's run: a run that ended by itself wakes the waiting thread so that it can be
  // joined.
  void Join() {
    if (!m_Signalled) pthread_kill(m_Thread.native_handle(), SIGTERM);
    m_Thread.join();
  }

 private:
  std::atomic<bool> m_Signalled{false};
  std::thread m_Thread;
};

// Where the server listens, over what, and whom it lets in.
void LogListening(const ServeOptions& options, const StartupSettings& settings, const Listener& listener) {
  int boundPort = 0;
  const std::string bound = LocalAddress(listener.fd, &boundPort);
  Log("listening on %s (%s, %s%s)", bound.c_str(), settings.tls ? "HTTPS" : "HTTP",
      options.noAuth ? "no authentication" : options.pamService.empty() ? "users file" : "PAM",
      listener.reloaded ? ", socket handed over at a reload" : listener.activated ? ", socket from systemd" : "");
}

// The service let go, so that the module unloads. The exit status: 0, or kServeReload with the
// socket to hand over in the environment.
int Shutdown(Endpoint& endpoint, const HandOver& handOver) {
  endpoint.Release();
  if (handOver.Socket() >= 0) {
    setenv(kServeHandOver, std::to_string(handOver.Socket()).c_str(), 1);
    return kServeReload;
  }
  Log("stopped");
  return 0;
}

}  // namespace

void KeepAnswerMemory() {
  // Answers of some hundred kilobytes are made and dropped at every request. Taken from the heap
  // and left there when freed, rather than mapped afresh and handed back each time, their pages
  // are not faulted in again and again.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // Answers are made on the workers and let go on the I/O thread; with an arena per worker, each
  // would keep its own share of free memory (twice the memory under 64 clients, and creeping up).
  mallopt(M_ARENA_MAX, 2);
}

bool IsLoopback(const std::string& address) {
  if (address == "localhost" || address == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, address.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

int Serve(const ServeOptions& options) {
  StartupSettings settings;
  if (!CheckStartup(options, &settings)) return 2;
  RaiseOpenFileLimit();

  Endpoint endpoint(options, settings);
  HttpServer server(
      LimitsOf(options), [&](const HttpRequest& head, bool mayBlock) { return endpoint.Screen(head, mayBlock); },
      [&](const HttpRequest& request) { return endpoint.Route(request); });
  endpoint.Stats().CountConnectionsWith([&server] { return static_cast<int64_t>(server.OpenConnections()); });
  if (settings.tls) {
    std::string error;
    if (!server.UseTls(options.tlsCert, options.tlsKey, &error)) {
      Log("cannot load the certificate %s or the key %s (%s)", options.tlsCert.c_str(), options.tlsKey.c_str(), error.c_str());
      return 2;
    }
  }
  Listener listener;
  if (!OpenListener(settings, &listener)) return 2;
  server.Adopt(listener.fd);

  // The service stands where the server's management agent stands, and the agent keeps the memory
  // event counter. Without a counter every list of the module rebuilds at every request.
  StartMemoryEventCounter();
  KeepAnswerMemory();
  const sigset_t signals = BlockServeSignals();

  HealthWatcher watcher(options.watchSeconds, [](const std::string& line) { Log("%s", line.c_str()); });
  // Every worker joins the COM apartment of the process.
  server.OnWorkerThread([] { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }, [] { CoUninitialize(); });
  LogListening(options, settings, listener);

  HandOver handOver(options, listener);
  SignalThread signalThread(signals, options, settings.usersFile, endpoint, handOver, server);
  server.Run();
  signalThread.Join();
  return Shutdown(endpoint, handOver);
}

}  // namespace qzwmi::serve
