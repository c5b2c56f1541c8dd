// The memory associations: every class on the default server through its provider, the pairings
// that tags decide, what a missing driver or missing memory data leaves, and the two update rules.
#include "logical/QZMemoryAssociationProvs.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <functional>
#include <memory>
#include <string>

#include "support/CommonLog.h"
#include "tests/support/SourcesFixture.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/repository.h"

namespace {

using qztest::Describe;

const std::wstring kServer = L"\\\\QZ-SERVER\\root\\VXN:";
const std::wstring kComputer =
    kServer + L"QZ_WinComputerSystem.CreationClassName=\"QZ_WinComputerSystem\",Name=\"qz-server.example.net\"";
const std::wstring kChassis =
    kServer + L"QZ_ComputerSystemChassis.CreationClassName=\"QZ_ComputerSystemChassis\",Tag=\"Chassis 0\"";
const std::wstring kCollection = kServer + L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:001\"";
const std::wstring kRedundancySet = kServer + L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"";
const std::wstring kSystemMemory = kServer +
                                   L"QZ_WinMemory.CreationClassName=\"QZ_WinMemory\",DeviceID=\"VXN:QZ_WinMemory:001\","
                                   L"SystemCreationClassName=\"QZ_WinComputerSystem\",SystemName=\"qz-server.example.net\"";

// The full path of an element of `cls` with the tag's numbers.
std::wstring Element(const std::wstring& cls, const std::wstring& numbers) {
  return kServer + cls + L".CreationClassName=\"" + cls + L"\",Tag=\"VXN:" + cls + L":" + numbers + L"\"";
}
std::wstring Module(const std::wstring& numbers) { return Element(L"QZ_MemoryModule", numbers); }
std::wstring Board(const std::wstring& numbers) { return Element(L"QZ_MemoryBoard", numbers); }
std::wstring ModuleSlot(const std::wstring& numbers) { return Element(L"QZ_MemoryModuleSlot", numbers); }
std::wstring BoardSlot(const std::wstring& numbers) { return Element(L"QZ_MemoryBoardSlot", numbers); }

// An instance path naming both references, quoted the way the path parser reads them back.
std::wstring PairPath(const ProviderDescription& d, const std::wstring& first, const std::wstring& second) {
  auto quote = [](const std::wstring& text) {
    std::wstring out = L"\"";
    for (WCHAR ch : text) {
      if (ch == L'\\' || ch == L'"') out += L'\\';
      out += ch;
    }
    return out + L"\"";
  };
  return std::wstring(d.className) + L"." + d.keys[0].name + L"=" + quote(first) + L"," + d.keys[1].name + L"=" +
         quote(second);
}

template <class T>
std::function<CQZInstanceProvider*()> Make() {
  return [] { return new T; };
}

class MemoryAssociationProviders : public qztest::SourcesTest {
 protected:
  void SetUp() override {
    SourcesTest::SetUp();
    char error[512] = {};
    ASSERT_EQ(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, error, sizeof error), WBEM_S_NO_ERROR)
        << error;
    LoadFile("default.json");
    g_MemAmpChecker.ProbePlatform();
    ASSERT_EQ(qz::wbem::CreateServices(L"root\\VXN", &ns), WBEM_S_NO_ERROR);
  }
  void TearDown() override {
    if (ns) ns->Release();
    SourcesTest::TearDown();
  }

  IWbemServices* ns = nullptr;
};

TEST_F(MemoryAssociationProviders, DefaultServerPairsAndLookups) {
  struct Case {
    std::function<CQZInstanceProvider*()> make;
    size_t count;
    size_t index;  // of the pair checked
    std::wstring first, second;
  } cases[] = {
      {Make<CQZHostedMemoryCollectionProv>(), 1, 0, kComputer, kCollection},
      // Twelve modules come before the two boards.
      {Make<CQZMemberOfMemoryCollectionProv>(), 14, 12, kCollection, Board(L"1")},
      {Make<CQZMemberOfMemoryRedundancySetProv>(), 2, 1, kRedundancySet, Board(L"2")},
      {Make<CQZHostedMemoryRedundancySetProv>(), 1, 0, kComputer, kRedundancySet},
      {Make<CQZRealizesMemoryModuleProv>(), 12, 6, Module(L"2-1"), kSystemMemory},
      {Make<CQZMemoryModuleInSlotProv>(), 12, 11, ModuleSlot(L"2-6"), Module(L"2-6")},
      {Make<CQZMemoryBoardInSlotProv>(), 2, 1, BoardSlot(L"2"), Board(L"2")},
      {Make<CQZMemoryModuleSlotOnBoardProv>(), 16, 8, Board(L"2"), ModuleSlot(L"2-1")},
      {Make<CQZSystemMemoryModuleSlotProv>(), 16, 15, kChassis, ModuleSlot(L"2-8")},
      {Make<CQZSystemMemoryBoardSlotProv>(), 2, 0, kChassis, BoardSlot(L"1")},
  };
  for (const Case& c : cases) {
    CQZInstanceProvider* provider = c.make();
    const ProviderDescription& d = provider->Description();
    SCOPED_TRACE(std::string(d.providerName, d.providerName + wcslen(d.providerName)));
    qztest::TestInitSink init;
    ASSERT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);

    qztest::TestSink sink;
    EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
    ASSERT_EQ(sink.objects.size(), c.count);
    EXPECT_EQ(Describe(sink.objects[c.index], d.keys[0].name), L"bstr:" + c.first);
    EXPECT_EQ(Describe(sink.objects[c.index], d.keys[1].name), L"bstr:" + c.second);

    // A reference must be named exactly as enumeration gives it, server prefix included.
    const std::wstring withoutServer = c.first.substr(c.first.find(L"root\\VXN:"));
    const struct {
      std::wstring path;
      HRESULT result;
    } lookups[] = {
        {PairPath(d, c.first, c.second), WBEM_S_NO_ERROR},
        {PairPath(d, withoutServer, c.second), WBEM_E_NOT_FOUND},
    };
    for (const auto& lookup : lookups) {
      qztest::TestSink found;
      BSTR text = SysAllocString(lookup.path.c_str());
      EXPECT_EQ(provider->GetObjectAsync(text, 0, nullptr, &found), lookup.result);
      SysFreeString(text);
      EXPECT_EQ(found.indicates, lookup.result == WBEM_S_NO_ERROR ? 1 : 0);
    }
    provider->Release();
  }
}

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

