// The memory board provider: the form and order of the properties it puts against the module's
// class definition, what a failing put stops, and enumeration and lookup by path.
#include "physical/QZMemoryBoardProv.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "logical/ComputerSystem.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"
#include "support/CommonLog.h"
#include "tests/support/SystemFixture.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/repository.h"

namespace {

using qztest::Describe;

CQZMemoryBoard FullRecord() {
  CQZMemoryBoard r;
  r.SetAvailableMemory(0xFFFFFFFF);
  r.SetCaption(L"c");
  r.SetDescription(L"d");
  r.SetElementName(L"e");
  r.SetHealthState(20);
  r.SetHostingBoard(false);
  r.SetLocked(2);
  r.SetName(L"n");
  r.SetNumberOfSockets(12);
  r.SetOperationalStatus({6, 6});
  r.SetPackageType(9);
  r.SetRemovalConditions(4);
  r.SetStatusDescriptions({L"a", L"b"});
  r.SetTag(L"VXN:QZ_MemoryBoard:2");
  r.SetTotalMemory(40960);
  r.SetVendorCompatibilityStrings({L"VXN:QZ_MemoryBoard"});
  return r;
}

class MemoryBoardProvider : public qztest::SystemTest {
 protected:
  void SetUp() override {
    g_bHealthDriverPresent = g_bAmpStatusValid = g_bProcessorBoardMemory = g_bDriverMemoryData = false;
    g_SmbiosTable.Unload();
    qztest::SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogLevel", 2);
    g_CommonLog.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
    char error[512] = {};
    ASSERT_EQ(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, error, sizeof error), WBEM_S_NO_ERROR)
        << error;
    const auto system = qz::wbem::ClassBuilder(kComputerSystemClass)
                            .AddKey(L"CreationClassName", CIM_STRING)
                            .AddKey(L"Name", CIM_STRING)
                            .Build();
    ASSERT_TRUE(system);
    ASSERT_EQ(qz::wbem::Repository::Instance().PutClass(L"root\\VXN", *system), WBEM_S_NO_ERROR);
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
    ASSERT_EQ(qz::wbem::CreateServices(L"root\\VXN", &ns), WBEM_S_NO_ERROR);
    provider = new CQZMemoryBoardProv;
    qztest::TestInitSink init;
    ASSERT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
  }
  static IWbemClassObject* Spawn(const WCHAR* className) {
    IWbemClassObject* cls = nullptr;
    EXPECT_EQ(qz::wbem::Repository::Instance().GetClass(L"root\\VXN", className, &cls), WBEM_S_NO_ERROR);
    IWbemClassObject* instance = nullptr;
    if (cls) {
      EXPECT_EQ(cls->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
      cls->Release();
    }
    return instance;
  }

  IWbemServices* ns = nullptr;
  CQZMemoryBoardProv* provider = nullptr;
};

TEST_F(MemoryBoardProvider, FillPutsEveryPropertyInTheServicesForm) {
  IWbemClassObject* instance = Spawn(kMemoryBoardClass);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(CQZMemoryBoardProv::FillRecord(instance, FullRecord()), WBEM_S_NO_ERROR);
  struct Case {
    const WCHAR* name;
    const WCHAR* value;
  } cases[] = {
      {L"AvailableMemory", L"i4:-1"},
      {L"Caption", L"bstr:c"},
      {L"CreationClassName", L"bstr:QZ_MemoryBoard"},
      {L"Description", L"bstr:d"},
      {L"ElementName", L"bstr:e"},
      {L"HealthState", L"i4:20"},
      {L"HostingBoard", L"bool:false"},
      {L"Locked", L"i4:2"},
      {L"Name", L"bstr:n"},
      {L"NumberOfSockets", L"i4:12"},
      {L"OperationalStatus", L"i4[6,6]"},
      {L"PackageType", L"i4:9"},
      {L"RemovalConditions", L"i4:4"},
      {L"StatusDescriptions", L"bstr[a,b]"},
      {L"Tag", L"bstr:VXN:QZ_MemoryBoard:2"},
      {L"TotalMemory", L"i4:40960"},
      {L"VendorCompatibilityStrings", L"bstr[VXN:QZ_MemoryBoard]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Describe(instance, c.name), c.value) << c.name;
  instance->Release();
}

TEST_F(MemoryBoardProvider, FillPutsOnlyWhatTheRecordHoldsAndStopsAtTheFirstFailingPut) {
  // A module slot instance has Caption and Tag but no Locked: a record that holds Locked fails
  // there, after Caption and CreationClassName and before Tag.
  struct Case {
    bool locked;
    HRESULT result;
    const WCHAR* tag;
  } cases[] = {{false, WBEM_S_NO_ERROR, L"bstr:t"}, {true, WBEM_E_FAILED, L"null"}};
  for (const Case& c : cases) {
    IWbemClassObject* instance = Spawn(L"QZ_MemoryModuleSlot");
    ASSERT_NE(instance, nullptr);
    CQZMemoryBoard record;
    record.SetCaption(L"c");
    record.SetTag(L"t");
    if (c.locked) record.SetLocked(3);
    EXPECT_EQ(CQZMemoryBoardProv::FillRecord(instance, record), c.result);
    EXPECT_EQ(Describe(instance, L"Caption"), L"bstr:c");
    EXPECT_EQ(Describe(instance, L"CreationClassName"), L"bstr:QZ_MemoryBoard");
    EXPECT_EQ(Describe(instance, L"Tag"), c.tag);
    EXPECT_EQ(Describe(instance, L"Description"), L"null");
    instance->Release();
  }
}

TEST_F(MemoryBoardProvider, EnumeratesTheDefaultServer) {
  Start("default.json");
  qztest::TestSink sink;
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.statuses, 1);
  EXPECT_EQ(sink.indicates, 1);
  ASSERT_EQ(sink.objects.size(), 2u);
  EXPECT_EQ(Describe(sink.objects[1], L"__RELPATH"),
            L"bstr:QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"VXN:QZ_MemoryBoard:2\"");
  EXPECT_EQ(Describe(sink.objects[1], L"StatusDescriptions"),
            L"bstr[Memory board status: Degraded,Memory board status: Correctable error threshold for pre-failure "
            L"warranty has been exceeded]");
  const std::wstring log = qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log");
  EXPECT_NE(log.find(L"CQZMemoryBoardProv::FillInstance| Entering\r\n"), std::wstring::npos);
  EXPECT_NE(log.find(L"CQZMemoryBoardProv::CreateInstanceEnumAsync| Returning 2 instances\r\n"), std::wstring::npos);
}

TEST_F(MemoryBoardProvider, WithoutDriverMemoryDataEnumeratesNothingSuccessfully) {
  Start("smbios-only.json");
  qztest::TestSink sink;
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.statuses, 1);
  EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.indicates, 0);
}

