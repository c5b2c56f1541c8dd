// HTTP/1.1 over Boost.Beast and Asio (TLS through Asio's OpenSSL streams). Beast gives every
// operation its own absolute deadline, so the head, the body and the wait between two requests
// are timed apart and a client that sends a byte now and then cannot stretch any of them; its
// parser bounds the head and the body (announced, chunked or otherwise) while they arrive, and
// keeps what follows a request in the buffer, so pipelined requests are answered in order. A
// library with only an inactivity timeout would let a slow sender keep its connection for ever.
#include "serve/HttpServer.h"

#include "serve/HttpRead.h"

#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace qzwmi::serve {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

std::optional<std::string> HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (beast::iequals(key, beast::string_view(name.data(), name.size()))) return value;
  return std::nullopt;
}

namespace {

// How long a connection that is closed after an answer is still read (and what comes discarded),
// so that its client gets the answer rather than a reset; and how many such connections at most.
constexpr auto kLinger = std::chrono::seconds(2);
constexpr size_t kMaxLingering = 256;
// How long a stop waits for answers under way.
constexpr auto kStopGrace = std::chrono::seconds(10);

const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
const char kOverflow[] = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::string AddressOf(const tcp::endpoint& endpoint) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address.to_string();
}

// Reads and drops what a client still sends on a connection whose sending side is shut, until it
// closes or kLinger has passed; then closes it.
struct Drain : std::enable_shared_from_this<Drain> {
  Drain(tcp::socket s, std::function<void()> done) : socket(std::move(s)), timer(socket.get_executor()), done(std::move(done)) {}
  ~Drain() {
    if (done) done();
  }
  void Start() {
    timer.expires_after(kLinger);
    timer.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->socket.close(ec);
    });
    Read();
  }
  void Read() {
    socket.async_read_some(asio::buffer(scratch), [self = shared_from_this()](error_code ec, size_t) {
      if (!ec) return self->Read();
      self->timer.cancel();
      self->socket.close(ec);
    });
  }
  tcp::socket socket;
  asio::steady_timer timer;
  std::array<char, 4096> scratch;
  std::function<void()> done;
};

// The workers: a queue and the threads that take from it. A plain condition variable wakes a
// worker faster than an Asio context would (no event descriptor to write and re-arm per job).
class WorkerPool {
 public:
  void Start(int threads, const std::function<void()>& start, const std::function<void()>& end) {
    for (int i = 0; i < threads; ++i)
      m_Threads.emplace_back([this, start, end] {
        if (start) start();
        Work();
        if (end) end();
      });
  }
  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> hold(m_Lock);
      m_Jobs.push_back(std::move(job));
    }
    m_Ready.notify_one();
  }
  // Lets the workers finish the jobs queued, and waits for them.
  void Finish() {
    {
      std::lock_guard<std::mutex> hold(m_Lock);
      m_Finishing = true;
    }
    m_Ready.notify_all();
    for (std::thread& thread : m_Threads) thread.join();
    m_Threads.clear();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Ready.wait(hold, [this] { return m_Finishing || !m_Jobs.empty(); });
        if (m_Jobs.empty()) return;
        job = std::move(m_Jobs.front());
        m_Jobs.pop_front();
      }
      job();
    }
  }
  std::mutex m_Lock;
  std::condition_variable m_Ready;
  std::deque<std::function<void()>> m_Jobs;
  bool m_Finishing = false;
  std::vector<std::thread> m_Threads;
};

class SessionBase {
 public:
  virtual ~SessionBase() = default;
  // Ends a connection that waits for a request; one that is being answered ends after its answer.
  virtual void Halt() = 0;
};

}  // namespace

class HttpServer::Impl {
 public:
  Impl(const HttpLimits& limits, Screen screen, Route route)
      : limits(limits), screen(std::move(screen)), route(std::move(route)) {}
  ~Impl() { tearingDown = true; }

  void Accept();
  void Admit(tcp::socket socket, bool again);
  void Overflow(tcp::socket socket);
  void Forget(SessionBase* session, const std::string& peer);
  void Stop();

  // Declared before the contexts, so that sessions destroyed with a context can still sign off.
  std::atomic<size_t> open{0};
  std::map<std::string, size_t> perAddress;  // these four on the I/O thread only
  std::set<SessionBase*> sessions;
  size_t lingering = 0;
  bool stopping = false, tearingDown = false;

