// The memory collection: the board status codes, both folds, the status decision, and the group
// status of servers whose boards and modules report the given codes.
#include "logical/QZMemoryCollectionList.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "logical/QZWinMemoryList.h"
#include "sources/PlatformProbe.h"
#include "tests/support/SourcesFixture.h"

namespace {

TEST(MemoryCollectionStatus, BoardFoldSteps) {
  struct Case {
    WORD fold, board, next;
  } cases[] = {
      {2, 0, 0}, {2, 2, 2}, {2, 3, 3}, {2, 6, 6}, {0, 3, 3}, {0, 6, 6}, {0, 2, 0}, {0, 0, 0},
      {3, 6, 6}, {3, 2, 3}, {3, 0, 3}, {6, 2, 6}, {6, 3, 6}, {6, 0, 6}, {5, 6, 0}, {1, 3, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(NextBoardFold(c.fold, c.board), c.next) << c.fold << " " << c.board;
}

TEST(MemoryCollectionStatus, Decision) {
  struct Case {
    WORD boardFold, moduleFold, status;
  } cases[] = {
      {2, 2, 2}, {2, 3, 3}, {2, 0, 0}, {2, 6, 0}, {0, 3, 3}, {0, 2, 0}, {0, 0, 0},
      {3, 2, 3}, {3, 0, 3}, {6, 2, 6}, {6, 3, 6}, {5, 2, 0}, {1, 3, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CollectionStatus(c.boardFold, c.moduleFold), c.status) << c.boardFold << " " << c.moduleFold;
}

struct Board {
  int code;  // the driver's board status code
  bool present;
  std::vector<int> modules;  // the driver's module status codes
};

std::string Machine(const std::vector<Board>& boards) {
  std::string json = "{\"driver\": {\"configuration\": {\"socketsPerBoard\": 8}, \"boards\": [";
  for (size_t b = 0; b < boards.size(); ++b) {
    if (b) json += ",";
    json += "{\"status\": " + std::to_string(boards[b].code) + ", \"present\": " +
            (boards[b].present ? "true" : "false") + ", \"modules\": [";
    for (size_t m = 0; m < boards[b].modules.size(); ++m)
      json += (m ? "," : "") + std::string("{\"sizeMiB\": 4096, \"status\": ") + std::to_string(boards[b].modules[m]) + "}";
    json += "]}";
  }
  return json + "]}}";
}

class MemoryCollectionList : public qztest::SourcesTest {
 protected:
  void Load(const std::string& json) {
    LoadText(json);
    g_MemAmpChecker.ProbePlatform();
  }
};

TEST_F(MemoryCollectionList, GroupStatusOfBoardsAndModules) {
  // Board codes: 0 OK, 1 degraded, 4 error, 14 unknown. Module codes: 2 OK, 9 degraded, 6 unknown.
  struct Case {
    const char* what;
    std::vector<Board> boards;
    WORD status;
    const WCHAR* text;
  } cases[] = {
      {"a degraded board first", {{1, true, {6}}, {0, true, {2}}}, 3, L"Memory collection status: Degraded"},
      {"boards OK, a module unknown", {{0, true, {2, 6}}}, 0, L"Memory collection status: Unknown"},
      {"unknown board, degraded module", {{14, true, {9}}}, 3, L"Memory collection status: Degraded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Load(Machine(c.boards));
    CQZMemoryCollectionList list;
    EXPECT_NE(list.Update(nullptr), 0u);
    ASSERT_EQ(list.GetCount(), 1u);
    const CQZMemoryCollection* record = list.GetAt(0);
    EXPECT_EQ(record->GetGroupOperationalStatus(), std::vector<WORD>{c.status});
    EXPECT_EQ(record->GetGroupStatusDescriptions(), std::vector<std::wstring>{c.text});
    EXPECT_TRUE(list.WatchesEvents());
  }
}

TEST_F(MemoryCollectionList, BoardsThatDoNotAnswerAreLeftOut) {
  struct Case {
    const char* what;
    std::string machine;
    std::vector<WORD> statuses;
  } cases[] = {
      {"every board", Machine({{1, true, {2}}, {4, true, {2}}, {14, true, {2}}}), {3, 6, 0}},
      {"a board not fitted", Machine({{1, true, {2}}, {4, false, {2}}}), {3}},
      {"no driver", "{}", {}},
      {"configuration fails",
       R"({"driver": {"faults": [{"command": 1700, "fail": true}], "boards": [{"status": 1, "modules": [{"sizeMiB": 1}]}]}})",
       {}},
      {"a board's information fails",
       R"({"driver": {"faults": [{"command": 1702, "param0": 1, "fail": true}],
           "boards": [{"status": 1, "modules": [{"sizeMiB": 1}]}, {"status": 4, "modules": [{"sizeMiB": 1}]}]}})",
       {6}},
      {"a board whose number is 0",
       R"({"driver": {"boards": [{"index": 0, "number": 0, "status": 4, "modules": [{"sizeMiB": 1}]},
                                 {"index": 1, "number": 1, "status": 1, "modules": [{"sizeMiB": 1}]}]}})",
       {3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Load(c.machine);
    std::vector<WORD> statuses = {99};
    ReadMemoryBoardStatuses(nullptr, statuses);
    EXPECT_EQ(statuses, c.statuses);
  }
}

}  // namespace
