// The memory redundancy set provider: the form of every property against the module's MOF, what a
// failing put stops, and enumeration and lookup by path over the bundled servers.
#include "logical/QZMemoryRedundancySetProv.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <optional>
#include <string>

#include "logical/EventCounters.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"
#include "support/CommonLog.h"
#include "tests/support/SystemFixture.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/repository.h"

namespace {

using qztest::Describe;

CQZMemoryRedundancySet FullRecord() {
  CQZMemoryRedundancySet r;
  r.SetAvailableMemory(0xFFFFFFFF);
  r.SetCaption(L"c");
  r.SetConfigurationsAvailable({L"Mirrored", L"RAID"});
  r.SetCurrentConfiguration(L"RAID");
  r.SetDescription(L"d");
  r.SetElementName(L"e");
  r.SetInstanceId(kMemoryRedundancySetInstanceId);
  r.SetOperatingSpeed(1333);
  r.SetOtherTypeOfSet({L"Lockstep"});
  r.SetRedundancyStatus(3);
  r.SetTargetConfiguration(L"Online Spare");
  r.SetTotalMemory(81920);
  r.SetTypeOfSet({0xFFFF});
  return r;
}

class MemoryRedundancySetProvider : public qztest::SystemTest {
 protected:
  void SetUp() override {
    g_bHealthDriverPresent = g_bAmpStatusValid = g_bProcessorBoardMemory = g_bDriverMemoryData = false;
    g_bPrimaryDriverDevice = true;
    g_SmbiosTable.Unload();
    qztest::SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogLevel", 2);
    g_CommonLog.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
    char error[512] = {};
    ASSERT_EQ(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, error, sizeof error), WBEM_S_NO_ERROR)
        << error;
  }
  void TearDown() override {
    if (provider) provider->Release();
    if (ns) ns->Release();
    g_SmbiosTable.Unload();
    qztest::SystemTest::TearDown();
  }
  void Start(const char* machine) {
    char error[512] = {};
    ASSERT_TRUE(QzLoadMachine((std::string(QZ_MACHINES_DIR) + "/" + machine).c_str(), error, sizeof error)) << error;
    // The static list outlives the provider objects and, once built, waits for a memory event.
    AdvanceEventCounters();
    ASSERT_EQ(qz::wbem::CreateServices(L"root\\VXN", &ns), WBEM_S_NO_ERROR);
    provider = new CQZMemoryRedundancySetProv;
    qztest::TestInitSink init;
    ASSERT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
  }
  // An instance of the module's class, or of a copy of it without the property `without`.
  static IWbemClassObject* SpawnInstance(const std::wstring& without = L"") {
    qz::wbem::Repository& repository = qz::wbem::Repository::Instance();
    IWbemClassObject* cls = nullptr;
    EXPECT_EQ(repository.GetClass(L"root\\VXN", kMemoryRedundancySetClass, &cls), WBEM_S_NO_ERROR);
    if (!cls) return nullptr;
    if (!without.empty()) {
      qz::wbem::ClassBuilder builder(L"QZ_RedundancySetWithout");
      BSTR name = nullptr;
      CIMTYPE type = 0;
      cls->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
      while (cls->Next(0, &name, nullptr, &type, nullptr) == WBEM_S_NO_ERROR) {
        if (without != name) builder.AddProperty(name, type);
        SysFreeString(name);
      }
      cls->Release();
      const auto def = builder.Build();
      EXPECT_TRUE(def);
      if (!def) return nullptr;
      EXPECT_EQ(repository.PutClass(L"root\\VXN", *def), WBEM_S_NO_ERROR);
      cls = nullptr;
      EXPECT_EQ(repository.GetClass(L"root\\VXN", L"QZ_RedundancySetWithout", &cls), WBEM_S_NO_ERROR);
      if (!cls) return nullptr;
    }
    IWbemClassObject* instance = nullptr;
    EXPECT_EQ(cls->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
    cls->Release();
    return instance;
  }

  IWbemServices* ns = nullptr;
  CQZMemoryRedundancySetProv* provider = nullptr;
};

TEST_F(MemoryRedundancySetProvider, FillPutsEveryPropertyInTheServicesForm) {
  IWbemClassObject* instance = SpawnInstance();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(CQZMemoryRedundancySetProv::FillRecord(instance, FullRecord()), WBEM_S_NO_ERROR);
  struct Case {
    const WCHAR* name;
    const WCHAR* value;
  } cases[] = {
      {L"AvailableMemory", L"i4:-1"},
      {L"Caption", L"bstr:c"},
      {L"ConfigurationsAvailable", L"bstr[Mirrored,RAID]"},
      {L"CurrentConfiguration", L"bstr:RAID"},
      {L"Description", L"bstr:d"},
      {L"ElementName", L"bstr:e"},
      {L"InstanceID", L"bstr:VXN:QZ_MemoryRedundancySet:001"},
      {L"OperatingSpeed", L"i4:1333"},
      {L"OtherTypeOfSet", L"bstr[Lockstep]"},
      {L"RedundancyStatus", L"i4:3"},
      {L"TargetConfiguration", L"bstr:Online Spare"},
      {L"TotalMemory", L"i4:81920"},
      {L"TypeOfSet", L"i4[65535]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Describe(instance, c.name), c.value) << c.name;
  instance->Release();
}

TEST_F(MemoryRedundancySetProvider, FirstFailingPutStopsTheFill) {
  struct Case {
    const WCHAR* missing;
    const WCHAR* lastPut;
    const WCHAR* firstSkipped;
  } cases[] = {
      {L"AvailableMemory", nullptr, L"Caption"},
      {L"InstanceID", L"ElementName", L"OperatingSpeed"},
      {L"TotalMemory", L"TargetConfiguration", L"TypeOfSet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.missing, c.missing + wcslen(c.missing)));
    IWbemClassObject* instance = SpawnInstance(c.missing);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(CQZMemoryRedundancySetProv::FillRecord(instance, FullRecord()), WBEM_E_FAILED);
    if (c.lastPut) {
      EXPECT_NE(Describe(instance, c.lastPut), L"null");
    }
    EXPECT_EQ(Describe(instance, c.firstSkipped), L"null");
    instance->Release();
  }
}

TEST_F(MemoryRedundancySetProvider, EnumeratesTheProtectionOfTheBundledServers) {
  struct Case {
    const char* machine;
    const WCHAR* property;
    const WCHAR* value;
  } cases[] = {
      {"default.json", L"__RELPATH", L"bstr:QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\""},
      {"default.json", L"ConfigurationsAvailable", L"bstr[RAID]"},  // the first-choice device
      {"default.json", L"TypeOfSet", L"i4[1]"},
      {"default.json", L"OtherTypeOfSet", L"bstr[Advanced ECC]"},
      {"default.json", L"RedundancyStatus", L"i4:3"},  // module 2-3 is degraded
      {"processor-boards.json", L"CurrentConfiguration", L"bstr:Lockstep"},
      {"processor-boards.json", L"OtherTypeOfSet", L"bstr[Lockstep]"},
      {"processor-boards.json", L"RedundancyStatus", L"i4:2"},
      {"mirrored-fallback.json", L"ConfigurationsAvailable", L"bstr[Mirrored,RAID,Lockstep]"},
      {"mirrored-fallback.json", L"TargetConfiguration", L"bstr:Mirrored"},
      {"mirrored-fallback.json", L"CurrentConfiguration", L"bstr:Mirrored"},
      {"mirrored-fallback.json", L"TypeOfSet", L"i4[3]"},
      {"mirrored-fallback.json", L"OtherTypeOfSet", L"null"},
      {"mirrored-fallback.json", L"RedundancyStatus", L"i4:3"},
      {"mirrored-fallback.json", L"AvailableMemory", L"i4:8192"},
      {"mirrored-fallback.json", L"TotalMemory", L"i4:16384"},
  };
  const char* loaded = nullptr;
  std::optional<qztest::TestSink> sink;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    if (!loaded || std::string(loaded) != c.machine) {
      sink.reset();
      if (provider) provider->Release();
      if (ns) ns->Release();
      provider = nullptr;
      ns = nullptr;
      Start(c.machine);
      loaded = c.machine;
      sink.emplace();
      EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &*sink), WBEM_S_NO_ERROR);
    }
    ASSERT_EQ(sink->objects.size(), 1u);
    EXPECT_EQ(Describe(sink->objects[0], c.property), c.value);
  }
  const std::wstring log = qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log");
  EXPECT_NE(log.find(L"CQZMemoryRedundancySetProv::FillInstance| Entering\r\n"), std::wstring::npos);
  EXPECT_NE(log.find(L"CQZMemoryRedundancySetProv::CreateInstanceEnumAsync| Returning 1 instances\r\n"),
            std::wstring::npos);
}

TEST_F(MemoryRedundancySetProvider, WithoutDriverEnumeratesNothingSuccessfully) {
  Start("no-driver.json");
  qztest::TestSink sink;
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.statuses, 1);
  EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.indicates, 0);
}