  const HttpLimits limits;
  const Screen screen;
  const Route route;
  std::function<void()> workerStart, workerEnd;
  std::optional<asio::ssl::context> tls;
  asio::io_context io{1};
  WorkerPool work;
  tcp::acceptor acceptor{io};
  asio::steady_timer retry{io}, grace{io};
};

namespace {

template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

 public:
  Session(HttpServer::Impl& server, Stream stream, std::string peer)
      : m_Server(server), m_Stream(std::move(stream)), m_Timer(server.io), m_Peer(std::move(peer)) {}
  ~Session() override { m_Server.Forget(this, m_Peer); }

  void Start() {
    if constexpr (kTls) {
      m_Waiting = true;
      Lowest().expires_after(std::chrono::seconds(HeadSeconds()));
      m_Stream.async_handshake(asio::ssl::stream_base::server, [self = this->shared_from_this()](error_code ec) {
        if (ec) return self->Close();
        self->WaitForRequest();
      });
    } else {
      WaitForRequest();
    }
  }

  void Halt() override {
    if (m_Waiting) Lowest().cancel();
  }

 private:
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(m_Stream); }
  int HeadSeconds() const { return std::min(m_Server.limits.headSeconds, m_Server.limits.idleSeconds); }

  // The idle wait lasts until the first byte of the next request; from there its head has its own,
  // shorter deadline.
  void WaitForRequest() {
    if (m_Server.stopping) return Close();
    m_Parser.emplace();
    PrepareParser(*m_Parser, m_Server.limits);
    m_Waiting = true;
    if (m_Buffer.size() > 0) return ReadHead();  // a pipelined request
    Lowest().expires_after(std::chrono::seconds(m_Server.limits.idleSeconds));
    m_Stream.async_read_some(m_Buffer.prepare(1024), [self = this->shared_from_this()](error_code ec, size_t got) {
      self->m_Buffer.commit(got);
      if (ec) return self->Close();
      self->ReadHead();
    });
  }

  void ReadHead() {
    Lowest().expires_after(std::chrono::seconds(HeadSeconds()));
    http::async_read_header(m_Stream, m_Buffer, *m_Parser, [self = this->shared_from_this()](error_code ec, size_t) {
      self->OnHead(ec);
    });
  }

  void OnHead(const error_code& ec) {
    m_Waiting = false;
    if (ec) return Fail(ec);
    if (const int refusal = HeadRefusal(*m_Parser, m_Server.limits)) return Refuse(refusal);
    m_KeepAlive = m_Parser->get().keep_alive();
    m_Request = RequestOf(*m_Parser, m_Peer);
    OnScreened(m_Server.screen(m_Request, false));
  }

  // A request the client sent wrong is answered; a connection that ended or ran out of time is closed.
  void Fail(const error_code& ec) {
    const int status = FailureStatus(ec);
    return status ? Refuse(status) : Close();
  }

  void ScreenOnWorker() {
    OnWorker([](Session& self) { return self.m_Server.screen(self.m_Request, true); },
             [](Session& self, std::optional<HttpAnswer> refusal) { self.OnScreened(std::move(refusal)); });
  }

  void OnScreened(std::optional<HttpAnswer> refusal) {
    if (refusal && refusal->again) {
      if (refusal->delayMs <= 0) return ScreenOnWorker();
      m_Timer.expires_after(std::chrono::milliseconds(refusal->delayMs));
      m_Timer.async_wait([self = this->shared_from_this()](error_code ec) {
        if (ec) return self->Close();
        self->ScreenOnWorker();
      });
      return;
    }
    if (refusal) {
      refusal->close = true;  // its body, if any, was not read
      return Answer(std::move(*refusal));
    }
    const std::optional<std::string> expect = m_Request.Header("Expect");
    if (expect && beast::iequals(*expect, "100-continue") && !m_Parser->is_done()) {
      Lowest().expires_after(std::chrono::seconds(m_Server.limits.bodySeconds));
      asio::async_write(m_Stream, asio::buffer(kContinue, sizeof kContinue - 1),
                        [self = this->shared_from_this()](error_code ec, size_t) {
                          if (ec) return self->Close();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    if (m_Parser->is_done()) return OnBody({});
    m_Parser->body_limit(m_Server.limits.body);
    Lowest().expires_after(std::chrono::seconds(m_Server.limits.bodySeconds));
    http::async_read(m_Stream, m_Buffer, *m_Parser, [self = this->shared_from_this()](error_code ec, size_t) {
      self->OnBody(ec);
    });
  }

  void OnBody(const error_code& ec) {
    if (ec) return Fail(ec);
    m_Request.body = std::move(m_Parser->get().body());
    m_Parser->get().body().clear();
    OnWorker([](Session& self) { return self.m_Server.route(self.m_Request); },
             [](Session& self, HttpAnswer answer) { self.Answer(std::move(answer)); });
  }

  // Runs `job` on a worker and `then` with its outcome back on the I/O thread. The session's last
  // reference never ends on a worker: it is handed back with the outcome.
  template <class Job, class Then>
  void OnWorker(Job job, Then then) {
    m_Server.work.Post([self = this->shared_from_this(), job, then]() mutable {
      auto outcome = job(*self);
      Session* session = self.get();
      asio::post(session->m_Server.io, [self = std::move(self), then, outcome = std::move(outcome)]() mutable {
        then(*self, std::move(outcome));
      });
    });
  }

  void Refuse(int status) {
    HttpAnswer answer;
    answer.status = status;
    // Every refusal of the endpoint says in CIM's own terms that the request was not valid.
    answer.headers.emplace_back("CIMError", "request-not-valid");
    answer.close = true;
    Answer(std::move(answer));
  }

  void Answer(HttpAnswer answer) {
    if (answer.delayMs > 0) {
      const auto delay = std::chrono::milliseconds(answer.delayMs);
      answer.delayMs = 0;
      m_Timer.expires_after(delay);
      m_Timer.async_wait([self = this->shared_from_this(), answer = std::move(answer)](error_code ec) mutable {
        if (ec) return self->Close();
        self->Answer(std::move(answer));
      });
      return;
    }
    const bool close = answer.close || !m_KeepAlive || m_Server.stopping;
    m_Response.emplace(static_cast<http::status>(answer.status), m_Parser ? m_Parser->get().version() : 11);
    for (auto& [name, value] : answer.headers) m_Response->insert(name, value);
    m_Response->body() = std::move(answer.body);
    m_Response->keep_alive(!close);
    m_Response->prepare_payload();
    Lowest().expires_after(std::chrono::seconds(m_Server.limits.bodySeconds));
    http::async_write(m_Stream, *m_Response, [self = this->shared_from_this(), close](error_code ec, size_t) {
      self->m_Response.reset();
      if (ec) return self->Close();
      if (close) return self->Finish();
      self->WaitForRequest();
    });
  }

  // Closes after an answer, letting the client read it before the connection goes.
  void Finish() {
    if constexpr (kTls) {
      Lowest().expires_after(kLinger);
      m_Stream.async_shutdown([self = this->shared_from_this()](error_code) { self->Close(); });
    } else {
      error_code ignored;
      Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
      Lowest().expires_after(kLinger);
      Discard();
    }
  }

  void Discard() {
    m_Buffer.consume(m_Buffer.size());
    Lowest().async_read_some(m_Buffer.prepare(4096), [self = this->shared_from_this()](error_code ec, size_t) {
      if (ec) return self->Close();
      self->Discard();
    });
  }

  void Close() {
    m_Waiting = false;
    m_Timer.cancel();
    error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Lowest().close();
  }

  HttpServer::Impl& m_Server;
  Stream m_Stream;
  asio::steady_timer m_Timer;
  const std::string m_Peer;
  beast::flat_buffer m_Buffer;
  std::optional<RequestParser> m_Parser;
  std::optional<http::response<http::string_body>> m_Response;
  HttpRequest m_Request;
  bool m_KeepAlive = true;
  bool m_Waiting = false;
};

}  // namespace

void HttpServer::Impl::Accept() {
  acceptor.async_accept([this](error_code ec, tcp::socket socket) {
    if (stopping || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, say: try again once some connections have ended.
      retry.expires_after(std::chrono::milliseconds(100));
      retry.async_wait([this](error_code wait) {
        if (!wait && !stopping) Accept();
      });
      return;
    }
    Admit(std::move(socket), true);
    Accept();
  });
}

void HttpServer::Impl::Admit(tcp::socket socket, bool again) {
  if (stopping) return;  // closed with the socket
  error_code ec;
  const tcp::endpoint endpoint = socket.remote_endpoint(ec);
  if (ec) return;
  std::string peer = AddressOf(endpoint);
  const auto mine = perAddress.find(peer);
  if (open >= limits.connections || (mine != perAddress.end() && mine->second >= limits.perAddress)) {
    // Connections that ended just before this one came may not have been seen yet: their ends
    // are handled first, then this one looked at again.
    if (again) {
      auto held = std::make_shared<tcp::socket>(std::move(socket));
      asio::post(io, [this, held] { Admit(std::move(*held), false); });
      return;
    }
    return Overflow(std::move(socket));
  }
  socket.set_option(tcp::no_delay(true), ec);  // answers go out in pieces; no delayed acknowledgements
  ++open;
  ++perAddress[peer];
  if (tls) {
    auto session = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
        *this, beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls), std::move(peer));
    sessions.insert(session.get());
    session->Start();
  } else {
    auto session = std::make_shared<Session<beast::tcp_stream>>(*this, beast::tcp_stream(std::move(socket)), std::move(peer));
    sessions.insert(session.get());
    session->Start();
  }
}

