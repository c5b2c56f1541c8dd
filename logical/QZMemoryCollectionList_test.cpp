// The memory collection: the board status codes, both folds, the status decision, and the one
// group status that no bundled server shows.
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

// The folds and the decision are tested above and the other statuses show in the golden outputs;
// here the text of the status no bundled server has. Board code 0 is OK; module codes 2 OK, 6 unknown.
TEST_F(MemoryCollectionList, BoardsOkAndAModuleUnknownMakeTheGroupUnknown) {
  Load(Machine({{0, true, {2, 6}}}));
  CQZMemoryCollectionList list;
  EXPECT_NE(list.Update(nullptr), 0u);
  ASSERT_EQ(list.GetCount(), 1u);
  EXPECT_EQ(list.GetAt(0)->GetGroupOperationalStatus(), std::vector<WORD>{0});
  EXPECT_EQ(list.GetAt(0)->GetGroupStatusDescriptions(), std::vector<std::wstring>{L"Memory collection status: Unknown"});
  EXPECT_TRUE(list.WatchesEvents());
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
