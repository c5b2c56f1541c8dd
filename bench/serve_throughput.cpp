// Requests per second and latency of EnumerateInstances of 64 memory modules from `qzwmi serve`
// over loopback, against a minimal cpp-httplib server that answers the very same response bytes,
// measured in the same run with the same clients. With SLOW, that many connections send a request
// head a line a second to both servers meanwhile (each reopened when the server ends it), and
// the latencies are those of the clients served among them. Usage:
//   serve_bench QZWMI [seconds per server, 10] [clients, 4] [slow connections, 0]
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchServers.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const char kBody[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n<MESSAGE ID=\"4711\" "
    "PROTOCOLVERSION=\"1.0\"><SIMPLEREQ><IMETHODCALL NAME=\"EnumerateInstances\"><LOCALNAMESPACEPATH><NAMESPACE "
    "NAME=\"root\"></NAMESPACE><NAMESPACE NAME=\"VXN\"></NAMESPACE></LOCALNAMESPACEPATH>\n<IPARAMVALUE "
    "NAME=\"ClassName\"><CLASSNAME NAME=\"QZ_MemoryModule\"/></IPARAMVALUE>\n</IMETHODCALL></SIMPLEREQ>\n</MESSAGE></CIM>\n";

const httplib::Headers kHeaders = {{"CIMOperation", "MethodCall"}, {"CIMMethod", "EnumerateInstances"},
                                   {"CIMObject", "root%2FVXN"}, {"CIMProtocolVersion", "1.0"}};

struct Result {
  double perSecond = 0;
  std::vector<double> latencies;  // microseconds, sorted
  long failures = 0;
};

Result Drive(int port, int clients, std::chrono::seconds length, size_t expectedSize) {
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<long> failures{0};
  std::atomic<bool> running{true};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      httplib::Client http("127.0.0.1", port);
      http.set_keep_alive(true);
      http.set_tcp_nodelay(true);
      while (running) {
        const auto start = Clock::now();
        auto result = http.Post("/cimom", kHeaders, kBody, "application/xml; charset=\"utf-8\"");
        const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (!result || result->status != 200 || result->body.size() != expectedSize) ++failures;
        else latencies[i].push_back(micros);
      }
    });
  }
  std::this_thread::sleep_for(length);
  running = false;
  for (std::thread& thread : threads) thread.join();
  Result result;
  for (const auto& mine : latencies) result.latencies.insert(result.latencies.end(), mine.begin(), mine.end());
  std::sort(result.latencies.begin(), result.latencies.end());
  result.perSecond = result.latencies.size() / static_cast<double>(length.count());
  result.failures = failures;
  return result;
}

// Holds `count` connections to `port` that send a request head a line a second and never end it;
// one the server closes is opened again.
class SlowSenders {
 public:
  SlowSenders(int port, int count) : m_Port(port), m_Fds(static_cast<size_t>(count), -1) {
    if (count > 0) m_Thread = std::thread([this] { Run(); });
  }
  ~SlowSenders() {
    m_Running = false;
    if (m_Thread.joinable()) m_Thread.join();
    for (int fd : m_Fds)
      if (fd >= 0) close(fd);
  }
  long Reopened() const { return m_Reopened; }

 private:
  int Open() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_Port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static const char kStart[] = "POST /cimom HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, kStart, sizeof kStart - 1, MSG_NOSIGNAL) < 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  void Run() {
    while (m_Running) {
      for (int& fd : m_Fds) {
        static const char kLine[] = "X-Slow: 1\r\n";
        char drop[512];
        const bool ended = fd >= 0 && recv(fd, drop, sizeof drop, MSG_DONTWAIT) >= 0;  // an answer or the end
        if (fd < 0 || ended || send(fd, kLine, sizeof kLine - 1, MSG_NOSIGNAL) < 0) {
          if (fd >= 0) {
            close(fd);
            ++m_Reopened;
          }
          fd = Open();
        }
      }
      for (int i = 0; i < 10 && m_Running; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  const int m_Port;
  std::vector<int> m_Fds;
  std::atomic<bool> m_Running{true};
  std::atomic<long> m_Reopened{0};
  std::thread m_Thread;
};

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
}

void Print(const char* name, const Result& r) {
  std::printf("%-28s %8.0f requests/s  p50 %7.0f us  p90 %7.0f us  p99 %7.0f us  max %7.0f us  failures %ld\n", name,
              r.perSecond, Percentile(r.latencies, 0.50), Percentile(r.latencies, 0.90), Percentile(r.latencies, 0.99),
              r.latencies.empty() ? 0 : r.latencies.back(), r.failures);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: serve_bench QZWMI [seconds] [clients]\n");
    return 2;
  }
  const std::string qzwmi = argv[1];
  const auto length = std::chrono::seconds(argc > 2 ? std::atoi(argv[2]) : 10);
  const int clients = argc > 3 ? std::atoi(argv[3]) : 4;
  const int slow = argc > 4 ? std::atoi(argv[4]) : 0;