// Beyond the bounds: over HTTP the client is told 503 in one write that cannot block, and the
// connection closed; over HTTPS it is closed.
void HttpServer::Impl::Overflow(tcp::socket socket) {
  error_code ignored;
  if (tls || lingering >= kMaxLingering) return void(socket.close(ignored));
  ::send(socket.native_handle(), kOverflow, sizeof kOverflow - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  ++lingering;
  std::make_shared<Drain>(std::move(socket), [this] { --lingering; })->Start();
}

void HttpServer::Impl::Forget(SessionBase* session, const std::string& peer) {
  --open;
  sessions.erase(session);
  auto mine = perAddress.find(peer);
  if (mine != perAddress.end() && --mine->second == 0) perAddress.erase(mine);
  if (stopping && sessions.empty() && !tearingDown) grace.cancel();
}

void HttpServer::Impl::Stop() {
  if (stopping) return;
  stopping = true;
  error_code ignored;
  acceptor.close(ignored);
  retry.cancel();
  for (SessionBase* session : sessions) session->Halt();
  if (sessions.empty()) return;
  grace.expires_after(kStopGrace);
  grace.async_wait([this](error_code ec) {
    if (!ec) io.stop();
  });
}

HttpServer::HttpServer(const HttpLimits& limits, Screen screen, Route route)
    : m_Impl(std::make_unique<Impl>(limits, std::move(screen), std::move(route))) {}

HttpServer::~HttpServer() = default;

bool HttpServer::UseTls(const std::string& certFile, const std::string& keyFile, std::string* error) {
  try {
    asio::ssl::context context(asio::ssl::context::tls_server);
    context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                        asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
    context.use_certificate_chain_file(certFile);
    context.use_private_key_file(keyFile, asio::ssl::context::pem);
    m_Impl->tls.emplace(std::move(context));
    return true;
  } catch (const boost::system::system_error& failure) {
    *error = failure.what();
    return false;
  }
}

void HttpServer::Adopt(int listener) {
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  getsockname(listener, reinterpret_cast<sockaddr*>(&local), &size);
  m_Impl->acceptor.assign(local.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), listener);
}

void HttpServer::OnWorkerThread(std::function<void()> start, std::function<void()> end) {
  m_Impl->workerStart = std::move(start);
  m_Impl->workerEnd = std::move(end);
}

void HttpServer::Run() {
  Impl& impl = *m_Impl;
  impl.work.Start(std::max(1, impl.limits.workers), impl.workerStart, impl.workerEnd);
  impl.Accept();
  impl.io.run();
  impl.work.Finish();
}

void HttpServer::Stop() {
  asio::post(m_Impl->io, [impl = m_Impl.get()] { impl->Stop(); });
}

size_t HttpServer::OpenConnections() const { return m_Impl->open.load(); }

}  // namespace qzwmi::serve
