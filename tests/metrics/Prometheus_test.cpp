// A real Prometheus (Debian's package) scrapes three `qzwmi serve` processes every second: two
// bundled machines, one of them behind a bearer token, and a captured host. Its query API must show
// what each server publishes, and then what changes after a memory event.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/metrics/MetricsHelpers.h"

namespace {

using namespace servetest;
namespace fs = std::filesystem;
using nlohmann::json;

// A loopback port that nothing listens on right now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

class Prometheus : public testing::Test {
 protected:
  void SetUp() override {
    m_TestRoot = getenv("QZWMI_ROOT");
    const std::string token = RootFile("metrics.token");
    WriteWholeFile(token, "scrape-me\n");
    chmod(token.c_str(), 0600);
    m_Host = RootFile("host");
    fs::copy(QZ_SOURCE_DIR "/tests/data/hosts/ghes-two-socket", m_Host, fs::copy_options::recursive);
    // Each server in a system root of its own, so that each has its own memory event counter.
    StartIn("a", m_Default, {"--no-auth", "--machine", QZ_MACHINES_DIR "/default.json"});
    StartIn("b", m_Processor,
            {"--no-auth", "--machine", QZ_MACHINES_DIR "/processor-boards.json", "--metrics-auth", "token",
             "--metrics-token-file", token});
    setenv("QZWMI_HOST_ROOT", m_Host.c_str(), 1);
    StartIn("c", m_HostServer, {"--no-auth", "--machine", "host", "--watch-interval", "1"});
    unsetenv("QZWMI_HOST_ROOT");

    m_Port = FreePort();
    const std::string config = RootFile("prometheus.yml");
    WriteWholeFile(config,
                   "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                   "scrape_configs:\n"
                   "  - job_name: qzwmi\n    static_configs:\n      - targets: ['" + Target(m_Default) + "', '" +
                       Target(m_HostServer) + "']\n"
                   "  - job_name: qzwmi-token\n    authorization:\n      credentials_file: " + token +
                       "\n    static_configs:\n      - targets: ['" + Target(m_Processor) + "']\n");
    m_Prometheus = Spawn({"prometheus", "--config.file=" + config, "--storage.tsdb.path=" + RootFile("tsdb"),
                          "--web.listen-address=127.0.0.1:" + std::to_string(m_Port), "--log.level=warn"},
                         "/dev/null", RootFile("prometheus.log"), RootFile("prometheus.log"));
    ASSERT_GT(m_Prometheus, 0) << "prometheus is not installed (scripts/deps.sh installs it)";
  }

  void TearDown() override {
    if (m_Prometheus > 0) kill(m_Prometheus, SIGTERM);
    if (m_Prometheus > 0) waitpid(m_Prometheus, nullptr, 0);
  }

  void StartIn(const std::string& name, Server& server, const std::vector<std::string>& args) {
    const std::string root = RootFile("root-" + name);
    fs::create_directories(root);
    setenv("QZWMI_ROOT", root.c_str(), 1);
    ASSERT_TRUE(server.Start(args)) << server.Log();
    setenv("QZWMI_ROOT", m_TestRoot.c_str(), 1);
  }

  static std::string Target(const Server& server) { return "127.0.0.1:" + std::to_string(server.Port()); }

  // The result vector of an instant query, as {labels, value} objects.
  json Query(const std::string& query) {
    const Outcome run = RunProgram("curl", {"-s", "--max-time", "10", "-G", "--data-urlencode", "query=" + query,
                                            "http://127.0.0.1:" + std::to_string(m_Port) + "/api/v1/query"});
    const json answer = json::parse(run.out, nullptr, false);
    if (answer.is_discarded() || answer.value("status", "") != "success") return json::array();
    return answer["data"]["result"];
  }

  // The value of a query that gives one series, or "" when it gives none or several.
  std::string Value(const std::string& query) {
    const json result = Query(query);
    return result.size() == 1 ? result[0]["value"][1].get<std::string>() : "";
  }

  // Asks again, twice a second, until the query gives `expected` (any one value for "*") or 60 s
  // have passed; the last value.
  std::string WaitFor(const std::string& query, const std::string& expected) {
    std::string value;
    Eventually([&] { return (value = Value(query)) == expected || (expected == "*" && !value.empty()); },
               std::chrono::seconds(60), std::chrono::milliseconds(500));
    return value;
  }

