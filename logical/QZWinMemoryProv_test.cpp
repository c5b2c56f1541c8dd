// The system memory provider and its association's provider through the module's class
// definitions: lookup by path with its four keys, and of the association's pair.
#include "logical/QZWinMemoryProv.h"

#include <gtest/gtest.h>

#include <string>

#include "logical/QZWinSystemMemoryProv.h"
#include "tests/support/ProviderFixture.h"

namespace {

constexpr const WCHAR* kExtentPath =
    L"QZ_WinMemory.CreationClassName=\"QZ_WinMemory\",DeviceID=\"VXN:QZ_WinMemory:001\","
    L"SystemCreationClassName=\"QZ_WinComputerSystem\",SystemName=\"qz-server.example.net\"";

using SystemMemoryProviders = qztest::ProviderTest;

TEST_F(SystemMemoryProviders, ExtentLookupByPath) {
  Machine("default.json");
  CQZInstanceProvider* provider = Start<CQZWinMemoryProv>();
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
    ASSERT_EQ(Get(provider, c.path, sink), c.result);
  }
}

// The pair itself is in the golden outputs; here, which paths find it.
TEST_F(SystemMemoryProviders, AssociationFindsItsPairByPath) {
  Machine("default.json");
  CQZInstanceProvider* provider = Start<CQZWinSystemMemoryProv>();
  const std::wstring group = L"\\\\QZ-SERVER\\root\\VXN:QZ_WinComputerSystem.CreationClassName=\"QZ_WinComputerSystem\","
                             L"Name=\"qz-server.example.net\"";
  const std::wstring part = std::wstring(L"\\\\QZ-SERVER\\root\\VXN:") + kExtentPath;
  auto pathOf = [](const std::wstring& g, const std::wstring& p) {
    return L"QZ_WinSystemMemory.GroupComponent=" + qztest::Quoted(g) + L",PartComponent=" + qztest::Quoted(p);
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
    EXPECT_EQ(Get(provider, c.path, lookup), c.result);
  }
}

}  // namespace
