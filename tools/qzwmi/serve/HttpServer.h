// The HTTP side of `qzwmi serve`: one I/O thread owns every socket, and the requests themselves
// (CPU work that may wait on locks) run on a small pool of worker threads that hand their answer
// back. A connection costs a buffer and a timer, never a thread, so slow or idle clients cannot
// starve the others; each read has its own deadline, and everything a client sends is bounded
// while it arrives.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qzwmi::serve {

struct HttpRequest {
  std::string method, target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // empty while the request is screened
  std::string peer;  // the client's address

  // The value of the first header `name` (compared without regard to case).
  std::optional<std::string> Header(std::string_view name) const;
};

struct HttpAnswer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool close = false;  // close the connection after this answer
  int delayMs = 0;     // hold the answer back this long (a timer; no thread waits)
  bool again = false;  // from a screen: no answer yet, look again (on a worker) after delayMs
};

struct HttpLimits {
  size_t headerBytes = 16u << 10;  // the whole head; more is answered 431
  size_t headerLine = 8u << 10;    // the target (414) and each header value (400)
  size_t headerCount = 100;        // header fields (431)
  size_t body = 4u << 20;          // announced, chunked or otherwise (413)
  int headSeconds = 5;             // from the first byte of a request to the end of its head
  int bodySeconds = 30;            // to read the body, and to write an answer
  int idleSeconds = 30;            // waiting for the next request
  size_t connections = 1024;       // open at once in all
  size_t perAddress = 128;         // open at once from one client address
  int workers = 8;
};

class HttpServer {
 public:
  // Looks at a request before its body is read (its body is empty then): an answer refuses it,
  // and the connection closes after it. Called first on the I/O thread with `mayBlock` false, where
  // it must not block; an answer with `again` has it called again on a worker, with `mayBlock` true.
  using Screen = std::function<std::optional<HttpAnswer>(const HttpRequest& head, bool mayBlock)>;
  // Answers a whole request. Runs on a worker.
  using Route = std::function<HttpAnswer(const HttpRequest& request)>;

  HttpServer(const HttpLimits& limits, Screen screen, Route route);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves HTTPS with these PEM files; false with the reason when they cannot be loaded.
  bool UseTls(const std::string& certFile, const std::string& keyFile, std::string* error);

  // Takes over `listener`, a socket bound and listening (its backlog set by its maker).
  void Adopt(int listener);

  // Runs `start` and `end` on each worker thread around its life (to join an apartment, say).
  void OnWorkerThread(std::function<void()> start, std::function<void()> end);

  // Serves until Stop(): idle connections are closed at once, answers under way are finished.
  void Run();
  void Stop();  // from any thread

  // The connections open now (served, waiting or idle), for the service's counters.
  size_t OpenConnections() const;

  class Impl;  // the state, and the connections' code, in HttpServer.cpp

 private:
  std::unique_ptr<Impl> m_Impl;
};

}  // namespace qzwmi::serve
