// The HTTP side of `qzwmi serve`: limits and authentication before a body is read, the CIM
// request read and carried out, a bounded pool of connection threads, and a clean stop on
// SIGTERM that lets the module unload.
#include "serve/CimServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <netinet/in.h>
#include <objbase.h>
#include <windows.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "metrics/MetricsEndpoint.h"
#include "metrics/ServiceStats.h"
#include "serve/CimOperations.h"
#include "serve/CimRequest.h"
#include "serve/HealthWatcher.h"
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

// Set on the thread that answers connections beyond the limit: each gets 503 and is closed.
thread_local bool t_Overflow = false;

// httplib's pool with a bound: `threads` workers serve connections, at most `limit` connections
// are served or waiting, and the ones beyond go to a single thread that refuses them at once.
// Every worker joins the COM apartment of the process.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool(int threads, int limit, metrics::ServiceStats* stats) : m_Limit(static_cast<size_t>(limit)), m_Stats(stats) {
    for (int i = 0; i < threads; ++i) m_Threads.emplace_back([this] { Work(m_Jobs, false); });
    m_Threads.emplace_back([this] { Work(m_Overflow, true); });
  }

  void enqueue(std::function<void()> job) override {
    m_Stats->ConnectionOpened();
    {
      std::lock_guard<std::mutex> hold(m_Lock);
      (m_Jobs.size() + m_Busy >= m_Limit ? m_Overflow : m_Jobs).push_back(std::move(job));
    }
    m_Ready.notify_all();
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> hold(m_Lock);
      m_Stopping = true;
    }
    m_Ready.notify_all();
    for (std::thread& thread : m_Threads) thread.join();
  }

 private:
  void Work(std::deque<std::function<void()>>& queue, bool overflow) {
    t_Overflow = overflow;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Ready.wait(hold, [&] { return m_Stopping || !queue.empty(); });
        if (queue.empty()) break;
        job = std::move(queue.front());
        queue.pop_front();
        if (!overflow) ++m_Busy;
      }
      job();
      m_Stats->ConnectionClosed();
      if (!overflow) {
        std::lock_guard<std::mutex> hold(m_Lock);
        --m_Busy;
      }
    }
    CoUninitialize();
  }

  const size_t m_Limit;
  metrics::ServiceStats* m_Stats;
  std::mutex m_Lock;
  std::condition_variable m_Ready;
  std::deque<std::function<void()>> m_Jobs, m_Overflow;
  size_t m_Busy = 0;
  bool m_Stopping = false;
  std::vector<std::thread> m_Threads;
};

// The host and port the client addressed, for the instance paths of the answers: a path that a
// client prints can then be given back to it as it is.
std::string HostOf(const httplib::Request& request) {
  const std::string host = request.get_header_value("Host");
  return host.empty() ? "localhost" : host;
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

void Refuse(httplib::Response& response, int status, const char* cimError) {
  response.status = status;
  if (cimError) response.set_header("CIMError", cimError);
  // The body was not read, so the connection cannot carry another request: the client is told to
  // close it (what it sends on regardless is read as a new request, and refused).
  response.set_header("Connection", "close");
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

// Ends the wait of every connection to `port` that sits idle between two requests: their reading
// side is shut, so the wait ends at once and the connection closes, while an answer being written
// still goes out. cpp-httplib would otherwise keep each one until its idle time runs out.
void EndIdleConnections(int port) {
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return;
  while (dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(fds)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
      continue;
    const int localPort = local.ss_family == AF_INET    ? ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port)
                          : local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                                                        : -1;
    if (localPort == port) shutdown(fd, SHUT_RD);
  }
  closedir(fds);
}

}  // namespace

