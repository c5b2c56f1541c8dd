// The memory board slot list: one slot per board index that command 1702 numbers, fitted or
// empty, and nothing without the driver's memory data.
#include "physical/QZMemoryBoardSlotList.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "tests/support/SourcesFixture.h"

namespace {

using MemoryBoardSlotList = qztest::ListTest<CQZMemoryBoardSlotList>;

std::vector<std::wstring> Tags(std::initializer_list<int> boards) {
  std::vector<std::wstring> tags;
  for (int board : boards) tags.push_back(L"VXN:QZ_MemoryBoardSlot:" + std::to_wstring(board));
  return tags;
}

TEST_F(MemoryBoardSlotList, SlotsByTheDriversBoardNumbers) {
  // Three boards counted; indexes 0 to 3 described, numbered by their index unless told.
  const std::string machine = R"({"driver": {"configuration": {"socketsPerBoard": 4, "boardCount": 3}, "boards": [
      {"index": 0, "number": NUMBER0}, {"index": 1, "present": false}, {"index": 2, "number": 70000}, {"index": 3}],
      "rawAnswers": [RAW], "faults": [FAULTS]}, "smbios": {"present": false}})";
  const auto Load = [&](const char* number0, const char* raw, const char* faults) {
    std::string text = machine;
    for (auto [key, value] : {std::pair{"NUMBER0", number0}, {"RAW", raw}, {"FAULTS", faults}})
      text.replace(text.find(key), std::string(key).size(), value);
    LoadText(text);
    g_MemAmpChecker.ProbePlatform();
    g_bDriverMemoryData = true;  // what the probe decides is not the subject here
  };
  struct Case {
    const char* what;
    const char* number0;
    const char* raw;
    const char* faults;
    std::vector<std::wstring> tags;
  } cases[] = {
      // An empty slot (index 1) is still a slot; 1702 number 0 at index 0 is none.
      {"from 0", "0", "", "", Tags({1, 70000})},
      {"from 1", "5", "", "", Tags({1, 70000, 3})},
      {"1702 naming board 0 present at index 0", "0", R"({"command": 1702, "param0": 0, "data": "08000000"})", "",
       Tags({8, 1, 70000})},
      {"1702 failing skips one index", "5", "", R"({"command": 1702, "param0": 2, "fail": true})", Tags({1, 3})},
      {"1705 failing for a later index does not matter", "5", "", R"({"command": 1705, "param0": 2, "fail": true})",
       Tags({1, 70000, 3})},
      {"1705 failing for index 0 ends it", "5", "", R"({"command": 1705, "param0": 0, "fail": true})", Tags({})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Load(c.number0, c.raw, c.faults);
    EXPECT_EQ(Build(), c.tags);
    EXPECT_EQ(list.WatchesEvents(), !c.tags.empty());
  }
  // Number keeps the low 16 bits of the board number; the name and tag the whole of it.
  Load("5", "", "");
  ASSERT_EQ(Build().size(), 3u);
  const CQZMemoryBoardSlot& slot = *list.GetAt(1);
  EXPECT_EQ(slot.GetNumber(), 70000 - 65536);
  EXPECT_EQ(slot.GetName(), L"Memory Board Slot 70000");
  EXPECT_EQ(slot.GetConnectorDescription(), L"Memory Board Slot 70000");
}

}  // namespace
