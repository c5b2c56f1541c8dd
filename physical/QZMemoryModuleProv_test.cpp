// The memory module provider: the form and order of every property it puts, what a failing put
// stops, and enumeration and lookup by path over the bundled servers.
#include "physical/QZMemoryModuleProv.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "logical/ComputerSystem.h"
#include "sources/SmbiosTable.h"
#include "support/CommonLog.h"
#include "tests/support/SystemFixture.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/repository.h"

namespace {

struct PropertyType {
  const WCHAR* name;
  CIMTYPE type;
};

// The class as the module's MOF declares it; `without` leaves one property out.
constexpr PropertyType kProperties[] = {
    {L"BankLabel", CIM_STRING},          {L"Capacity", CIM_UINT64},
    {L"Caption", CIM_STRING},            {L"DataWidth", CIM_UINT16},
    {L"Description", CIM_STRING},        {L"ElementName", CIM_STRING},
    {L"FormFactor", CIM_UINT16},         {L"HealthState", CIM_UINT16},
    {L"InterleavePosition", CIM_UINT32}, {L"IsSpeedInMhz", CIM_BOOLEAN},
    {L"MaxMemorySpeed", CIM_UINT32},     {L"Manufacturer", CIM_STRING},
    {L"MemoryType", CIM_UINT16},         {L"Name", CIM_STRING},
    {L"OperationalStatus", CIM_UINT16 | CIM_FLAG_ARRAY},
    {L"PartNumber", CIM_STRING},         {L"PositionInRow", CIM_UINT32},
    {L"RemovalConditions", CIM_UINT16},  {L"SerialNumber", CIM_STRING},
    {L"Spd", CIM_UINT8 | CIM_FLAG_ARRAY}, {L"Speed", CIM_UINT32},
    {L"StatusDescriptions", CIM_STRING | CIM_FLAG_ARRAY},
    {L"TotalWidth", CIM_UINT16},
};

void DefineClasses(const std::wstring& without = L"") {
  qz::wbem::Repository& repository = qz::wbem::Repository::Instance();
  repository.CreateNamespace(L"root\\VXN");
  qz::wbem::ClassBuilder builder(kMemoryModuleClass);
  builder.AddKey(L"CreationClassName", CIM_STRING).AddKey(L"Tag", CIM_STRING);
  for (const PropertyType& p : kProperties)
    if (without != p.name) builder.AddProperty(p.name, p.type);
  const auto def = builder.Build();
  ASSERT_TRUE(def);
  ASSERT_EQ(repository.PutClass(L"root\\VXN", *def), WBEM_S_NO_ERROR);
  if (!repository.FindClass(L"root\\VXN", kComputerSystemClass)) {
    const auto system = qz::wbem::ClassBuilder(kComputerSystemClass)
                            .AddKey(L"CreationClassName", CIM_STRING)
                            .AddKey(L"Name", CIM_STRING)
                            .Build();
    ASSERT_TRUE(system);
    ASSERT_EQ(repository.PutClass(L"root\\VXN", *system), WBEM_S_NO_ERROR);
  }
}

IWbemClassObject* SpawnInstance() {
  IWbemClassObject* cls = nullptr;
  EXPECT_EQ(qz::wbem::Repository::Instance().GetClass(L"root\\VXN", kMemoryModuleClass, &cls), WBEM_S_NO_ERROR);
  IWbemClassObject* instance = nullptr;
  if (cls) {
    EXPECT_EQ(cls->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
  }
  if (cls) cls->Release();
  return instance;
}

using qztest::Describe;

CQZMemoryModule FullRecord() {
  CQZMemoryModule r;
  r.SetBankLabel(L"Board 2");
  r.SetCapacity(17179869184ull);
  r.SetCaption(L"Physical Memory Module 3 on Memory Board 2");
  r.SetDataWidth(64);
  r.SetDescription(L"d");
  r.SetElementName(L"e");
  r.SetFormFactor(8);
  r.SetHealthState(10);
  r.SetInterleavePosition(0xFFFFFFFF);
  r.SetIsSpeedInMhz(true);
  r.SetMaxMemorySpeed(2400);
  r.SetManufacturer(L"Vexon");
  r.SetMemoryType(24);
  r.SetName(L"n");
  r.SetOperationalStatus({2, 15});
  r.SetPartNumber(L"VX16G");
  r.SetPositionInRow(255);
  r.SetRemovalConditions(3);
  r.SetSerialNumber(L"5B02D003");
  r.SetSpd({});
  r.SetSpeed(0);
  r.SetStatusDescriptions({L"a", L"b"});
  r.SetTag(L"VXN:QZ_MemoryModule:2-3");
  r.SetTotalWidth(0xFFFF);
  r.SetObjectPath(L"\\\\HOST\\root\\VXN:x");
  return r;
}

class MemoryModuleProvider : public qztest::SystemTest {
 protected:
  void SetUp() override {
    g_bHealthDriverPresent = g_bAmpStatusValid = g_bProcessorBoardMemory = g_bDriverMemoryData = false;
    g_SmbiosTable.Unload();
    qztest::SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogLevel", 2);
    g_CommonLog.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
    DefineClasses();
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
    provider = new CQZMemoryModuleProv;
    qztest::TestInitSink init;
    ASSERT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
  }
  std::wstring Log() { return qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log"); }

  IWbemServices* ns = nullptr;
  CQZMemoryModuleProv* provider = nullptr;
};

TEST_F(MemoryModuleProvider, FillPutsEveryPropertyInTheServicesForm) {
  IWbemClassObject* instance = SpawnInstance();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(CQZMemoryModuleProv::FillRecord(instance, FullRecord()), WBEM_S_NO_ERROR);
  struct Case {
    const WCHAR* name;
    const WCHAR* value;
  } cases[] = {
      {L"BankLabel", L"bstr:Board 2"},
      {L"Capacity", L"bstr:17179869184"},
      {L"Caption", L"bstr:Physical Memory Module 3 on Memory Board 2"},
      {L"CreationClassName", L"bstr:QZ_MemoryModule"},
      {L"DataWidth", L"i4:64"},
      {L"Description", L"bstr:d"},
      {L"ElementName", L"bstr:e"},
      {L"FormFactor", L"i4:8"},
      {L"HealthState", L"i4:10"},
      {L"InterleavePosition", L"i4:-1"},
      {L"IsSpeedInMhz", L"bool:true"},
      {L"MaxMemorySpeed", L"i4:2400"},
      {L"Manufacturer", L"bstr:Vexon"},
      {L"MemoryType", L"i4:24"},
      {L"Name", L"bstr:n"},
      {L"OperationalStatus", L"i4[2,15]"},
      {L"PartNumber", L"bstr:VX16G"},
      {L"PositionInRow", L"i4:255"},
      {L"RemovalConditions", L"i4:3"},
      {L"SerialNumber", L"bstr:5B02D003"},
      {L"Spd", L"ui1[]"},
      {L"Speed", L"i4:0"},
      {L"StatusDescriptions", L"bstr[a,b]"},
      {L"Tag", L"bstr:VXN:QZ_MemoryModule:2-3"},
      {L"TotalWidth", L"i4:65535"},
  };
  for (const Case& c : cases) EXPECT_EQ(Describe(instance, c.name), c.value) << c.name;
  instance->Release();
}

TEST_F(MemoryModuleProvider, FillPutsOnlyWhatTheRecordHolds) {
  IWbemClassObject* instance = SpawnInstance();
  ASSERT_NE(instance, nullptr);
  CQZMemoryModule record;
  record.SetTag(L"VXN:QZ_MemoryModule:1-1");
  record.SetSpd({7, 255});
  EXPECT_EQ(CQZMemoryModuleProv::FillRecord(instance, record), WBEM_S_NO_ERROR);
  EXPECT_EQ(Describe(instance, L"CreationClassName"), L"bstr:QZ_MemoryModule");
  EXPECT_EQ(Describe(instance, L"Tag"), L"bstr:VXN:QZ_MemoryModule:1-1");
  EXPECT_EQ(Describe(instance, L"Spd"), L"ui1[7,255]");
  for (const PropertyType& p : kProperties) {
    if (std::wstring(p.name) == L"Spd") continue;
    EXPECT_EQ(Describe(instance, p.name), L"null") << p.name;
  }
  instance->Release();
}

TEST_F(MemoryModuleProvider, FirstFailingPutStopsTheFill) {
  struct Case {
    const WCHAR* missing;
    const WCHAR* lastPut;     // put before the failure
    const WCHAR* firstSkipped;  // not put after it
  } cases[] = {
      {L"Caption", L"Capacity", L"CreationClassName"},
      {L"DataWidth", L"CreationClassName", L"Description"},
      {L"Spd", L"SerialNumber", L"Speed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    DefineClasses(c.missing);
    IWbemClassObject* instance = SpawnInstance();
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(CQZMemoryModuleProv::FillRecord(instance, FullRecord()), WBEM_E_FAILED);
    EXPECT_NE(Describe(instance, c.lastPut), L"null");
    EXPECT_EQ(Describe(instance, c.firstSkipped), L"null");
    instance->Release();
  }
}

TEST_F(MemoryModuleProvider, EnumeratesTheDefaultServer) {
  Start("default.json");
  qztest::TestSink sink;
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.indicates, 1);
  ASSERT_EQ(sink.objects.size(), 12u);
  EXPECT_EQ(Describe(sink.objects[8], L"Tag"), L"bstr:VXN:QZ_MemoryModule:2-3");
  EXPECT_EQ(Describe(sink.objects[8], L"OperationalStatus"), L"i4[3,5]");
  EXPECT_EQ(Describe(sink.objects[8], L"Capacity"), L"bstr:8589934592");
  EXPECT_EQ(Describe(sink.objects[8], L"__RELPATH"),
            L"bstr:QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:2-3\"");
  const std::wstring log = Log();
  EXPECT_NE(log.find(L"CQZMemoryModuleProv::FillInstance| Entering\r\n"), std::wstring::npos);
  EXPECT_NE(log.find(L"[Information] QZWmiMemory.DLL!CQZMemoryModuleProv::CreateInstanceEnumAsync| Returning 12 instances\r\n"),
            std::wstring::npos);
}

TEST_F(MemoryModuleProvider, WithoutDriverEnumeratesNothingSuccessfully) {
  Start("no-driver.json");
  qztest::TestSink sink;
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.statuses, 1);
  EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.indicates, 0);
  EXPECT_NE(Log().find(L"CQZMemoryModuleProv::CreateInstanceEnumAsync| Returning 0 instances\r\n"), std::wstring::npos);
}

TEST_F(MemoryModuleProvider, LookupByPath) {
  Start("default.json");
  struct Case {
    const WCHAR* path;
    HRESULT result;
  } cases[] = {
      {L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:2-3\"", WBEM_S_NO_ERROR},
      {L"qz_memorymodule.tag=\"VXN:QZ_MemoryModule:2-3\",creationclassname=\"QZ_MemoryModule\"", WBEM_S_NO_ERROR},
      {L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryBoard\",Tag=\"VXN:QZ_MemoryModule:2-3\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryModule.CreationClassName=\"qz_memorymodule\",Tag=\"VXN:QZ_MemoryModule:2-3\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"vxn:qz_memorymodule:2-3\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:2-7\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryModule", WBEM_E_INVALID_PARAMETER},
      {L"QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"VXN:QZ_MemoryBoard:1\"", WBEM_E_INVALID_PARAMETER},
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
      EXPECT_EQ(Describe(sink.objects[0], L"SerialNumber"), L"bstr:3A02C003");
    }
  }
}

}  // namespace
