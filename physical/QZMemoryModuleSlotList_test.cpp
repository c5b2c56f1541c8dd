// The memory module slot list: the board numbering with the extra board after a silent board 0, one socket per SMBIOS memory device, and
// the tag splitters that turn slot tags back into numbers.
#include "physical/QZMemoryModuleSlotList.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <climits>
#include <string>
#include <vector>

#include "physical/QZMemoryBoardSlotList.h"
#include "tests/support/SourcesFixture.h"

namespace {

using MemoryModuleSlotList = qztest::ListTest<CQZMemoryModuleSlotList>;

// A board of `sockets` sockets reported by the driver, fitted where `fitted` says so.
std::string Board(int index, int sockets, std::initializer_list<int> fitted, const char* extra = "") {
  std::string modules;
  for (int s = 1; s <= sockets; ++s) {
    bool isFitted = false;
    for (int f : fitted) isFitted = isFitted || f == s;
    modules += (s > 1 ? "," : "") + std::string(R"({"socket": )") + std::to_string(s) +
               (isFitted ? R"(, "sizeMiB": 4096})" : R"(, "present": false, "status": 0})");
  }
  return R"({"index": )" + std::to_string(index) + extra + R"(, "modules": [)" + modules + "]}";
}

std::vector<std::wstring> Tags(std::initializer_list<const char*> sockets) {
  std::vector<std::wstring> tags;
  for (const char* s : sockets) tags.push_back(L"VXN:QZ_MemoryModuleSlot:" + std::wstring(s, s + strlen(s)));
  return tags;
}

TEST_F(MemoryModuleSlotList, BoardNumberingAndFailingCommands) {
  // Board counts 2, two sockets each. Index 0 answers board 0 present: boards run from 0.
  const std::string machine = R"({"driver": {"configuration": {"socketsPerBoard": 2, "boardCount": 2}, "boards": [)" +
                              Board(0, 2, {1}, R"(, "number": 0, "present": PRESENT0)") + "," + Board(1, 2, {}) + "," +
                              Board(2, 2, {}, R"(, "present": PRESENT2)") + "," + Board(3, 2, {}) +
                              R"(], "faults": [FAULTS]}})";
  struct Case {
    const char* what;
    const char* present0;
    const char* present2;
    const char* faults;
    std::vector<std::wstring> tags;
  } cases[] = {
      {"from 0", "true", "true", "", Tags({"0-1", "0-2", "1-1", "1-2"})},
      {"from 1 when index 0 is not present", "false", "true", "", Tags({"1-1", "1-2", "2-1", "2-2"})},
      {"1707 failing for board 0 adds one more index", "true", "true", R"({"command": 1707, "param0": 0, "param1": 1, "fail": true})",
       Tags({"1-1", "1-2", "2-1", "2-2"})},
      {"1706 failing for socket 2 of board 0 keeps socket 1", "true", "true",
       R"({"command": 1706, "param0": 0, "param1": 2, "fail": true})", Tags({"0-1", "1-1", "1-2", "2-1", "2-2"})},
      {"the extra index skips a board not present", "true", "false", R"({"command": 1707, "param0": 0, "fail": true})",
       Tags({"1-1", "1-2"})},
      {"a failing later board loses only its remaining sockets", "false", "true",
       R"({"command": 1706, "param0": 1, "param1": 2, "fail": true})", Tags({"1-1", "2-1", "2-2"})},
      {"1705 failing skips one board", "false", "true", R"({"command": 1705, "param0": 2, "fail": true})",
       Tags({"1-1", "1-2"})},
      {"1705 failing for index 0 ends it", "true", "true", R"({"command": 1705, "param0": 0, "fail": true})", Tags({})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = machine;
    for (auto [key, value] : {std::pair{"PRESENT0", c.present0}, {"PRESENT2", c.present2}, {"FAULTS", c.faults}})
      text.replace(text.find(key), std::string(key).size(), value);
    LoadText(text);
    g_MemAmpChecker.ProbePlatform();
    g_bDriverMemoryData = true;  // what the probe decides is not the subject here
    EXPECT_EQ(Build(), c.tags);
    EXPECT_EQ(list.WatchesEvents(), !c.tags.empty());
  }
}

TEST_F(MemoryModuleSlotList, SmbiosGivesOneSocketPerMemoryDeviceEvenTwiceTheSame) {
  LoadText(R"({"driver": {"configuration": {"socketsPerBoard": 0, "boardCount": 0}},
               "smbios": {"devices": [{"size": 1024, "oemBoard": 1, "oemModule": 2}, {"oemBoard": 1, "oemModule": 3},
                                      {"size": 2048, "formFactor": 13, "oemBoard": 1, "oemModule": 2},
                                      {"deviceLocator": "nowhere"}]}})");
  EXPECT_EQ(Build(), Tags({"1-2", "1-3", "1-2", "0-0"}));
  EXPECT_TRUE(list.WatchesEvents());
  EXPECT_EQ(list.GetAt(1)->GetCaption(), L"Memory Module Socket 3 on Memory Board 1");
  EXPECT_EQ(list.GetAt(3)->GetNumber(), 0);
}

TEST_F(MemoryModuleSlotList, DriverWithoutSocketsOrSmbiosGivesNoSocketsAndStopsWatching) {
  LoadText(R"({"driver": {"configuration": {"socketsPerBoard": 0, "boardCount": 0}}, "smbios": {"present": false}})");
  EXPECT_EQ(Build(), Tags({}));
  EXPECT_FALSE(list.WatchesEvents());
}

TEST(SlotTags, SplitIntoTheirNumbers) {
  struct Case {
    const WCHAR* tag;
    bool split;
    int board;
    int socket;
  } cases[] = {
      {L"VXN:QZ_MemoryModuleSlot:3-12", true, 3, 12},
      {L"VXN:QZ_MemoryModuleSlot:9", true, 9, 0},
      {L"VXN:QZ_MemoryModuleSlot:x-y", true, 0, 0},
      {L"VXN:QZ_MemoryModuleSlot:12ab-3cd", true, 12, 3},
      {L"VXN:QZ_MemoryModuleSlot:99999999999-1", true, INT_MAX, 1},
      {L"VXN:QZ_MemoryModuleSlot", false, 0, 0},
      {L"VXN:", false, 0, 0},
      {L"AB:C:1-2", true, 1, 2},  // the first 4 characters go, colon or not
      {L"", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tag, c.tag + wcslen(c.tag)));
    int board = -7, socket = -7;
    EXPECT_EQ(SplitSlotTag(c.tag, board, socket), c.split);
    EXPECT_EQ(board, c.board);
    EXPECT_EQ(socket, c.socket);
  }
  struct BoardCase {
    const WCHAR* tag;
    bool split;
    int board;
  } boardCases[] = {
      {L"VXN:QZ_MemoryBoardSlotLocation:12", true, 12},
      {L"VXN:QZ_MemoryBoardSlot:", true, 0},      {L"VXN:QZ_MemoryBoardSlot:3-4", true, 3},
      {L"VXN:QZ_MemoryBoardSlot:-2", true, -2},   {L"VXN:QZ_MemoryBoardSlot", false, 0},
      {L"VX", false, 0},
  };
  for (const BoardCase& c : boardCases) {
    SCOPED_TRACE(std::string(c.tag, c.tag + wcslen(c.tag)));
    int board = -7;
    EXPECT_EQ(SplitBoardSlotTag(c.tag, board), c.split);
    EXPECT_EQ(board, c.board);
  }
}

}  // namespace
