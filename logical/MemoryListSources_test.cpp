// Every memory list without its sources: without the health driver each is empty, stops watching
// for memory events and says so in the log; while the data store has no data a list built before
// is emptied but keeps watching, so that the store's first data rebuilds it.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "logical/QZMemoryAssociationLists.h"
#include "logical/QZMemoryCollectionList.h"
#include "logical/QZMemoryRedundancySetList.h"
#include "logical/QZWinMemoryList.h"
#include "logical/QZWinSystemMemoryList.h"
#include "physical/QZMemoryBoardList.h"
#include "physical/QZMemoryBoardSlotList.h"
#include "physical/QZMemoryModuleList.h"
#include "physical/QZMemoryModuleSlotList.h"
#include "tests/support/SourcesFixture.h"

namespace {

using ListFactory = std::function<std::unique_ptr<CQZList>()>;
template <class T>
ListFactory Make() {
  return [] { return std::make_unique<T>(); };
}

struct ListCase {
  const WCHAR* name;  // as the log names its rebuild
  ListFactory make;
  bool emptiedWithoutStoreData;
};

const ListCase kLists[] = {
    {L"CQZMemoryModuleList", Make<CQZMemoryModuleList>(), true},
    {L"CQZMemoryBoardList", Make<CQZMemoryBoardList>(), true},
    {L"CQZMemoryModuleSlotList", Make<CQZMemoryModuleSlotList>(), true},
    {L"CQZMemoryBoardSlotList", Make<CQZMemoryBoardSlotList>(), true},
    {L"CQZMemoryRedundancySetList", Make<CQZMemoryRedundancySetList>(), true},
    {L"CQZWinMemoryList", Make<CQZWinMemoryList>(), true},
    {L"CQZMemoryCollectionList", Make<CQZMemoryCollectionList>(), false},
    // The system memory pair names the computer and the extent, whatever the store holds.
    {L"CQZWinSystemMemoryList", Make<CQZWinSystemMemoryList>(), false},
    {L"CQZHostedMemoryCollectionList", Make<CQZHostedMemoryCollectionList>(), false},
    {L"CQZMemberOfMemoryRedundancySetList", Make<CQZMemberOfMemoryRedundancySetList>(), false},
    {L"CQZHostedMemoryRedundancySetList", Make<CQZHostedMemoryRedundancySetList>(), false},
    {L"CQZMemberOfMemoryCollectionList", Make<CQZMemberOfMemoryCollectionList>(), false},
    {L"CQZRealizesMemoryModuleList", Make<CQZRealizesMemoryModuleList>(), false},
    {L"CQZMemoryModuleInSlotList", Make<CQZMemoryModuleInSlotList>(), false},
    {L"CQZMemoryBoardInSlotList", Make<CQZMemoryBoardInSlotList>(), false},
    {L"CQZMemoryModuleSlotOnBoardList", Make<CQZMemoryModuleSlotOnBoardList>(), false},
    {L"CQZSystemMemoryModuleSlotList", Make<CQZSystemMemoryModuleSlotList>(), false},
    {L"CQZSystemMemoryBoardSlotList", Make<CQZSystemMemoryBoardSlotList>(), false},
};

class MemoryListSources : public qztest::SourcesTest {
 protected:
  void Machine(const char* file) {
    LoadFile(file);
    g_MemAmpChecker.ProbePlatform();
  }
};

TEST_F(MemoryListSources, WithoutDriverEveryListIsEmptyStopsWatchingAndSaysSo) {
  StartLog();
  Machine("no-driver.json");
  for (const ListCase& c : kLists) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    auto list = c.make();
    EXPECT_NE(list->Update(nullptr), 0u);
    EXPECT_EQ(list->GetCount(), 0u);
    EXPECT_FALSE(list->WatchesEvents());
    EXPECT_TRUE(Logged(L"[Information] QZWmiMemory.DLL!" + std::wstring(c.name) +
                       L"::RebuildList| Health (or MQZ) driver not found\r\n"));
  }
}

TEST_F(MemoryListSources, DataStoreWithoutDataEmptiesABuiltListThatKeepsWatching) {
  for (const ListCase& c : kLists) {
    if (!c.emptiedWithoutStoreData) continue;
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    auto list = c.make();
    Machine("default.json");
    EXPECT_NE(list->Update(nullptr), 0u);
    EXPECT_NE(list->GetCount(), 0u);
    // The store's counter is unreadable before the store moves it, so this Update rebuilds.
    Machine("store-not-ready.json");
    EXPECT_NE(list->Update(nullptr), 0u);
    EXPECT_EQ(list->GetCount(), 0u);
    EXPECT_TRUE(list->WatchesEvents());
  }
}

}  // namespace
