// The provider pattern: initialisation, refusals, the cached enumeration and its generations.
#include "framework/InstanceProvider.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/SourcesFixture.h"
#include "tests/support/WbemDoubles.h"

namespace {

using qztest::TestInitSink;
using qztest::TestSink;

struct TestRecord {
  std::wstring tag;
  DWORD number = 0;
};

// A list whose sources the test controls.
class TestList : public CQZRecordList<TestRecord> {
 public:
  int rebuilds = 0;
  bool failRebuild = false;
  bool watch = false;
  std::vector<std::wstring> tags = {L"VXN:Test:0-1", L"VXN:Test:0-2"};

 protected:
  bool RebuildList(IWbemContext*) override {
    ++rebuilds;
    m_bWatchEvents = FALSE;
    ClearRecords();
    if (failRebuild) return false;
    for (size_t i = 0; i < tags.size(); ++i) {
      TestRecord& record = AddRecord();
      record.tag = tags[i];
      record.number = static_cast<DWORD>(i);
    }
    m_bWatchEvents = watch ? TRUE : FALSE;
    return true;
  }
};

const KeyDescription kTestKeys[] = {{L"Tag", KeyMatch::Record, nullptr},
                                    {L"CreationClassName", KeyMatch::Fixed, L"QZ_Test"}};
const ProviderDescription kTestDescription = {L"QZ_Test", L"CQZTestProv", nullptr, false, 0x8, kTestKeys, 2, false};

class TestProvider : public CQZInstanceProvider {
 public:
  TestList list;
  int failFillAt = -1;
  int fills = 0;

  TestProvider() : CQZInstanceProvider(kTestDescription) {}

 protected:
  CQZList& List() override { return list; }
  HRESULT FillInstance(IWbemClassObject* instance, DWORD index) override {
    ++fills;
    if (static_cast<int>(index) == failFillAt) return WBEM_E_TYPE_MISMATCH;
    const TestRecord* record = list.GetAt(index);
    HRESULT hr = qztest::PutString(instance, L"Tag", record->tag);
    if (SUCCEEDED(hr)) hr = qztest::PutString(instance, L"CreationClassName", L"QZ_Test");
    if (SUCCEEDED(hr)) hr = qztest::PutI4(instance, L"Number", static_cast<LONG>(record->number));
    return hr;
  }
  const WCHAR* GetRecordKey(DWORD index, size_t) override { return list.GetAt(index)->tag.c_str(); }
};

class ProviderTest : public qztest::SourcesTest {
 protected:
  void SetUp() override {
    qztest::SourcesTest::SetUp();
    StartLog();
    ns = qztest::MakeTestNamespace();
    provider = new TestProvider;
  }
  void TearDown() override {
    if (provider) provider->Release();
    if (ns) ns->Release();
    qztest::SourcesTest::TearDown();
  }
  void Initialize() {
    TestInitSink init;
    ASSERT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
    ASSERT_EQ(init.calls, 1);
  }
  HRESULT Enumerate(TestSink* sink) { return provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, sink); }

  IWbemServices* ns = nullptr;
  TestProvider* provider = nullptr;
};

TEST_F(ProviderTest, InitializeReportsToItsSinkOnceOrRefuses) {
  TestInitSink init;
  EXPECT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, nullptr, nullptr, &init), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
  IWbemServices* empty = qztest::MakeEmptyNamespace();
  EXPECT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, empty, nullptr, &init), WBEM_E_FAILED);
  empty->Release();
  EXPECT_EQ(init.calls, 0);

  EXPECT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
  EXPECT_EQ(init.calls, 1);
  EXPECT_EQ(init.status, WBEM_S_INITIALIZED);
  EXPECT_TRUE(Logged(L"[Verbose] QZWmiMemory.DLL!CQZTestProv::Initialize| Entering\r\n"));
}