TEST_F(MemoryRedundancySetProvider, LookupByPath) {
  struct Case {
    const char* machine;
    const WCHAR* path;
    HRESULT result;
  } cases[] = {
      {"default.json", L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_S_NO_ERROR},
      {"default.json", L"qz_memoryredundancyset.instanceid=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_S_NO_ERROR},
      {"default.json", L"QZ_MemoryRedundancySet.InstanceID=\"vxn:qz_memoryredundancyset:001\"", WBEM_E_NOT_FOUND},
      {"default.json", L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:002\"", WBEM_E_NOT_FOUND},
      {"default.json", L"QZ_MemoryRedundancySet.Caption=\"Memory Redundancy Set\"", WBEM_E_NOT_FOUND},
      {"default.json", L"QZ_MemoryRedundancySet", WBEM_E_INVALID_PARAMETER},
      {"default.json", L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_E_INVALID_PARAMETER},
      {"default.json", L"QZ_MemoryRedundancySet.InstanceID=\"VXN:", WBEM_E_INVALID_PARAMETER},
      {"no-driver.json", L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_E_NOT_FOUND},
  };
  const char* loaded = nullptr;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
    if (!loaded || std::string(loaded) != c.machine) {
      if (provider) provider->Release();
      if (ns) ns->Release();
      provider = nullptr;
      ns = nullptr;
      Start(c.machine);
      loaded = c.machine;
    }
    qztest::TestSink sink;
    BSTR path = SysAllocString(c.path);
    EXPECT_EQ(provider->GetObjectAsync(path, 0, nullptr, &sink), c.result);
    SysFreeString(path);
    EXPECT_EQ(sink.indicates, c.result == WBEM_S_NO_ERROR ? 1 : 0);
    EXPECT_EQ(sink.statuses, c.result == WBEM_S_NO_ERROR ? 1 : 0);
    if (c.result == WBEM_S_NO_ERROR) {
      ASSERT_EQ(sink.objects.size(), 1u);
      EXPECT_EQ(Describe(sink.objects[0], L"CurrentConfiguration"), L"bstr:Advanced ECC");
    }
  }
}

}  // namespace
