// The memory board list: the board numbering, which board indexes give no board, the status,
// lock and removal tables, and what a missing source leaves.
#include "physical/QZMemoryBoardList.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "tests/support/SourcesFixture.h"

namespace {

const std::wstring kUnknown = L"Memory board status: Unknown";
const std::wstring kDegraded = L"Memory board status: Degraded";
const std::wstring kPreFailure =
    L"Memory board status: Correctable error threshold for pre-failure warranty has been exceeded";
const std::wstring kConfigError = L"Memory board status: Configuration error";

class MemoryBoardList : public qztest::ListTest<CQZMemoryBoardList> {
 protected:
  // A driver with these boards (and raw answers and faults), no SMBIOS.
  void LoadDriver(const std::string& driver) {
    LoadText(R"({"driver": {)" + driver + R"(}, "smbios": {"present": false}})");
  }
};

std::vector<std::wstring> Tags(std::initializer_list<int> boards) {
  std::vector<std::wstring> tags;
  for (int board : boards) tags.push_back(L"VXN:QZ_MemoryBoard:" + std::to_wstring(board));
  return tags;
}

TEST_F(MemoryBoardList, NumberingAndTheIndexesThatGiveNoBoard) {
  // Three boards counted; indexes 0 to 4 described, each numbered by its index unless told.
  const std::string boards = R"("configuration": {"socketsPerBoard": 4, "boardCount": 3}, "boards": [
      {"index": 0, "number": NUMBER0, "present": PRESENT0}, {"index": 1}, {"index": 2, "present": PRESENT2},
      {"index": 3}, {"index": 4}], "rawAnswers": [RAW], "faults": [FAULTS])";
  struct Case {
    const char* what;
    const char* number0;
    const char* present0;
    const char* present2;
    const char* raw;
    const char* faults;
    std::vector<std::wstring> tags;
  } cases[] = {
      // Index 0 answers 1702 with number 0 as well: no board there, but the walk starts at 0.
      {"board 0 present: indexes 0 to 2", "0", "true", "true", "", "", Tags({1, 2})},
      {"board 0 fitted with a number of its own", "0", "true", "true",
       R"({"command": 1702, "param0": 0, "data": "09000000"})", "", Tags({9, 1, 2})},
      {"index 0 not present: indexes 1 to 3", "0", "false", "true", "", "", Tags({1, 2, 3})},
      {"index 0 numbered 7: indexes 1 to 3", "7", "true", "true", "", "", Tags({1, 2, 3})},
      {"a board not present leaves a gap", "5", "false", "false", "", "", Tags({1, 3})},
      {"1702 number 0 leaves a gap", "5", "false", "true", R"({"command": 1702, "param0": 2, "data": "00000000"})",
       "", Tags({1, 3})},
      {"1705 failing skips its index", "5", "false", "true", "", R"({"command": 1705, "param0": 2, "fail": true})",
       Tags({1, 3})},
      {"1702 failing skips its index", "5", "false", "true", "", R"({"command": 1702, "param0": 1, "fail": true})",
       Tags({2, 3})},
      {"1705 failing for index 0 ends it", "5", "false", "true", "", R"({"command": 1705, "param0": 0, "fail": true})",
       Tags({})},
      {"1700 failing ends it", "5", "false", "true", "", R"({"command": 1700, "fail": true})", Tags({})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string driver = boards;
    for (auto [key, value] : {std::pair{"NUMBER0", c.number0}, {"PRESENT0", c.present0}, {"PRESENT2", c.present2},
                              {"RAW", c.raw}, {"FAULTS", c.faults}})
      driver.replace(driver.find(key), std::string(key).size(), value);
    LoadDriver(driver);
    g_MemAmpChecker.ProbePlatform();
    g_bDriverMemoryData = true;  // what the probe decides is not the subject here
    EXPECT_EQ(Build(), c.tags);
    EXPECT_EQ(list.WatchesEvents(), !c.tags.empty());
  }
}

TEST_F(MemoryBoardList, ConfigurationWithoutSocketsOrBoardsGivesNoBoards) {
  for (const char* configuration : {R"({"socketsPerBoard": 0, "boardCount": 2})", R"({"socketsPerBoard": 8, "boardCount": 0})"}) {
    SCOPED_TRACE(configuration);
    LoadDriver(std::string(R"("configuration": )") + configuration + R"(, "boards": [{}, {}])");
    g_MemAmpChecker.ProbePlatform();
    g_bDriverMemoryData = true;
    EXPECT_EQ(Build(), Tags({}));
    EXPECT_FALSE(list.WatchesEvents());
  }
}

TEST_F(MemoryBoardList, StatusCodesByTheTable) {
  struct Row {
    DWORD code;
    std::vector<WORD> status;
    std::vector<std::wstring> texts;
    WORD health;
  } rows[] = {
      // The outcomes the bundled servers do not show, the last row of the table and the codes past it.
      {2, {3, 3}, {kDegraded, kConfigError}, 10},
      {13, {3, 5}, {kDegraded, kPreFailure}, 10},
      {14, {0}, {kUnknown}, 0},
      {0xFFFFFFFF, {0}, {kUnknown}, 0},
  };
  std::string boards;
  for (const Row& row : rows) boards += (boards.empty() ? "{" : ",{") + std::string(R"("status": )") + std::to_string(row.code) + "}";
  LoadDriver(R"("configuration": {"socketsPerBoard": 1, "boardCount": 4}, "boards": [)" + boards + "]");
  ASSERT_EQ(Build().size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].code);
    const CQZMemoryBoard& board = *list.GetAt(static_cast<DWORD>(i));
    EXPECT_EQ(board.GetOperationalStatus(), rows[i].status);
    EXPECT_EQ(board.GetStatusDescriptions(), rows[i].texts);
    EXPECT_EQ(board.GetHealthState(), rows[i].health);
  }
}

TEST_F(MemoryBoardList, LockHotPlugAndMemoryAsTheDriverGivesThem) {
  struct Case {
    const char* board;
    WORD locked;
    WORD removal;
    DWORD sockets;
    DWORD available;
    DWORD total;
  } cases[] = {
      {R"({"lockState": 1, "hotPlug": true, "sockets": 6, "availableMemory": 100, "totalMemory": 200})", 2, 4, 6, 100, 200},
      {R"({"lockState": 0, "sockets": 0, "availableMemory": 0, "totalMemory": 4294967295})", 3, 3, 0, 0, 0xFFFFFFFF},
      {R"({"lockState": 5, "hotPlug": true})", 1, 4, 0, 0, 0},
      {R"({"lockState": 2})", 1, 3, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.board);
    // Without modules nor sockets the configuration must be given.
    LoadDriver(std::string(R"("configuration": {"socketsPerBoard": 8, "boardCount": 1}, "boards": [)") + c.board + "]");
    ASSERT_EQ(Build(), Tags({1}));
    const CQZMemoryBoard& board = *list.GetAt(0);
    EXPECT_EQ(board.GetLocked(), c.locked);
    EXPECT_EQ(board.GetRemovalConditions(), c.removal);
    EXPECT_EQ(board.GetNumberOfSockets(), c.sockets == 0 ? 8u : c.sockets) << "the driver's default socket count";
    EXPECT_EQ(board.GetAvailableMemory(), c.available);
    EXPECT_EQ(board.GetTotalMemory(), c.total);
  }
}

}  // namespace
