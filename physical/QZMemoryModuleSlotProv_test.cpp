// The two slot providers: the form and order of the properties they put against the module's
// class definitions, and enumeration and lookup by path on the board-states server.
#include "physical/QZMemoryModuleSlotProv.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "logical/ComputerSystem.h"
#include "physical/QZMemoryBoardSlotProv.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"
#include "support/CommonLog.h"
#include "tests/support/SystemFixture.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/repository.h"

namespace {

using qztest::Describe;

class SlotProviders : public qztest::SystemTest {
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
    char machineError[512] = {};
    ASSERT_TRUE(QzLoadMachine(QZ_MACHINES_DIR "/board-states.json", machineError, sizeof machineError)) << machineError;
    ASSERT_EQ(qz::wbem::CreateServices(L"root\\VXN", &ns), WBEM_S_NO_ERROR);
  }
  void TearDown() override {
    if (ns) ns->Release();
    g_SmbiosTable.Unload();
    qztest::SystemTest::TearDown();
  }
  // A provider of either class, initialised.
  template <class Provider>
  Provider* Start() {
    Provider* provider = new Provider;
    qztest::TestInitSink init;
    EXPECT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
    return provider;
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
};

TEST_F(SlotProviders, FillPutsEveryPropertyInTheServicesFormForBothClasses) {
  CQZSlotRecord record;
  record.SetCaption(L"c");
  record.SetConnectorDescription(L"cd");
  record.SetConnectorLayout(1);
  record.SetDescription(L"d");
  record.SetElementName(L"e");
  record.SetHealthState(5);
  record.SetName(L"n");
  record.SetNumber(65535);
  record.SetOperationalStatus({2});
  record.SetStatusDescriptions({L"ok"});
  record.SetTag(L"t");
  struct Case {
    const WCHAR* name;
    const WCHAR* value;
  } cases[] = {
      {L"Caption", L"bstr:c"},        {L"ConnectorDescription", L"bstr:cd"}, {L"ConnectorLayout", L"i4:1"},
      {L"Description", L"bstr:d"},    {L"ElementName", L"bstr:e"},          {L"HealthState", L"i4:5"},
      {L"Name", L"bstr:n"},           {L"Number", L"i4:65535"},             {L"OperationalStatus", L"i4[2]"},
      {L"StatusDescriptions", L"bstr[ok]"}, {L"Tag", L"bstr:t"},
  };
  for (const WCHAR* className : {L"QZ_MemoryModuleSlot", L"QZ_MemoryBoardSlot"}) {
    IWbemClassObject* instance = Spawn(className);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(FillSlotRecord(instance, record, className), WBEM_S_NO_ERROR);
    EXPECT_EQ(Describe(instance, L"CreationClassName"), L"bstr:" + std::wstring(className));
    for (const Case& c : cases) EXPECT_EQ(Describe(instance, c.name), c.value) << c.name;
    instance->Release();
  }
  // A memory board has no ConnectorDescription: the put that fails ends the fill before Tag.
  IWbemClassObject* board = Spawn(L"QZ_MemoryBoard");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(FillSlotRecord(board, record, L"QZ_MemoryModuleSlot"), WBEM_E_FAILED);
  EXPECT_EQ(Describe(board, L"Caption"), L"bstr:c");
  EXPECT_EQ(Describe(board, L"Description"), L"null");
  EXPECT_EQ(Describe(board, L"Tag"), L"null");
  board->Release();
}

TEST_F(SlotProviders, EnumerateTheBoardStatesServer) {
  struct Case {
    CQZInstanceProvider* provider;
    size_t count;
    size_t index;
    const WCHAR* relativePath;
    const WCHAR* log;
  } cases[] = {
      {Start<CQZMemoryModuleSlotProv>(), 8, 1,
       L"bstr:QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:0-2\"",
       L"CQZMemoryModuleSlotProv::CreateInstanceEnumAsync| Returning 8 instances\r\n"},
      {Start<CQZMemoryBoardSlotProv>(), 2, 1,
       L"bstr:QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryBoardSlot:2\"",
       L"CQZMemoryBoardSlotProv::CreateInstanceEnumAsync| Returning 2 instances\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    qztest::TestSink sink;
    EXPECT_EQ(c.provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink.statuses, 1);
    EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
    ASSERT_EQ(sink.objects.size(), c.count);
    EXPECT_EQ(Describe(sink.objects[c.index], L"__RELPATH"), c.relativePath);
    c.provider->Release();
    const std::wstring log = qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log");
    EXPECT_NE(log.find(c.log), std::wstring::npos);
  }
  const std::wstring log = qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log");
  EXPECT_NE(log.find(L"CQZMemoryModuleSlotProv::FillInstance| Entering\r\n"), std::wstring::npos);
  EXPECT_NE(log.find(L"CQZMemoryBoardSlotProv::FillInstance| Entering\r\n"), std::wstring::npos);
}

TEST_F(SlotProviders, LookupByPath) {
  CQZInstanceProvider* module = Start<CQZMemoryModuleSlotProv>();
  CQZInstanceProvider* board = Start<CQZMemoryBoardSlotProv>();
  struct Case {
    CQZInstanceProvider* provider;
    const WCHAR* path;
    HRESULT result;
  } cases[] = {
      {module, L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:1-4\"",
       WBEM_S_NO_ERROR},
      {module, L"qz_memorymoduleslot.TAG=\"VXN:QZ_MemoryModuleSlot:1-4\",creationClassName=\"QZ_MemoryModuleSlot\"",
       WBEM_S_NO_ERROR},
      {module, L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:1-4\"",
       WBEM_E_NOT_FOUND},
      {module, L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:2-1\"",
       WBEM_E_NOT_FOUND},  // board 2 is not fitted
      {module, L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"vxn:qz_memorymoduleslot:1-4\"",
       WBEM_E_NOT_FOUND},
      {module, L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\"", WBEM_E_NOT_FOUND},
      {module, L"QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryBoardSlot:2\"",
       WBEM_E_INVALID_PARAMETER},
      {module, L"QZ_MemoryModuleSlot", WBEM_E_INVALID_PARAMETER},
      {board, L"QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryBoardSlot:2\"",
       WBEM_S_NO_ERROR},
      {board, L"QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryBoardSlot:0\"",
       WBEM_E_NOT_FOUND},
      {board, L"QZ_MemoryBoardSlot.CreationClassName=\"qz_memoryboardslot\",Tag=\"VXN:QZ_MemoryBoardSlot:2\"",
       WBEM_E_NOT_FOUND},
      {board, L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:1-4\"",
       WBEM_E_INVALID_PARAMETER},
      {board, L"QZ_MemoryBoardSlot.Tag=", WBEM_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
    qztest::TestSink sink;
    BSTR path = SysAllocString(c.path);
    EXPECT_EQ(c.provider->GetObjectAsync(path, 0, nullptr, &sink), c.result);
    SysFreeString(path);
    EXPECT_EQ(sink.indicates, c.result == WBEM_S_NO_ERROR ? 1 : 0);
    EXPECT_EQ(sink.statuses, c.result == WBEM_S_NO_ERROR ? 1 : 0);
    if (c.result == WBEM_S_NO_ERROR) {
      ASSERT_EQ(sink.objects.size(), 1u);
      EXPECT_EQ(Describe(sink.objects[0], L"Number"), c.provider == module ? L"i4:4" : L"i4:2");
    }
  }
  module->Release();
  board->Release();
}

}  // namespace