TEST_F(MemoryBoardProvider, LookupByPath) {
  Start("default.json");
  struct Case {
    const WCHAR* path;
    HRESULT result;
  } cases[] = {
      {L"QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"VXN:QZ_MemoryBoard:2\"", WBEM_S_NO_ERROR},
      {L"qz_memoryboard.tag=\"VXN:QZ_MemoryBoard:2\",creationclassname=\"QZ_MemoryBoard\"", WBEM_S_NO_ERROR},
      {L"QZ_MemoryBoard.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryBoard:2\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryBoard.CreationClassName=\"qz_memoryboard\",Tag=\"VXN:QZ_MemoryBoard:2\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"vxn:qz_memoryboard:2\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"VXN:QZ_MemoryBoard:3\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryBoard.Tag=\"VXN:QZ_MemoryBoard:2\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryBoard", WBEM_E_INVALID_PARAMETER},
      {L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryBoard:2\"", WBEM_E_INVALID_PARAMETER},
      {L"QZ_MemoryBoard.Tag=\"unterminated", WBEM_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
    qztest::TestSink sink;
    BSTR path = SysAllocString(c.path);
    EXPECT_EQ(provider->GetObjectAsync(path, 0, nullptr, &sink), c.result);
    SysFreeString(path);
    EXPECT_EQ(sink.indicates, c.result == WBEM_S_NO_ERROR ? 1 : 0);
    EXPECT_EQ(sink.statuses, c.result == WBEM_S_NO_ERROR ? 1 : 0);
    if (c.result == WBEM_S_NO_ERROR) {
      ASSERT_EQ(sink.objects.size(), 1u);
      EXPECT_EQ(Describe(sink.objects[0], L"HealthState"), L"i4:10");
    }
  }
}

}  // namespace
