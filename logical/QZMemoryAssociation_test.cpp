// The memory association lists: the two update rules.
#include "logical/QZMemoryAssociationProvs.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <functional>
#include <memory>
#include <string>

#include "tests/support/SourcesFixture.h"
#include "tests/support/WbemDoubles.h"

namespace {

using ListFactory = std::function<std::unique_ptr<CQZAssociationList>()>;
template <class T>
ListFactory List() {
  return [] { return std::make_unique<T>(); };
}

constexpr const WCHAR* kEventKey = L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication";

using MemoryAssociationLists = qztest::SourcesTest;

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
  LoadFile("default.json");
  g_MemAmpChecker.ProbePlatform();
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
