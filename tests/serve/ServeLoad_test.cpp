// `qzwmi serve` under load: 16 clients enumerate the memory modules without pause while the
// memory-event counter moves every second, so the lists rebuild under the requests. Every answer
// must be whole and well-formed, none lost, the server must stop afterwards, and its memory must
// stay flat. QZ_LOAD_SECONDS sets the length (5 s here, 60 s from bench/serve_load.sh).
#include <gtest/gtest.h>
#include <httplib.h>

#include <pugixml.hpp>

#include <atomic>
#include <fstream>

#include "tests/serve/ServeFixture.h"

namespace {

using namespace servetest;

// The resident memory of a process in KiB, from /proc.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

TEST(ServeLoad, SixteenClientsGetEveryAnswerWholeWhileTheListsRebuild) {
  const char* seconds = std::getenv("QZ_LOAD_SECONDS");
  const auto length = std::chrono::seconds(seconds ? std::atoi(seconds) : 5);
  constexpr int kClients = 16;
  Server server;
  ASSERT_TRUE(server.Start({"--no-auth", "--threads", std::to_string(kClients)})) << server.Log();
  const std::string body = CallBody("EnumerateInstances",
                                    "<IPARAMVALUE NAME=\"ClassName\"><CLASSNAME NAME=\"QZ_MemoryModule\"/></IPARAMVALUE>");
  const httplib::Headers headers = {{"CIMOperation", "MethodCall"}, {"CIMMethod", "EnumerateInstances"},
                                    {"CIMObject", "root%2FVXN"}, {"CIMProtocolVersion", "1.0"}};
  const size_t modules = Count(RunQzwmi({"enum", "QZ_MemoryModule"}).out, "\nTag = VXN:QZ_MemoryModule:");
  ASSERT_GT(modules, 0u);

  std::atomic<bool> running{true};
  std::atomic<long> answered{0}, failed{0};
  std::string firstFailure;
  std::mutex failureLock;
  auto client = [&] {
    httplib::Client http("127.0.0.1", server.Port());
    http.set_read_timeout(30, 0);
    http.set_keep_alive(true);
    while (running) {
      auto result = http.Post("/cimom", headers, body, "application/xml; charset=\"utf-8\"");
      pugi::xml_document document;
      const bool whole = result && result->status == 200 &&
                         document.load_buffer(result->body.data(), result->body.size()) &&
                         Count(result->body, "<VALUE.NAMEDINSTANCE>") == modules &&
                         Count(result->body, "</VALUE.NAMEDINSTANCE>") == modules;
      if (whole) {
        ++answered;
        continue;
      }
      if (failed++ == 0) {
        std::lock_guard<std::mutex> hold(failureLock);
        firstFailure = result ? std::to_string(result->status) + " " + result->body.substr(0, 400)
                              : "no answer: " + httplib::to_string(result.error());
      }
    }
  };
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) clients.emplace_back(client);

  const auto start = std::chrono::steady_clock::now();
  long baseline = -1, peak = 0;
  for (int second = 1; std::chrono::steady_clock::now() - start < length; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    Outcome bump = RunQzwmi({"reg", "add", "HKLM\\SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", "/v",
                             "QZ_MemoryEvent", "/t", "REG_DWORD", "/d", std::to_string(second), "/f"});
    EXPECT_EQ(bump.status, 0) << bump.err;
    const long resident = ResidentKiB(server.Pid());
    if (second == 2) baseline = resident;  // after the first rebuilds and every thread's first request
    peak = std::max(peak, resident);
  }
  running = false;
  for (std::thread& thread : clients) thread.join();

  EXPECT_EQ(failed.load(), 0) << firstFailure;
  EXPECT_GT(answered.load(), kClients);
  // Flat: what the process holds after warming up does not keep growing with the requests.
  if (baseline > 0) {
    EXPECT_LT(peak - baseline, 32 * 1024) << "KiB at 2 s: " << baseline << ", peak: " << peak;
  }
  EXPECT_EQ(server.Stop(), 0) << server.Log();
  std::printf("%ld answers in %lld s, %.0f per second; resident %ld KiB at 2 s, peak %ld KiB\n", answered.load(),
              static_cast<long long>(length.count()), answered.load() / static_cast<double>(length.count()), baseline,
              peak);
}

}  // namespace