void KeepAnswerMemory() {
  // Answers of some hundred kilobytes are made and dropped at every request. Taken from the heap
  // and left there when freed, rather than mapped afresh and handed back each time, their pages
  // are not faulted in again and again.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

bool IsLoopback(const std::string& address) {
  if (address == "localhost" || address == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, address.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

int Serve(const ServeOptions& options) {
  const bool tls = !options.tlsCert.empty() || !options.tlsKey.empty();
  std::string address;
  int port = 0;
  if (!ParseListen(options.listen, tls, &address, &port)) {
    Log("--listen wants ADDR:PORT, not '%s'", options.listen.c_str());
    return 2;
  }
  if (options.noAuth && !IsLoopback(address)) {
    Log("--no-auth is allowed only on a loopback address, not %s", address.c_str());
    return 2;
  }
  if (tls && (options.tlsCert.empty() || options.tlsKey.empty())) {
    Log("HTTPS needs both --tls-cert and --tls-key");
    return 2;
  }
  // The users in force; SIGHUP replaces them while requests read them.
  const bool usersFile = !options.noAuth && options.pamService.empty();
  std::shared_ptr<const UserFile> users = std::make_shared<const UserFile>();
  std::mutex usersLock;
  const auto currentUsers = [&] {
    std::lock_guard<std::mutex> hold(usersLock);
    return users;
  };
  if (usersFile) {
    auto loaded = std::make_shared<UserFile>();
    std::string error;
    if (!loaded->Load(options.usersFile, &error)) {
      Log("%s (make one with `qzwmi passwd USER`, or use --pam or --no-auth)", error.c_str());
      return 2;
    }
    if (loaded->Count() == 0) Log("warning: the users file %s holds no user: every request will be refused", options.usersFile.c_str());
    users = std::move(loaded);
  }

  if (options.metrics.auth == metrics::MetricsAuth::Users && !usersFile && options.pamService.empty()) {
    Log("--metrics-auth users needs the users file or PAM, not --no-auth");
    return 2;
  }
  std::string metricsToken;
  if (options.metrics.auth == metrics::MetricsAuth::Token) {
    std::string error;
    if (!metrics::ReadTokenFile(options.metrics.tokenFile, &metricsToken, &error)) {
      Log("%s", error.c_str());
      return 2;
    }
  }

  // The service stands where the server's management agent stands, and the agent keeps the memory
  // event counter. Without a counter every list of the module rebuilds at every request.
  StartMemoryEventCounter();
  KeepAnswerMemory();

  std::unique_ptr<httplib::Server> server;
  if (tls) {
    auto secure = std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
    if (!secure->is_valid()) {
      Log("cannot load the certificate %s or the key %s", options.tlsCert.c_str(), options.tlsKey.c_str());
      return 2;
    }
    server = std::move(secure);
  } else {
    server = std::make_unique<httplib::Server>();
  }

  // SIGTERM and SIGINT are taken by one thread, which stops the server, and SIGHUP, which re-reads
  // the users file; every other thread of the process is started after they are blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  HealthWatcher watcher(options.watchSeconds, [](const std::string& line) { Log("%s", line.c_str()); });
  CimOperations operations;
  CredentialCache recent;
  // A password check of the users file or PAM, through the cache of credentials that passed lately.
  const auto checkUser = [&](const std::string& user, const std::string& password) {
    if (recent.Holds(user, password)) return true;
    const bool good = options.pamService.empty() ? currentUsers()->Check(user, password) : PamCheck(options.pamService, user, password);
    if (good) recent.Add(user, password);
    return good;
  };
  metrics::ServiceStats stats;
  const auto checkHeader = [&](const std::string& authorization) {
    const auto credentials = BasicCredentials(authorization);
    return credentials && checkUser(credentials->first, credentials->second);
  };
  metrics::MetricsEndpoint metricsEndpoint(options.metrics, metricsToken, checkHeader, &stats, options.build);
  const int threads = std::max(1, options.threads);
  server->new_task_queue = [&] { return new BoundedPool(threads, std::max(threads, options.maxConnections), &stats); };
  server->set_keep_alive_timeout(options.idleSeconds);
  server->set_read_timeout(options.idleSeconds, 0);
  server->set_write_timeout(options.idleSeconds, 0);
  server->set_payload_max_length(options.maxBody);
  // Answers are written in pieces; without this, delayed acknowledgements hold each one ~40 ms.
  server->set_tcp_nodelay(true);

  // What is refused before the body is read: beyond the connection limit, too many header bytes,
  // a body announced too large, and credentials that do not pass. True when refused (the answer set).
  const auto screen = [&](const httplib::Request& request, httplib::Response& response) {
    if (t_Overflow) {
      stats.RecordRequest("none", "refused", 0);
      Refuse(response, 503, nullptr);
      response.set_header("Retry-After", "1");
      return true;
    }
    // cpp-httplib itself refuses a single header line over 8 KiB (400); this bounds them all.
    size_t headerBytes = request.method.size() + request.target.size() + request.version.size() + 4;
    for (const auto& [name, value] : request.headers) headerBytes += name.size() + value.size() + 4;
    if (headerBytes > options.maxHeaders) {
      stats.RecordRequest("none", "refused", 0);
      Refuse(response, 431, "request-not-valid");
      return true;
    }
    if (std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10) > options.maxBody) {
      stats.RecordRequest("none", "refused", 0);
      Refuse(response, 413, "request-not-valid");
      return true;
    }
    // The metrics have an authentication of their own.
    if (!options.noAuth && request.path != "/metrics") {
      const auto credentials = BasicCredentials(request.get_header_value("Authorization"));
      const bool good = credentials && checkUser(credentials->first, credentials->second);
      if (!good) {
        stats.RecordRequest("none", "unauthorized", 0);
        if (request.has_header("Authorization")) {
          stats.RecordFailedLogin();
          Log("failed login of '%s' from %s", credentials ? credentials->first.c_str() : "(malformed)",
              request.remote_addr.c_str());
          // Slows down guessing: every failed attempt costs the client this long.
          std::this_thread::sleep_for(std::chrono::milliseconds(options.failedLoginDelayMs));
        }
        Refuse(response, 401, nullptr);
        response.set_header("WWW-Authenticate", "Basic realm=\"qzwmi\"");
        return true;
      }
    }
    return false;
  };
  server->set_pre_routing_handler([&](const httplib::Request& request, httplib::Response& response) {
    return screen(request, response) ? httplib::Server::HandlerResponse::Handled : httplib::Server::HandlerResponse::Unhandled;
  });
  // A client that waits for "100 Continue" before it sends the body hears it only once the request
  // has passed the same checks; else it hears the refusal, and sends nothing.
  server->set_expect_100_continue_handler([&](const httplib::Request& request, httplib::Response& response) {
    return screen(request, response) ? response.status : 100;
  });

  server->Post("/cimom", [&](const httplib::Request& request, httplib::Response& response) {
    const HeaderLookup header = [&](std::string_view name) -> std::optional<std::string> {
      auto found = request.headers.find(std::string(name));
      if (found == request.headers.end()) return std::nullopt;
      return found->second;
    };
    const CimParse parse = ParseCimRequest(header, request.body);
    if (parse.status) {
      stats.RecordRequest("none", "refused", 0);
      Log("refused a request from %s: %s", request.remote_addr.c_str(), parse.detail.c_str());
      response.status = parse.status;
      response.set_header("CIMError", parse.cimError);
      return;
    }
    // The answer is moved into the body rather than copied, as set_content would.
    const auto start = std::chrono::steady_clock::now();
    response.body = operations.Execute(parse.request, HostOf(request));
    stats.RecordRequest(OperationLabel(parse.request.method), IsCimError(response.body) ? "error" : "ok", SecondsSince(start));
    response.set_header("Content-Type", "application/xml; charset=\"utf-8\"");
    response.set_header("CIMOperation", "MethodResponse");
  });
  server->Get("/metrics", [&](const httplib::Request& request, httplib::Response& response) {
    metrics::MetricsRequest asked{request.method, request.target, request.get_header_value("Accept"),
                                  request.get_header_value("Authorization"), request.has_header("Authorization"),
                                  request.remote_addr};
    metrics::MetricsAnswer answer = metricsEndpoint.AnswerMetrics(asked);
    if (answer.failedLogin) {
      Log("failed login to the metrics from %s", request.remote_addr.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(options.failedLoginDelayMs));
    }
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    response.body = std::move(answer.body);
    response.set_header("Content-Type", answer.contentType);
  });
  server->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    response.status = 500;
  });
  server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.status == 400 && !response.has_header("CIMError")) response.set_header("CIMError", "request-not-valid");
    if ((response.status == 413 || response.status == 414) && !response.has_header("CIMError"))
      response.set_header("CIMError", "request-not-valid");
  });

  // Only SO_REUSEADDR, so that a restart binds at once while a second server on the same port is
  // refused (with SO_REUSEPORT, which cpp-httplib sets, it would start and take half the
  // connections). The listening socket is remembered to widen its backlog below.
  int listener = -1;
  server->set_socket_options([&](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listener = sock;
  });
  const int requestedPort = port;
  if (port == 0) {
    port = server->bind_to_any_port(address);
    if (port < 0) port = 0;
  } else if (!server->bind_to_port(address, port)) {
    port = 0;
  }
  if (port == 0) {
    Log("cannot listen on %s:%d (%s)", address.c_str(), requestedPort,
        errno == EADDRINUSE ? "the port is in use, perhaps by another qzwmi serve" : std::strerror(errno));
    return 2;
  }
  // cpp-httplib listens with a backlog of 5, which a burst of clients overflows; listening again
  // on the same socket only changes the backlog.
  if (listener >= 0) ::listen(listener, SOMAXCONN);
  Log("listening on %s:%d (%s, %s)", address.c_str(), port, tls ? "HTTPS" : "HTTP",
      options.noAuth ? "no authentication" : options.pamService.empty() ? "users file" : "PAM");

  std::atomic<bool> signalled{false}, listenEnded{false};
  std::thread stopper([&] {
    int signal = 0;
    while (sigwait(&stopSignals, &signal) == 0 && signal == SIGHUP) {
      if (!usersFile) {
        Log("SIGHUP: no users file to re-read");
        continue;
      }
      // A file that cannot be read keeps the users in force: a slip in an edit must not lock all out.
      auto loaded = std::make_shared<UserFile>();
      std::string error;
      if (!loaded->Load(options.usersFile, &error)) {
        Log("SIGHUP: kept the users in force: %s", error.c_str());
        continue;
      }
      const size_t count = loaded->Count();
      {
        std::lock_guard<std::mutex> hold(usersLock);
        users = std::move(loaded);
      }
      recent.Clear();  // a changed or removed password counts from the next request on
      Log("SIGHUP: re-read %zu users from %s", count, options.usersFile.c_str());
    }
    signalled = true;
    Log("stopping on signal %d", signal);
    // A stop before the listening loop runs would be lost, and the loop would then run on: a
    // signal that comes right after the start waits for it.
    while (!server->is_running() && !listenEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server->stop();
    EndIdleConnections(port);
  });
  server->listen_after_bind();
  listenEnded = true;
  // A listen that ended by itself: wake the waiting thread so that it can be joined.
  if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  operations.Release();
  metricsEndpoint.Release();
  Log("stopped");
  return 0;
}

}  // namespace qzwmi::serve
