// The memory collection provider through the module's class definition: the form and order of its
// properties, enumeration and lookup by path.
#include "logical/QZMemoryCollectionProv.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>

#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"
#include "tests/support/SystemFixture.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/repository.h"

namespace {

using qztest::Describe;

class MemoryCollectionProvider : public qztest::SystemTest {
 protected:
  void SetUp() override {
    g_bHealthDriverPresent = g_bAmpStatusValid = g_bProcessorBoardMemory = g_bDriverMemoryData = false;
    qztest::SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogLevel", 2);
    g_CommonLog.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
  }
  void TearDown() override {
    if (provider) provider->Release();
    if (ns) ns->Release();
    qztest::SystemTest::TearDown();
  }
  void Start(const char* machine) {
    char mofError[512] = {};
    ASSERT_EQ(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, mofError, sizeof mofError), WBEM_S_NO_ERROR)
        << mofError;
    char error[512] = {};
    ASSERT_TRUE(QzLoadMachine((std::string(QZ_MACHINES_DIR) + "/" + machine).c_str(), error, sizeof error)) << error;
    g_MemAmpChecker.ProbePlatform();
    ASSERT_EQ(qz::wbem::CreateServices(L"root\\VXN", &ns), WBEM_S_NO_ERROR);
    provider = new CQZMemoryCollectionProv;
    qztest::TestInitSink init;
    ASSERT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
  }
  std::wstring Log() { return qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log"); }

  IWbemServices* ns = nullptr;
  CQZMemoryCollectionProv* provider = nullptr;
};

TEST_F(MemoryCollectionProvider, EnumeratesTheDefaultServer) {
  Start("default.json");
  qztest::TestSink sink;
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.statuses, 1);
  ASSERT_EQ(sink.objects.size(), 1u);
  struct Case {
    const WCHAR* name;
    const WCHAR* value;
  } cases[] = {
      {L"Caption", L"bstr:Memory Collection"},
      {L"Description", L"bstr:Physical memory collection"},
      {L"ElementName", L"bstr:Memory Collection"},
      {L"GroupOperationalStatus", L"i4[3]"},
      {L"GroupStatusDescriptions", L"bstr[Memory collection status: Degraded]"},
      {L"InstanceID", L"bstr:VXN:QZ_MemoryCollection:001"},
      {L"__RELPATH", L"bstr:QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:001\""},
  };
  for (const Case& c : cases) EXPECT_EQ(Describe(sink.objects[0], c.name), c.value) << c.name;
}

TEST_F(MemoryCollectionProvider, WithoutDriverEnumeratesNothingSuccessfully) {
  Start("no-driver.json");
  qztest::TestSink sink;
  EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.statuses, 1);
  EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.indicates, 0);
  const std::wstring log = Log();
  EXPECT_NE(log.find(L"CQZMemoryCollectionList::RebuildList| Health (or MQZ) driver not found\r\n"), std::wstring::npos);
  EXPECT_NE(log.find(L"CQZMemoryCollectionProv::CreateInstanceEnumAsync| Returning 0 instances\r\n"), std::wstring::npos);
}

TEST_F(MemoryCollectionProvider, LookupByPath) {
  Start("default.json");
  struct Case {
    const WCHAR* path;
    HRESULT result;
  } cases[] = {
      {L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:001\"", WBEM_S_NO_ERROR},
      {L"qz_memorycollection.instanceid=\"VXN:QZ_MemoryCollection:001\"", WBEM_S_NO_ERROR},
      {L"QZ_MemoryCollection=\"VXN:QZ_MemoryCollection:001\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryCollection.InstanceID=\"vxn:qz_memorycollection:001\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:002\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryCollection.InstanceID=1", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryCollection.Tag=\"VXN:QZ_MemoryCollection:001\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryCollection", WBEM_E_INVALID_PARAMETER},
      {L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_E_INVALID_PARAMETER},
      {L"QZ_MemoryCollection.InstanceID=\"VXN", WBEM_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::wstring(c.path));
    qztest::TestSink sink;
    BSTR path = SysAllocString(c.path);
    EXPECT_EQ(provider->GetObjectAsync(path, 0, nullptr, &sink), c.result);
    SysFreeString(path);
    EXPECT_EQ(sink.indicates, c.result == WBEM_S_NO_ERROR ? 1 : 0);
    EXPECT_EQ(sink.statuses, c.result == WBEM_S_NO_ERROR ? 1 : 0);
  }
}

}  // namespace
