// Every memory list and its sources: without the health driver each is empty, stops watching for
// memory events and says so in the log; built, which of them watch for the next event; while the data store has no data a list built before is emptied but keeps watching, so
// that the store's first data rebuilds it.
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
  bool watchesOnSmbiosAlone;  // when the driver has no memory data
};

const ListCase kLists[] = {
    {L"CQZMemoryModuleList", Make<CQZMemoryModuleList>(), true, true},
    {L"CQZMemoryBoardList", Make<CQZMemoryBoardList>(), true, true},
    {L"CQZMemoryModuleSlotList", Make<CQZMemoryModuleSlotList>(), true, true},
    {L"CQZMemoryBoardSlotList", Make<CQZMemoryBoardSlotList>(), true, false},
    {L"CQZMemoryRedundancySetList", Make<CQZMemoryRedundancySetList>(), true, false},
    {L"CQZWinMemoryList", Make<CQZWinMemoryList>(), true, true},
    {L"CQZMemoryCollectionList", Make<CQZMemoryCollectionList>(), false, true},
    // The system memory pair names the computer and the extent, whatever the store holds.
    {L"CQZWinSystemMemoryList", Make<CQZWinSystemMemoryList>(), false, true},
    {L"CQZHostedMemoryCollectionList", Make<CQZHostedMemoryCollectionList>(), false, true},
    {L"CQZMemberOfMemoryRedundancySetList", Make<CQZMemberOfMemoryRedundancySetList>(), false, false},
    {L"CQZHostedMemoryRedundancySetList", Make<CQZHostedMemoryRedundancySetList>(), false, false},
    {L"CQZMemberOfMemoryCollectionList", Make<CQZMemberOfMemoryCollectionList>(), false, true},
    {L"CQZRealizesMemoryModuleList", Make<CQZRealizesMemoryModuleList>(), false, true},
    {L"CQZMemoryModuleInSlotList", Make<CQZMemoryModuleInSlotList>(), false, true},
    {L"CQZMemoryBoardInSlotList", Make<CQZMemoryBoardInSlotList>(), false, true},
    {L"CQZMemoryModuleSlotOnBoardList", Make<CQZMemoryModuleSlotOnBoardList>(), false, true},
    {L"CQZSystemMemoryModuleSlotList", Make<CQZSystemMemoryModuleSlotList>(), false, true},
    {L"CQZSystemMemoryBoardSlotList", Make<CQZSystemMemoryBoardSlotList>(), false, false},
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

// Once built every list watches for memory events on the driver's data; on SMBIOS alone the board
// slots, the redundancy set and their associations stop, while the (empty) board list watches on.
TEST_F(MemoryListSources, WhichBuiltListsWatchForMemoryEvents) {
  for (const std::string machine : {"default.json", "smbios-only.json"}) {
    Machine(machine.c_str());
    for (const ListCase& c : kLists) {
      SCOPED_TRACE(machine + " " + testing::PrintToString(std::wstring(c.name)));
      auto list = c.make();
      EXPECT_NE(list->Update(nullptr), 0u);
      EXPECT_EQ(list->WatchesEvents(), machine == "default.json" || c.watchesOnSmbiosAlone);
    }
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
