// `qzwmi metrics` and GET /metrics of `qzwmi serve`, run as child processes in the test's root.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "tests/metrics/MetricsHelpers.h"

namespace {

using namespace servetest;
using metricstest::DefaultModule;
using metricstest::Get;
using metricstest::Sample;
namespace fs = std::filesystem;

TEST(MetricsCommand, PrintsTheServersMemory) {
  const struct {
    const char* machine;
    size_t modules;
    const char* redundancy;
    const char* collection;
  } cases[] = {{"default", 12, "3", "3"}, {"processor-boards", 8, "2", "2"}, {"board-states", 3, "3", "6"}, {"no-driver", 0, "", ""}};
  for (const auto& c : cases) {
    const Outcome run = RunQzwmi({"--machine", std::string(QZ_MACHINES_DIR "/") + c.machine + ".json", "metrics"});
    ASSERT_EQ(run.status, 0) << c.machine << run.err;
    EXPECT_EQ(Count(run.out, "\nqzwmi_memory_module_info{"), c.modules) << c.machine;
    EXPECT_EQ(Sample(run.out, "qzwmi_memory_redundancy_status{id=\"VXN:QZ_MemoryRedundancySet:001\"}"), c.redundancy) << c.machine;
    EXPECT_EQ(Sample(run.out, "qzwmi_memory_collection_operational_status{id=\"VXN:QZ_MemoryCollection:001\"}"), c.collection)
        << c.machine;
    EXPECT_EQ(Count(run.out, "qzwmi_requests_total"), 0u) << c.machine;  // no service, no service counts
  }
  const Outcome run = RunQzwmi({"--machine", QZ_MACHINES_DIR "/default.json", "metrics"});
  const std::string failing = DefaultModule("2", "3", "VX8G-R1333-D3", "3A02C003");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_predictive_failure" + failing), "1");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_health_state" + failing), "10");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_operational_status" + failing), "3");
  const std::string small = DefaultModule("1", "5", "VX4G-R1333-D3", "3A01C005");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_capacity_bytes" + small), "4294967296");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_speed_hertz" + small), "1333000000");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_redundancy_info{id=\"VXN:QZ_MemoryRedundancySet:001\",current_configuration="
                            "\"Advanced ECC\",target_configuration=\"Advanced ECC\"}"), "1");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_redundancy_total_bytes{id=\"VXN:QZ_MemoryRedundancySet:001\"}"), "85899345920");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_system_size_bytes{id=\"VXN:QZ_WinMemory:001\"}"), "85899345920");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_slot_fitted{tag=\"VXN:QZ_MemoryModuleSlot:1-7\",board=\"1\",socket=\"7\"}"), "0");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_slot_fitted{tag=\"VXN:QZ_MemoryModuleSlot:1-6\",board=\"1\",socket=\"6\"}"), "1");
}

TEST(MetricsCommand, BoardStatesShowLockAndHotPlug) {
  const Outcome run = RunQzwmi({"--machine", QZ_MACHINES_DIR "/board-states.json", "metrics"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_board_locked{tag=\"VXN:QZ_MemoryBoard:1\",board=\"1\"}"), "1");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_board_hot_plug{tag=\"VXN:QZ_MemoryBoard:1\",board=\"1\"}"), "1");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_board_slot_fitted{tag=\"VXN:QZ_MemoryBoardSlot:1\",slot=\"1\"}"), "1");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_board_slot_fitted{tag=\"VXN:QZ_MemoryBoardSlot:2\",slot=\"2\"}"), "0");
}