TEST_F(ProviderTest, WritesAndQueriesAreRefusedWithoutTouchingTheSink) {
  Initialize();
  TestSink sink;
  struct {
    const char* name;
    HRESULT result;
    HRESULT expected;
  } cases[] = {
      {"PutInstanceAsync", provider->PutInstanceAsync(nullptr, 0, nullptr, &sink), WBEM_E_PROVIDER_NOT_CAPABLE},
      {"DeleteInstanceAsync", provider->DeleteInstanceAsync(nullptr, 0, nullptr, &sink), WBEM_E_PROVIDER_NOT_CAPABLE},
      {"ExecQueryAsync", provider->ExecQueryAsync(nullptr, nullptr, 0, nullptr, &sink), WBEM_E_NOT_SUPPORTED},
      {"CreateInstanceEnum", provider->CreateInstanceEnum(nullptr, 0, nullptr, nullptr), WBEM_E_NOT_SUPPORTED},
      {"GetObject", provider->GetObject(nullptr, 0, nullptr, nullptr, nullptr), WBEM_E_NOT_SUPPORTED},
      {"ExecMethodAsync", provider->ExecMethodAsync(nullptr, nullptr, 0, nullptr, nullptr, &sink),
       WBEM_E_NOT_SUPPORTED},
  };
  for (const auto& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;
  EXPECT_EQ(sink.indicates, 0);
  EXPECT_EQ(sink.statuses, 0);
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(provider->GetObjectAsync(nullptr, 0, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST_F(ProviderTest, EnumerationIndicatesAllInstancesOnceAndLogsTheCount) {
  Initialize();
  struct Case {
    std::vector<std::wstring> tags;
    int indicates;
  } cases[] = {{{L"VXN:Test:0-1", L"VXN:Test:0-2"}, 1}, {{}, 0}};
  for (const Case& c : cases) {
    provider->list.tags = c.tags;
    TestSink sink;
    EXPECT_EQ(Enumerate(&sink), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink.indicates, c.indicates);
    ASSERT_EQ(sink.objects.size(), c.tags.size());
    EXPECT_EQ(sink.statuses, 1);
    EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
    EXPECT_TRUE(Logged(L"[Information] QZWmiMemory.DLL!CQZTestProv::CreateInstanceEnumAsync| Returning " +
                       std::to_wstring(c.tags.size()) + L" instances\r\n"));
  }
}

TEST_F(ProviderTest, FailedRebuildFailsTheRequestAndTheNextOneTriesAgain) {
  Initialize();
  provider->list.failRebuild = true;
  TestSink first;
  EXPECT_EQ(Enumerate(&first), WBEM_E_FAILED);
  EXPECT_EQ(first.status, WBEM_E_FAILED);
  EXPECT_EQ(first.indicates, 0);
  EXPECT_EQ(provider->list.Generation(), 0u);
  EXPECT_TRUE(Logged(L"[Error] QZWmiMemory.DLL!CQZTestProv::CreateInstanceEnumAsync| Cannot return instances\r\n"));
  provider->list.failRebuild = false;
  TestSink second;
  EXPECT_EQ(Enumerate(&second), WBEM_S_NO_ERROR);
  EXPECT_EQ(provider->list.rebuilds, 2);
  EXPECT_EQ(provider->list.Generation(), 2u);
}

// While the list watches an event counter that stands, enumerations and lookups hand out the
// cached instances; a failed Indicate still leaves a fresh cache behind.
TEST_F(ProviderTest, WatchedListKeepsItsInstancesWhileTheCounterStands) {
  Initialize();
  provider->list.watch = true;
  const WCHAR* key = L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication";
  qztest::SetRegDword(key, L"QZ_MemoryEvent", 7);
  TestSink first, second, third;
  Enumerate(&first);   // no watch yet: rebuilds and starts watching
  Enumerate(&second);  // counter 7 is new to the list: rebuilds once more
  Enumerate(&third);   // counter still 7: the cached instances
  EXPECT_EQ(provider->list.rebuilds, 2);
  EXPECT_EQ(provider->list.LastEventCount(), 7u);
  ASSERT_EQ(third.objects.size(), 2u);
  EXPECT_EQ(second.objects[0], third.objects[0]);
  IWbemClassObject* found = nullptr;
  ASSERT_EQ(provider->GetInstanceByPath(CComBSTR(L"QZ_Test.CreationClassName=\"QZ_Test\",Tag=\"VXN:Test:0-2\""), &found),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(found, second.objects[1]);
  found->Release();

  qztest::SetRegDword(key, L"QZ_MemoryEvent", 8);
  TestSink failing;
  failing.indicateResult = WBEM_E_CALL_CANCELLED;
  EXPECT_EQ(Enumerate(&failing), WBEM_E_CALL_CANCELLED);
  EXPECT_EQ(failing.status, WBEM_E_CALL_CANCELLED);
  EXPECT_EQ(provider->list.rebuilds, 3);
  const int fills = provider->fills;
  TestSink fourth;
  EXPECT_EQ(Enumerate(&fourth), WBEM_S_NO_ERROR);
  EXPECT_EQ(provider->fills, fills);
  EXPECT_EQ(provider->list.rebuilds, 3);
  ASSERT_EQ(fourth.objects.size(), 2u);
  EXPECT_NE(fourth.objects[0], third.objects[0]);
}

// Without the watch, or with a counter that cannot be read, every enumeration rebuilds and hands
// out new instances.
TEST_F(ProviderTest, UnwatchedListOrUnreadableCounterRebuildsEveryTime) {
  Initialize();
  const WCHAR* key = L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication";
  struct {
    const char* name;
    void (*set)(const WCHAR*);
    bool watch;
  } cases[] = {
      {"missing", [](const WCHAR*) {}, true},
      {"zero", [](const WCHAR* k) { qztest::SetRegDword(k, L"QZ_MemoryEvent", 0); }, true},
      {"string", [](const WCHAR* k) { qztest::SetRegString(k, L"QZ_MemoryEvent", L"5"); }, true},
      {"short", [](const WCHAR* k) { qztest::SetRegBinary(k, L"QZ_MemoryEvent", REG_DWORD, {5, 0}); }, true},
      {"not watching, counter readable", [](const WCHAR* k) { qztest::SetRegDword(k, L"QZ_MemoryEvent", 5); }, false},
  };
  for (const auto& c : cases) {
    provider->list.watch = c.watch;
    c.set(key);
    int before = provider->list.rebuilds;
    TestSink a, b;
    Enumerate(&a);
    Enumerate(&b);
    EXPECT_EQ(provider->list.rebuilds, before + 2) << c.name;
    ASSERT_EQ(b.objects.size(), 2u);
    EXPECT_NE(a.objects[0], b.objects[0]) << c.name;
  }
}

TEST_F(ProviderTest, FillFailureFailsTheRequestAndTheNextOneStartsOver) {
  Initialize();
  provider->list.tags = {L"a", L"b", L"c", L"d", L"e"};
  provider->list.watch = true;
  provider->failFillAt = 2;
  TestSink first;
  EXPECT_EQ(Enumerate(&first), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(first.status, WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(first.indicates, 0);
  EXPECT_EQ(provider->fills, 3);
  EXPECT_EQ(provider->Stamp(), 0u);
  provider->failFillAt = -1;
  TestSink second;
  EXPECT_EQ(Enumerate(&second), WBEM_S_NO_ERROR);
  EXPECT_EQ(provider->fills, 8);
  EXPECT_EQ(second.objects.size(), 5u);
}

TEST_F(ProviderTest, LookupByPathAcceptsAndRefuses) {
  Initialize();
  provider->list.tags = {L"VXN:Test:0-1", L"VXN:Test:0-2", L"VXN:Test:0-2"};
  struct {
    const WCHAR* path;
    HRESULT expected;
    DWORD number;  // of the record found
  } cases[] = {
      {L"QZ_Test.CreationClassName=\"QZ_Test\",Tag=\"VXN:Test:0-2\"", WBEM_S_NO_ERROR, 1},
      {L"\\\\HOST\\root\\VXN:QZ_Test.CreationClassName=\"QZ_Test\",Tag=\"VXN:Test:0-1\"", WBEM_S_NO_ERROR, 0},
      {L"qz_test.CreationClassName=\"QZ_Test\",Tag=\"VXN:Test:0-1\"", WBEM_S_NO_ERROR, 0},   // class name in any case
      {L"QZ_Test.CreationClassName=\"QZ_Test\",tag=\"VXN:Test:0-1\"", WBEM_S_NO_ERROR, 0},   // key name in any case
      {L"QZ_Test.CreationClassName=\"qz_test\",Tag=\"VXN:Test:0-1\"", WBEM_E_NOT_FOUND, 0},  // fixed text exact
      {L"QZ_Test.CreationClassName=\"QZ_Test\",Tag=\"vxn:test:0-1\"", WBEM_E_NOT_FOUND, 0},  // record text exact
      {L"QZ_Test.Tag=\"VXN:Test:0-1\"", WBEM_E_NOT_FOUND, 0},                                 // a key missing
      {L"QZ_Test.CreationClassName=\"QZ_Test\",Tag=5", WBEM_E_NOT_FOUND, 0},                  // not a string
      {L"QZ_Test", WBEM_E_INVALID_PARAMETER, 0},                                                 // no keys
      {L"QZ_MemoryBoard.Tag=\"VXN:Test:0-1\"", WBEM_E_INVALID_PARAMETER, 0},                   // another class
      {L"QZ_Test.Tag=\"open", WBEM_E_INVALID_PARAMETER, 0},                                     // does not parse
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
    const CComBSTR path(c.path);
    IWbemClassObject* found = reinterpret_cast<IWbemClassObject*>(0x1);
    EXPECT_EQ(provider->GetInstanceByPath(path, &found), c.expected);
    if (c.expected == WBEM_S_NO_ERROR && found) {
      CComVariant number;
      found->Get(L"Number", 0, &number, nullptr, nullptr);
      EXPECT_EQ(number.lVal, static_cast<LONG>(c.number));
      found->Release();
    } else {
      EXPECT_EQ(found, nullptr);
    }
    // The asynchronous lookup indicates a hit with its one status and leaves the sink alone otherwise.
    TestSink sink;
    EXPECT_EQ(provider->GetObjectAsync(path, 0, nullptr, &sink), c.expected);
    const int owed = c.expected == WBEM_S_NO_ERROR ? 1 : 0;
    EXPECT_EQ(sink.indicates, owed);
    EXPECT_EQ(sink.statuses, owed);
    if (owed) {
      EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
    }
  }
}

// The class information comes from the type library of the module that holds the provider; this
// test program carries none (the module's own test reads the coclasses back).
TEST_F(ProviderTest, ClassInfoNeedsTheTypeLibraryOfItsModule) {
  IProvideClassInfo* classInfo = nullptr;
  ASSERT_EQ(provider->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&classInfo)), S_OK);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
  EXPECT_EQ(classInfo->GetClassInfo(&info), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(classInfo->GetClassInfo(nullptr), E_POINTER);
  classInfo->Release();
}

TEST(ListGeneration, NextGenerationSkipsZeroAndOneAndWrapsAtThirtyTwoBits) {
  struct {
    DWORD from;
    DWORD to;
  } cases[] = {{0, 2}, {1, 2}, {2, 3}, {0xFFFFFFFE, 0xFFFFFFFF}, {0xFFFFFFFF, 0}};
  for (const auto& c : cases) EXPECT_EQ(CQZList::NextGeneration(c.from), c.to) << c.from;
}

}  // namespace