  char rootTemplate[] = "/tmp/qzwmi-serve-bench-XXXXXX";
  const std::string root = mkdtemp(rootTemplate);
  setenv("QZWMI_ROOT", root.c_str(), 1);
  const std::string machine = root + "/4x16.json", log = root + "/serve.log";
  std::ofstream(machine) << qzbench::ServerOf(4, 16);

  std::vector<std::string> args = {qzwmi, "--machine", machine, "serve", "--no-auth", "--listen", "127.0.0.1:0",
                                   "--threads", std::to_string(clients)};
  // Every connection here comes from 127.0.0.1: room for the slow ones besides the clients.
  if (slow > 0)
    args.insert(args.end(), {"--max-per-address", std::to_string(slow + clients + 64), "--max-connections",
                             std::to_string(slow + clients + 64)});
  std::vector<char*> argvText;
  for (std::string& arg : args) argvText.push_back(arg.data());
  argvText.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  if (posix_spawn(&pid, qzwmi.c_str(), &actions, nullptr, argvText.data(), environ) != 0) return 1;
  int port = 0;
  for (int i = 0; i < 2000 && !port; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    const size_t at = text.str().find("listening on 127.0.0.1:");
    if (at != std::string::npos) port = std::atoi(text.str().c_str() + at + 23);
  }
  if (!port) {
    std::fprintf(stderr, "qzwmi serve did not start\n");
    kill(pid, SIGKILL);
    return 1;
  }

  httplib::Client probe("127.0.0.1", port);
  auto first = probe.Post("/cimom", kHeaders, kBody, "application/xml; charset=\"utf-8\"");
  if (!first || first->status != 200) {
    std::fprintf(stderr, "no answer from qzwmi serve\n");
    kill(pid, SIGKILL);
    return 1;
  }
  const std::string bytes = first->body;
  size_t modules = 0;
  for (size_t at = bytes.find("<VALUE.NAMEDINSTANCE>"); at != std::string::npos; at = bytes.find("<VALUE.NAMEDINSTANCE>", at + 1))
    ++modules;

  // The same bytes from a server that does nothing else, with as many threads.
  httplib::Server plain;
  plain.new_task_queue = [clients] { return new httplib::ThreadPool(clients); };
  plain.set_tcp_nodelay(true);
  plain.Post("/cimom", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(bytes, "application/xml; charset=\"utf-8\"");
    response.set_header("CIMOperation", "MethodResponse");
  });
  const int plainPort = plain.bind_to_any_port("127.0.0.1");
  std::thread plainThread([&] { plain.listen_after_bind(); });

  std::printf("EnumerateInstances of %zu modules, %zu bytes, %d clients, %d slow connections, %lld s each, %u cores\n",
              modules, bytes.size(), clients, slow, static_cast<long long>(length.count()), std::thread::hardware_concurrency());
  long reopened = 0;
  const auto among = [&](int target) {
    SlowSenders held(target, slow);
    if (slow > 0) std::this_thread::sleep_for(std::chrono::seconds(2));  // all of them connected
    Result result = Drive(target, clients, length, bytes.size());
    reopened = held.Reopened();
    return result;
  };
  const Result served = among(port);
  const long servedReopened = reopened;
  // A thread per connection: the bare server is not asked to hold the slow ones as well.
  const Result same = Drive(plainPort, clients, length, bytes.size());
  Print("qzwmi serve", served);
  Print("cpp-httplib, same bytes", same);
  if (slow > 0) std::printf("slow connections ended by qzwmi serve and opened again: %ld\n", servedReopened);
  std::printf("ratio (plain / qzwmi serve): %.2f\n", same.perSecond / std::max(1.0, served.perSecond));

  plain.stop();
  plainThread.join();
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  std::string remove = "rm -rf '" + root + "'";
  return std::system(remove.c_str()) == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