// The host's error counts come with the labels of their modules; firmware's padding is trimmed.
TEST(MetricsCommand, HostErrorCountersPerModule) {
  setenv("QZWMI_HOST_ROOT", QZ_SOURCE_DIR "/tests/data/hosts/ghes-two-socket", 1);
  const Outcome run = RunQzwmi({"--machine", "host", "metrics"});
  unsetenv("QZWMI_HOST_ROOT");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string module = "{tag=\"VXN:QZ_MemoryModule:1-6\",board=\"1\",socket=\"6\",bank_label=\"P0_Node0_Channel2_Dimm1\","
                             "part_number=\"HMT351R7EFR4A-H9\",serial=\"40037599\",manufacturer=\"Hynix Semiconductor\"}";
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_corrected_errors_total" + module), "12");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_uncorrected_errors_total" + module), "0");
  EXPECT_EQ(Sample(run.out, "qzwmi_memory_module_predictive_failure" + module), "1");
  EXPECT_EQ(Count(run.out, "\nqzwmi_memory_module_corrected_errors_total{"), 16u);
  // Elsewhere there are no such counters.
  const Outcome json = RunQzwmi({"--machine", QZ_MACHINES_DIR "/default.json", "metrics"});
  EXPECT_EQ(Count(json.out, "errors_total"), 0u);
}

TEST(MetricsCommand, OutputFileIsWrittenWhole) {
  const std::string file = RootFile("textfile/qzwmi.prom");
  fs::create_directories(RootFile("textfile"));
  WriteWholeFile(file, "stale\n");
  const Outcome run = RunQzwmi({"--machine", QZ_MACHINES_DIR "/default.json", "metrics", "--output", file});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const std::string text = ReadWholeFile(file);
  EXPECT_EQ(Count(text, "\nqzwmi_memory_module_info{"), 12u);
  EXPECT_EQ(Sample(text, "qzwmi_memory_redundancy_status{id=\"VXN:QZ_MemoryRedundancySet:001\"}"), "3");
  EXPECT_EQ(text.back(), '\n');
  const Outcome open = RunQzwmi({"--machine", QZ_MACHINES_DIR "/default.json", "metrics", "--openmetrics"});
  EXPECT_EQ(open.out.substr(open.out.size() - 6), "# EOF\n");
  const Outcome bad = RunQzwmi({"--machine", QZ_MACHINES_DIR "/default.json", "metrics", "-o", RootFile("none/x.prom")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "qzwmi: cannot create a file beside " + RootFile("none/x.prom") + ": No such file or directory\n");
}

class MetricsServe : public testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    args.insert(args.end(), {"--machine", QZ_MACHINES_DIR "/default.json"});
    ASSERT_TRUE(m_Server.Start(args)) << m_Server.Log();
  }
  Server m_Server;
};

