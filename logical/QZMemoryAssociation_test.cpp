// The memory association lists: the pairings that tags decide and the two update rules.
#include "logical/QZMemoryAssociationProvs.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <functional>
#include <memory>
#include <string>

#include "tests/support/SourcesFixture.h"
#include "tests/support/WbemDoubles.h"

namespace {

const std::wstring kServer = L"\\\\QZ-SERVER\\root\\VXN:";

// The full path of an element of `cls` with the tag's numbers.
std::wstring Element(const std::wstring& cls, const std::wstring& numbers) {
  return kServer + cls + L".CreationClassName=\"" + cls + L"\",Tag=\"VXN:" + cls + L":" + numbers + L"\"";
}
std::wstring Module(const std::wstring& numbers) { return Element(L"QZ_MemoryModule", numbers); }
std::wstring Board(const std::wstring& numbers) { return Element(L"QZ_MemoryBoard", numbers); }
std::wstring ModuleSlot(const std::wstring& numbers) { return Element(L"QZ_MemoryModuleSlot", numbers); }

using ListFactory = std::function<std::unique_ptr<CQZAssociationList>()>;
template <class T>
ListFactory List() {
  return [] { return std::make_unique<T>(); };
}

class MemoryAssociationLists : public qztest::SourcesTest {
 protected:
  static constexpr const WCHAR* kEventKey = L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication";
  void Start(const char* machine) {
    LoadFile(machine);
    g_MemAmpChecker.ProbePlatform();
  }
  void StartText(const std::string& json) {
    LoadText(json);
    g_MemAmpChecker.ProbePlatform();
  }
  static std::vector<std::wstring> Pairs(CQZAssociationList& list) {
    std::vector<std::wstring> pairs;
    for (DWORD i = 0; i < list.GetCount(); ++i) pairs.push_back(list.GetAt(i)->GetFirst() + L" | " + list.GetAt(i)->GetSecond());
    return pairs;
  }
};

// Boards 1 and 2; module sockets (1,1), (1,2), (2,1) and (3,1), the last on an index whose board
// slot does not answer, so that no board 3 exists.
TEST_F(MemoryAssociationLists, ModuleSlotsPairWithTheBoardTheirTagNames) {
  StartText(R"({"driver": {
      "configuration": {"socketsPerBoard": 2, "boardCount": 3},
      "boards": [{"modules": [{"sizeMiB": 4096}, {"sizeMiB": 4096}]},
                 {"modules": [{"sizeMiB": 4096}]},
                 {"modules": [{"sizeMiB": 4096}]}],
      "faults": [{"command": 1707, "param0": 2, "param1": 2, "fail": true},
                 {"command": 1707, "param0": 3, "param1": 2, "fail": true},
                 {"command": 1702, "param0": 3, "fail": true}]}})");
  CQZMemoryModuleSlotOnBoardList list;
  ASSERT_NE(list.Update(nullptr), 0u);
  EXPECT_EQ(Pairs(list), (std::vector<std::wstring>{
                             Board(L"1") + L" | " + ModuleSlot(L"1-1"),
                             Board(L"1") + L" | " + ModuleSlot(L"1-2"),
                             Board(L"2") + L" | " + ModuleSlot(L"2-1"),
                         }));
  EXPECT_TRUE(list.WatchesEvents());
}

TEST_F(MemoryAssociationLists, ModuleSitsInTheSocketOfItsTagInOrder) {
  StartText(R"({"driver": {
      "configuration": {"socketsPerBoard": 11, "boardCount": 1},
      "boards": [{"number": 2, "modules": [{"socket": 11, "sizeMiB": 4096}]}]}})");
  CQZMemoryModuleInSlotList list;
  ASSERT_NE(list.Update(nullptr), 0u);
  EXPECT_EQ(Pairs(list), (std::vector<std::wstring>{ModuleSlot(L"2-11") + L" | " + Module(L"2-11")}));
}

TEST_F(MemoryAssociationLists, HostedListsAreBuiltOnce) {
  const struct {
    const char* name;
    ListFactory make;
    DWORD afterEvent;  // the generation after the memory event
  } lists[] = {
      {"hosted collection", List<CQZHostedMemoryCollectionList>(), 2},
      {"hosted redundancy set", List<CQZHostedMemoryRedundancySetList>(), 2},
      {"member of collection", List<CQZMemberOfMemoryCollectionList>(), 3},
  };
  Start("default.json");
  for (const auto& l : lists) {
    SCOPED_TRACE(l.name);
    qztest::SetRegDword(kEventKey, L"QZ_MemoryEvent", 1);
    auto list = l.make();
    EXPECT_EQ(list->Update(nullptr), 2u);
    qztest::SetRegDword(kEventKey, L"QZ_MemoryEvent", 2);
    EXPECT_EQ(list->Update(nullptr), l.afterEvent);
    EXPECT_EQ(list->Update(nullptr), l.afterEvent);
  }
}

// Element lists whose validity a test switches, and an association that reads them.
class SwitchedList : public CQZRecordList<int> {
 public:
  bool valid = true;

 protected:
  bool RebuildList(IWbemContext*) override { return valid; }
};
// Made at first use: a list made before the test main has chosen the process's system root would
// tie its mutex to the default one.
template <int N>
SwitchedList& Switched() {
  static SwitchedList list;
  return list;
}
template <int N>
CQZList& ElementList() {
  return Switched<N>();
}

const AssociationListDescription kCountingDescription = {
    L"CQZCountingList", false, AssociationUpdate::FollowsEvents, {&ElementList<1>, &ElementList<2>}};

class CountingPairs : public CQZAssociationList {
 public:
  CountingPairs() : CQZAssociationList(kCountingDescription) {}
  int builds = 0;

 protected:
  bool RebuildList(IWbemContext*) override {
    if (!BeginRebuild()) return true;
    AddPair(L"build", std::to_wstring(++builds));
    m_bWatchEvents = TRUE;
    return true;
  }
};

TEST_F(MemoryAssociationLists, InvalidElementListKeepsThePairsUntilTheNextEvent) {
  g_bHealthDriverPresent = true;
  CountingPairs pairs;
  qztest::SetRegDword(kEventKey, L"QZ_MemoryEvent", 5);
  ASSERT_EQ(pairs.Update(nullptr), 2u);

  // The first element list has no data: the second is not asked, the old pair and generation stay,
  // and the event is used up.
  Switched<1>().valid = false;
  const DWORD secondGeneration = Switched<2>().Generation();
  qztest::SetRegDword(kEventKey, L"QZ_MemoryEvent", 6);
  EXPECT_EQ(pairs.Update(nullptr), 2u);
  EXPECT_EQ(Switched<2>().Generation(), secondGeneration);
  EXPECT_EQ(pairs.GetAt(0)->GetSecond(), L"1");
  EXPECT_EQ(pairs.LastEventCount(), 6u);

  Switched<1>().valid = true;
  EXPECT_EQ(pairs.Update(nullptr), 2u);
  qztest::SetRegDword(kEventKey, L"QZ_MemoryEvent", 7);
  EXPECT_EQ(pairs.Update(nullptr), 3u);
  EXPECT_EQ(pairs.GetAt(0)->GetSecond(), L"2");
}

}  // namespace