  std::string m_TestRoot, m_Host;
  Server m_Default, m_Processor, m_HostServer;
  int m_Port = 0;
  pid_t m_Prometheus = -1;
};

TEST_F(Prometheus, ScrapesEachServerAndFollowsAMemoryEvent) {
  const std::string a = "instance=\"" + Target(m_Default) + "\"";
  const std::string b = "instance=\"" + Target(m_Processor) + "\"";
  const std::string c = "instance=\"" + Target(m_HostServer) + "\"";
  ASSERT_EQ(WaitFor("count(up == 1)", "3"), "3") << ReadWholeFile(RootFile("prometheus.log"));

  EXPECT_EQ(WaitFor("count(qzwmi_memory_module_info{" + a + "})", "12"), "12");
  EXPECT_EQ(WaitFor("count(qzwmi_memory_module_info{" + b + "})", "8"), "8");
  EXPECT_EQ(WaitFor("count(qzwmi_memory_module_info{" + c + "})", "16"), "16");
  const json failing = Query("qzwmi_memory_module_predictive_failure == 1");
  std::vector<std::string> seen;
  for (const json& series : failing) seen.push_back(series["metric"]["instance"].get<std::string>() + " " + series["metric"]["tag"].get<std::string>());
  std::vector<std::string> expected = {Target(m_Default) + " VXN:QZ_MemoryModule:2-3", Target(m_HostServer) + " VXN:QZ_MemoryModule:1-6"};
  std::sort(seen.begin(), seen.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Value("qzwmi_memory_redundancy_status{" + a + "}"), "3");
  EXPECT_EQ(Value("qzwmi_memory_redundancy_status{" + b + "}"), "2");
  EXPECT_EQ(Value("qzwmi_memory_redundancy_info{" + b + ",current_configuration=\"Lockstep\"}"), "1");
  EXPECT_EQ(Value("qzwmi_memory_module_corrected_errors_total{" + c + ",tag=\"VXN:QZ_MemoryModule:2-2\"}"), "3");

  // The host records more corrected errors on one module: the service's watcher reads the host
  // again and moves its memory event counter; the module's new state reaches Prometheus.
  const std::string counterBefore = Value("qzwmi_memory_event_sequence{" + c + "}");
  WriteWholeFile(m_Host + "/sys/devices/system/edac/mc/mc0/dimm9/dimm_ce_count", "10\n");
  EXPECT_EQ(WaitFor("qzwmi_memory_module_predictive_failure{" + c + ",tag=\"VXN:QZ_MemoryModule:2-2\"}", "1"), "1");
  EXPECT_EQ(Value("qzwmi_memory_module_corrected_errors_total{" + c + ",tag=\"VXN:QZ_MemoryModule:2-2\"}"), "10");
  EXPECT_EQ(Value("qzwmi_memory_event_sequence{" + c + "} > " + counterBefore), std::to_string(std::stoi(counterBefore) + 1));

  // A memory event on a bundled machine: the counter moved by hand, as the server's agent would.
  const std::string rebuiltBefore = Value("qzwmi_last_rebuild_timestamp_seconds{" + a + "}");
  setenv("QZWMI_ROOT", RootFile("root-a").c_str(), 1);
  const Outcome moved = RunQzwmi({"reg", "add", "HKLM\\SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", "/v",
                                  "QZ_MemoryEvent", "/t", "REG_DWORD", "/d", "7", "/f"});
  setenv("QZWMI_ROOT", m_TestRoot.c_str(), 1);
  ASSERT_EQ(moved.status, 0) << moved.err;
  EXPECT_EQ(WaitFor("qzwmi_memory_event_sequence{" + a + "}", "7"), "7");
  EXPECT_NE(WaitFor("qzwmi_last_rebuild_timestamp_seconds{" + a + "} > " + rebuiltBefore, "*"), "");
  EXPECT_EQ(Value("count(qzwmi_memory_module_info{" + a + "})"), "12");
  // The scrapes of the token-guarded server passed; no scrape was refused anywhere.
  EXPECT_EQ(Value("sum(qzwmi_failed_logins_total)"), "0");
}

}  // namespace