// The service's own counts; then scrapes while the memory event counter moves on: every answer is
// whole and from one build.
TEST_F(MetricsServe, CountsTheServiceItselfAndScrapesDuringRebuildsAreWhole) {
  Start({"--no-auth"});
  ASSERT_EQ(Wbemcli({"ein", m_Server.Url() + ":QZ_MemoryBoard"}).status, 0);
  ASSERT_NE(Wbemcli({"gi", m_Server.Url() + ":QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"VXN:QZ_MemoryBoard:9\""}).status, 0);
  Get(m_Server.Port());
  const Reply reply = Get(m_Server.Port());
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(HeaderValue(reply.headers, "Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(Sample(reply.body, "qzwmi_requests_total{operation=\"EnumerateInstanceNames\",result=\"ok\"}"), "1");
  EXPECT_EQ(Sample(reply.body, "qzwmi_requests_total{operation=\"GetInstance\",result=\"error\"}"), "1");
  EXPECT_EQ(Sample(reply.body, "qzwmi_requests_total{operation=\"metrics\",result=\"ok\"}"), "1");
  EXPECT_EQ(Sample(reply.body, "qzwmi_request_duration_seconds_count"), "3");
  EXPECT_EQ(Sample(reply.body, "qzwmi_failed_logins_total"), "0");
  EXPECT_EQ(Sample(reply.body, "qzwmi_open_connections"), "1");  // this scrape's
  EXPECT_EQ(Sample(reply.body, "qzwmi_memory_event_sequence"), "1");
  const Reply open = Get(m_Server.Port(), {"-H", "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5"});
  EXPECT_EQ(HeaderValue(open.headers, "Content-Type"), "application/openmetrics-text; version=1.0.0; charset=utf-8");
  EXPECT_EQ(Count(open.body, "# TYPE qzwmi_requests counter\n"), 1u);

  const std::string before = Sample(Get(m_Server.Port()).body, "qzwmi_last_rebuild_timestamp_seconds");
  std::atomic<bool> done{false};
  std::thread events([&] {
    for (int i = 2; i < 22; ++i)
      RunQzwmi({"reg", "add", "HKLM\\SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", "/v", "QZ_MemoryEvent", "/t",
                "REG_DWORD", "/d", std::to_string(i), "/f"});
    done = true;
  });
  // The first scrape that is not whole ends the loop; the thread is joined before anything is
  // asserted, so that a failure reports instead of leaving the thread running.
  std::string broken;
  for (int scrapes = 0; broken.empty() && (!done || scrapes < 5); ++scrapes) {
    const Reply scrape = Get(m_Server.Port(), {"-H", "Accept: application/openmetrics-text"});
    const std::string& body = scrape.body;
    const bool whole = scrape.status == 200 && Count(body, "\nqzwmi_memory_module_info{") == 12u &&
                       Count(body, "\nqzwmi_memory_module_predictive_failure{") == 12u && Count(body, "# EOF") == 1u &&
                       body.size() >= 6 && body.compare(body.size() - 6, 6, "# EOF\n") == 0;
    if (!whole) broken = "status " + std::to_string(scrape.status) + "\n" + body;
  }
  events.join();
  ASSERT_EQ(broken, "");
  const Reply last = Get(m_Server.Port());
  EXPECT_EQ(Sample(last.body, "qzwmi_memory_event_sequence"), "21");
  EXPECT_NE(Sample(last.body, "qzwmi_last_rebuild_timestamp_seconds"), before);
}

// The metrics have their own authentication; the CIM-XML endpoint keeps its own.
TEST_F(MetricsServe, TokenGuardsTheMetricsOnly) {
  const std::string token = RootFile("metrics.token");
  WriteWholeFile(token, "sesame-42\n");
  chmod(token.c_str(), 0600);
  ASSERT_EQ(RunQzwmi({"passwd", "alice", "--users", RootFile("users")}, "secret\n").status, 0);
  Start({"--users", RootFile("users"), "--metrics-auth", "token", "--metrics-token-file", token});
  const struct {
    std::vector<std::string> headers;
    int status;
  } cases[] = {
      {{}, 401},
      {{"-H", "Authorization: Bearer sesame-4"}, 401},
      {{"-u", "alice:secret"}, 401},
      {{"-H", "Authorization: Bearer sesame-42"}, 200},
  };
  for (const auto& c : cases) EXPECT_EQ(Get(m_Server.Port(), c.headers).status, c.status) << (c.headers.empty() ? "" : c.headers[1]);
  EXPECT_EQ(HeaderValue(Get(m_Server.Port()).headers, "WWW-Authenticate"), "Bearer realm=\"qzwmi\"");
  const Reply reply = Get(m_Server.Port(), {"-H", "Authorization: Bearer sesame-42"});
  EXPECT_EQ(Sample(reply.body, "qzwmi_failed_logins_total"), "2");
  EXPECT_EQ(Sample(reply.body, "qzwmi_requests_total{operation=\"metrics\",result=\"unauthorized\"}"), "4");
  EXPECT_NE(Wbemcli({"ein", m_Server.Url() + ":QZ_MemoryBoard"}).status, 0);
  EXPECT_EQ(Wbemcli({"ein", m_Server.Url("alice:secret") + ":QZ_MemoryBoard"}).status, 0);
}

TEST_F(MetricsServe, UsersFileGuardsTheMetricsWhenAsked) {
  ASSERT_EQ(RunQzwmi({"passwd", "alice", "--users", RootFile("users")}, "secret\n").status, 0);
  Start({"--users", RootFile("users"), "--metrics-auth", "users"});
  EXPECT_EQ(Get(m_Server.Port()).status, 401);
  EXPECT_EQ(Get(m_Server.Port(), {"-u", "alice:wrong"}).status, 401);
  EXPECT_EQ(Get(m_Server.Port(), {"-u", "alice:secret"}).status, 200);
}

}  // namespace