TEST_F(MemoryAssociationLists, MissingSourcesLeaveListsEmpty) {
  const struct {
    const char* name;
    ListFactory make;
    size_t smbiosOnlyCount;  // a driver without memory data
  } lists[] = {
      {"CQZHostedMemoryCollectionList", List<CQZHostedMemoryCollectionList>(), 1},
      {"CQZMemberOfMemoryRedundancySetList", List<CQZMemberOfMemoryRedundancySetList>(), 0},
      {"CQZHostedMemoryRedundancySetList", List<CQZHostedMemoryRedundancySetList>(), 0},
      {"CQZMemberOfMemoryCollectionList", List<CQZMemberOfMemoryCollectionList>(), 6},
      {"CQZRealizesMemoryModuleList", List<CQZRealizesMemoryModuleList>(), 6},
      {"CQZMemoryModuleInSlotList", List<CQZMemoryModuleInSlotList>(), 6},
      {"CQZMemoryBoardInSlotList", List<CQZMemoryBoardInSlotList>(), 0},
      {"CQZMemoryModuleSlotOnBoardList", List<CQZMemoryModuleSlotOnBoardList>(), 0},
      {"CQZSystemMemoryModuleSlotList", List<CQZSystemMemoryModuleSlotList>(), 8},
      {"CQZSystemMemoryBoardSlotList", List<CQZSystemMemoryBoardSlotList>(), 0},
  };
  Start("smbios-only.json");
  for (const auto& l : lists) {
    SCOPED_TRACE(l.name);
    auto list = l.make();
    EXPECT_NE(list->Update(nullptr), 0u);
    EXPECT_EQ(list->GetCount(), l.smbiosOnlyCount);
  }

  qztest::SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogLevel", 2);
  g_CommonLog.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
  Start("no-driver.json");
  for (const auto& l : lists) {
    SCOPED_TRACE(l.name);
    auto list = l.make();
    EXPECT_NE(list->Update(nullptr), 0u);
    EXPECT_EQ(list->GetCount(), 0u);
    EXPECT_FALSE(list->WatchesEvents());
  }
  const std::wstring log = qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log");
  for (const auto& l : lists) {
    const std::wstring line = L"[Information] QZWmiMemory.DLL!" + std::wstring(l.name, l.name + strlen(l.name)) +
                              L"::RebuildList| Health (or MQZ) driver not found\r\n";
    EXPECT_NE(log.find(line), std::wstring::npos) << l.name;
  }
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
SwitchedList& First() {
  static SwitchedList list;
  return list;
}
SwitchedList& Second() {
  static SwitchedList list;
  return list;
}
CQZList& FirstList() { return First(); }
CQZList& SecondList() { return Second(); }

const AssociationListDescription kCountingDescription = {
    L"CQZCountingList", false, AssociationUpdate::FollowsEvents, {&FirstList, &SecondList}};

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
  First().valid = false;
  const DWORD secondGeneration = Second().Generation();
  qztest::SetRegDword(kEventKey, L"QZ_MemoryEvent", 6);
  EXPECT_EQ(pairs.Update(nullptr), 2u);
  EXPECT_EQ(Second().Generation(), secondGeneration);
  EXPECT_EQ(pairs.GetAt(0)->GetSecond(), L"1");
  EXPECT_EQ(pairs.LastEventCount(), 6u);

  First().valid = true;
  EXPECT_EQ(pairs.Update(nullptr), 2u);
  qztest::SetRegDword(kEventKey, L"QZ_MemoryEvent", 7);
  EXPECT_EQ(pairs.Update(nullptr), 3u);
  EXPECT_EQ(pairs.GetAt(0)->GetSecond(), L"2");
}

}  // namespace
