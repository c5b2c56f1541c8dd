// `qzwmi serve` on a host follows its memory health: a change of the kernel's error counters or of
// rasdaemon's database shows in the next answers, without a restart, with one log line.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "tests/serve/ServeFixture.h"

namespace {

namespace fs = std::filesystem;
using namespace servetest;

class ServeHostHealth : public testing::Test {
 protected:
  // A copy of the captured tree, served as the host.
  void Serve(const std::string& tree) {
    m_Root = RootFile("host-" + tree);
    fs::copy(QZ_SOURCE_DIR "/tests/data/hosts/" + tree, m_Root, fs::copy_options::recursive);
    setenv("QZWMI_HOST_ROOT", m_Root.c_str(), 1);
    ASSERT_TRUE(m_Server.Start({"--no-auth", "--machine", "host", "--watch-interval", "1"})) << m_Server.Log();
  }

  std::string Status(const std::string& tag) {
    Outcome run = Wbemcli({"gi", "-nl", m_Server.Url() + ":QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:" + tag + "\""});
    const size_t at = run.out.find("-OperationalStatus=");
    return at == std::string::npos ? run.out + run.err : run.out.substr(at + 19, run.out.find('\n', at) - at - 19);
  }

  // The module's status once it is no longer `before`, asking again until a deadline.
  std::string StatusAfterChange(const std::string& tag, const std::string& before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string now = Status(tag);
    while (now == before && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      now = Status(tag);
    }
    return now;
  }

  size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  std::string m_Root;
  Server m_Server;
};

TEST_F(ServeHostHealth, AnEdacCounterOverTheThresholdShowsInTheNextAnswer) {
  Serve("ghes-two-socket");
  ASSERT_EQ(Status("2-2"), "2");
  qzwmitest::WriteWholeFile(m_Root + "/sys/devices/system/edac/mc/mc0/dimm9/dimm_ce_count", "10\n");
  EXPECT_EQ(StatusAfterChange("2-2", "2"), "3,5");
  EXPECT_EQ(Status("1-6"), "3,5");
  EXPECT_EQ(Count(m_Server.Log(), "memory health changed"), 1u) << m_Server.Log();
  EXPECT_NE(m_Server.Log().find("qzwmi serve: memory health changed: module 2-2 predictive failure\n"), std::string::npos)
      << m_Server.Log();
}

TEST_F(ServeHostHealth, ANewUncorrectedEventInRasdaemonsDatabaseShowsInTheNextAnswer) {
  Serve("rasdaemon");
  ASSERT_EQ(Status("1-4"), "2");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((m_Root + "/var/lib/rasdaemon/ras-mc_event.db").c_str(), &db), SQLITE_OK);
  // The watcher may be reading when the write begins (it wakes as the journal file appears).
  sqlite3_busy_timeout(db, 10000);
  char stamp[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S +0000", std::gmtime(&now));
  const std::string insert = std::string("INSERT INTO mc_event (timestamp, err_count, err_type, err_msg, label, mc) VALUES ('") +
                             stamp + "', 1, 'Uncorrected', 'memory read error', 'DIMM_D1', 0)";
  EXPECT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(StatusAfterChange("1-4", "2"), "3,5");
  EXPECT_EQ(Status("1-3"), "2");
  EXPECT_NE(m_Server.Log().find("memory health changed: module 1-4 predictive failure\n"), std::string::npos) << m_Server.Log();
}

}  // namespace
