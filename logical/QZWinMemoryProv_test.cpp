// The system memory provider and its association's provider through the module's class
// definitions: the form and order of every property, enumeration, and lookup by path with its
// four keys.
#include "logical/QZWinMemoryProv.h"

#include <gtest/gtest.h>

#include <string>

#include "logical/QZWinSystemMemoryProv.h"
#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;

constexpr const WCHAR* kExtentPath =
    L"QZ_WinMemory.CreationClassName=\"QZ_WinMemory\",DeviceID=\"VXN:QZ_WinMemory:001\","
    L"SystemCreationClassName=\"QZ_WinComputerSystem\",SystemName=\"qz-server.example.net\"";

using SystemMemoryProviders = qztest::ProviderTest;

TEST_F(SystemMemoryProviders, ExtentPutsEveryPropertyInTheServicesForm) {
  Start<CQZWinMemoryProv>("default.json");
  qztest::TestSink sink;
  Enumerate(sink);
  ASSERT_EQ(sink.objects.size(), 1u);
  qztest::ExpectProperties(sink.objects[0], {
      {L"Access", L"i4:3"},
      {L"BlockSize", L"bstr:1"},
      {L"Caption", L"bstr:System Memory"},
      {L"ConsumableBlocks", L"bstr:85899345920"},
      {L"CreationClassName", L"bstr:QZ_WinMemory"},
      {L"Description", L"bstr:Logical system memory"},
      {L"DeviceID", L"bstr:VXN:QZ_WinMemory:001"},
      {L"ElementName", L"bstr:System Memory"},
      {L"EndingAddress", L"bstr:83886079"},
      {L"HealthState", L"i4:10"},
      {L"Name", L"bstr:System Memory"},
      {L"NumberOfBlocks", L"bstr:85899345920"},
      {L"OperationalStatus", L"i4[3]"},
      {L"Primordial", L"bool:true"},
      {L"Purpose", L"bstr:System Memory"},
      {L"SequentialAccess", L"bool:false"},
      {L"StartingAddress", L"bstr:0"},
      {L"StatusDescriptions", L"bstr[System memory status: Degraded]"},
      {L"SystemCreationClassName", L"bstr:QZ_WinComputerSystem"},
      {L"SystemName", L"bstr:qz-server.example.net"},
      {L"Volatile", L"bool:true"},
      {L"__RELPATH", std::wstring(L"bstr:") + kExtentPath},
  });
}

TEST_F(SystemMemoryProviders, ExtentPutsOnlyWhatTheRecordHoldsAndTheThreeKeysAlways) {
  Start<CQZWinMemoryProv>("default.json");
  IWbemClassObject* instance = Spawn(kWinMemoryClass);
  ASSERT_NE(instance, nullptr);
  CQZWinMemory record;
  record.SetDeviceId(L"d");
  EXPECT_EQ(CQZWinMemoryProv::FillRecord(instance, record), WBEM_S_NO_ERROR);
  EXPECT_EQ(Describe(instance, L"DeviceID"), L"bstr:d");
  EXPECT_EQ(Describe(instance, L"CreationClassName"), L"bstr:QZ_WinMemory");
  EXPECT_EQ(Describe(instance, L"SystemCreationClassName"), L"bstr:QZ_WinComputerSystem");
  EXPECT_EQ(Describe(instance, L"SystemName"), L"bstr:qz-server.example.net");
  for (const WCHAR* name : {L"Access", L"EndingAddress", L"OperationalStatus", L"Primordial", L"Volatile"})
    EXPECT_EQ(Describe(instance, name), L"null") << name;
  instance->Release();
}

TEST_F(SystemMemoryProviders, ExtentLookupByPath) {
  Start<CQZWinMemoryProv>("default.json");
  const std::wstring path = kExtentPath;
  auto replace = [&](const std::wstring& from, const std::wstring& to) {
    std::wstring changed = path;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  struct Case {
    std::wstring path;
    HRESULT result;
  } cases[] = {
      {path, WBEM_S_NO_ERROR},
      {L"QZ_WinMemory.SystemName=\"qz-server.example.net\",DeviceID=\"VXN:QZ_WinMemory:001\","
       L"SystemCreationClassName=\"QZ_WinComputerSystem\",CreationClassName=\"QZ_WinMemory\"",
       WBEM_S_NO_ERROR},
      {replace(L"=\"QZ_WinMemory\"", L"=\"qz_winmemory\""), WBEM_E_NOT_FOUND},
      {replace(L"qz-server.example.net", L"QZ-SERVER.EXAMPLE.NET"), WBEM_E_NOT_FOUND},
      {replace(L",SystemName=\"qz-server.example.net\"", L""), WBEM_E_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    qztest::TestSink sink;
    ASSERT_EQ(Get(c.path, sink), c.result);
    if (c.result == WBEM_S_NO_ERROR) {
      EXPECT_EQ(Describe(sink.objects[0], L"NumberOfBlocks"), L"bstr:85899345920");
    }
  }
}

TEST_F(SystemMemoryProviders, AssociationEnumeratesAndFindsItsPair) {
  Start<CQZWinSystemMemoryProv>("default.json");
  qztest::TestSink sink;
  Enumerate(sink);
  ASSERT_EQ(sink.objects.size(), 1u);
  const std::wstring group = L"\\\\QZ-SERVER\\root\\VXN:QZ_WinComputerSystem.CreationClassName=\"QZ_WinComputerSystem\","
                             L"Name=\"qz-server.example.net\"";
  const std::wstring part = std::wstring(L"\\\\QZ-SERVER\\root\\VXN:") + kExtentPath;
  EXPECT_EQ(Describe(sink.objects[0], L"GroupComponent"), L"bstr:" + group);
  EXPECT_EQ(Describe(sink.objects[0], L"PartComponent"), L"bstr:" + part);

  auto pathOf = [](const std::wstring& g, const std::wstring& p) {
    auto escape = [](const std::wstring& text) {
      std::wstring out;
      for (WCHAR ch : text) {
        if (ch == L'\\' || ch == L'"') out += L'\\';
        out += ch;
      }
      return out;
    };
    return L"QZ_WinSystemMemory.GroupComponent=\"" + escape(g) + L"\",PartComponent=\"" + escape(p) + L"\"";
  };
  struct Case {
    std::wstring path;
    HRESULT result;
  } cases[] = {
      {pathOf(group, part), WBEM_S_NO_ERROR},
      {pathOf(part, group), WBEM_E_NOT_FOUND},
      {L"QZ_WinSystemMemory", WBEM_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    qztest::TestSink lookup;
    EXPECT_EQ(Get(c.path, lookup), c.result);
  }
}

}  // namespace
