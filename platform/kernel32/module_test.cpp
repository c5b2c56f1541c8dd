// Modules: their file names, by handle and with the truncation rule, and resource lookup on tables
// filed the way generated tables file them (loading what was found gives every status text of the
// golden outputs).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <iterator>
#include <string>
#include <tuple>

#include "kernel32/text.h"
#include "qzplatform.h"
#include "windows.h"
#include "tests/support/PlatformTest.h"

namespace {

std::wstring ProgramPath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return qz::FromUtf8(std::string(path, length > 0 ? static_cast<size_t>(length) : 0));
}

TEST(ModuleFileName, FullPathWithTheTruncationRule) {
  std::wstring path = ProgramPath();
  ASSERT_GT(path.size(), 1u);
  const DWORD length = static_cast<DWORD>(path.size());
  struct Case { DWORD size; DWORD result; DWORD error; std::wstring text; };
  const Case cases[] = {
      {length + 5, length, 0xDEAD, path},
      {length + 1, length, 0xDEAD, path},
      {length, length, ERROR_INSUFFICIENT_BUFFER, path.substr(0, length - 1)},
      {2, 2, ERROR_INSUFFICIENT_BUFFER, path.substr(0, 1)},
      {1, 1, ERROR_INSUFFICIENT_BUFFER, L""},
      {0, 0, ERROR_INSUFFICIENT_BUFFER, std::wstring(length + 8, L'?')},
  };
  for (const Case& c : cases) {
    std::wstring buffer(length + 8, L'?');
    SCOPED_TRACE(c.size);
    SetLastError(0xDEAD);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), c.size), c.result);
    EXPECT_EQ(std::tuple(GetLastError(), std::wstring(buffer.c_str())), std::tuple(c.error, c.text));
  }
}

TEST(ModuleFileName, ModulesByHandleAndHandlesThatAreNoModule) {
  WCHAR buffer[MAX_PATH * 4];
  HMODULE platform = GetModuleHandleW(L"qzplatform.dll");
  DWORD length = GetModuleFileNameW(platform, buffer, MAX_PATH * 4);
  ASSERT_GT(length, 0u);
  std::wstring path(buffer, length);
  EXPECT_EQ(path.front(), L'/');
  EXPECT_TRUE(path.ends_with(L"/libqzplatform.so")) << qz::ToUtf8(path);
  EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, MAX_PATH * 4), ProgramPath().size());
  QZ_EXPECT_LAST_ERROR(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, MAX_PATH),
                       0u, ERROR_MOD_NOT_FOUND);
}

TEST(ModuleHandleEx, ByAddressOrNameAndOnlyWithoutTakingAReference) {
  const DWORD byAddress = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  HMODULE platform = GetModuleHandleW(L"qzplatform.dll");
  struct { DWORD flags; LPCWSTR name; HMODULE module; DWORD error; } cases[] = {
      {byAddress, reinterpret_cast<LPCWSTR>(&GetModuleHandleExW), platform, 0},
      {byAddress, reinterpret_cast<LPCWSTR>(&ProgramPath), GetModuleHandleW(nullptr), 0},
      {GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"qzplatform.dll", platform, 0},
      {byAddress, reinterpret_cast<LPCWSTR>(0x1000), nullptr, ERROR_MOD_NOT_FOUND},
      {GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&GetModuleHandleExW), nullptr,
       ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    HMODULE module = reinterpret_cast<HMODULE>(0x1);
    SetLastError(0xDEAD);
    EXPECT_EQ(GetModuleHandleExW(c.flags, c.name, &module), c.module ? TRUE : FALSE) << c.flags;
    EXPECT_EQ(std::tuple(module, GetLastError()), std::tuple(c.module, c.module ? 0xDEADu : c.error)) << c.flags;
  }
}

// Block 1 (strings 0-15) in US English and German, block 2 (16-31) in US English only.
// US English: 1 "One", 3 "" (empty), 15 "Fifteen", 16 "x" with a character beyond the BMP.
const BYTE kEnglishBlock1[] = {0, 0,                                                    // 0
                               3, 0, 'O', 0, 'n', 0, 'e', 0,                            // 1
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    // 2 to 10
                               0, 0, 0, 0, 0, 0, 0, 0,                                  // 11 to 14
                               7, 0, 'F', 0, 'i', 0, 'f', 0, 't', 0, 'e', 0, 'e', 0, 'n', 0};  // 15
const BYTE kGermanBlock1[] = {0, 0,                                                     // 0
                              4, 0, 'E', 0, 'i', 0, 'n', 0, 's', 0,                     // 1
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // 2 to 10
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0};                            // 11 to 15
const BYTE kEnglishBlock2[] = {3, 0, 'x', 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const BYTE kLibraryImage[] = {'Q', 'Z'};
const QzResourceEntry kTable[] = {
    {6, 1, 1031, sizeof(kGermanBlock1), kGermanBlock1, nullptr},
    {6, 1, 1033, sizeof(kEnglishBlock1), kEnglishBlock1, nullptr},
    {6, 2, 1033, sizeof(kEnglishBlock2), kEnglishBlock2, nullptr},
    {0, 1, 0, sizeof(kLibraryImage), kLibraryImage, L"TYPELIB"},
};

// Files the test table under this program for the length of a test.
class ResourceTable : public ::testing::Test {
 protected:
  void SetUp() override { QzRegisterResources(kTable, "QzResourceTest.dll", kTable, std::size(kTable)); }
  void TearDown() override { QzUnregisterResources(kTable); }
  HMODULE m_Module = GetModuleHandleW(nullptr);
};

TEST_F(ResourceTable, FindResourceExWFailsWithTheMostSpecificCode) {
  struct Case { const char* what; HMODULE module; LPCWSTR type, name; WORD language; const QzResourceEntry* expected;
                DWORD error; };
  HMODULE platform = GetModuleHandleW(L"qzplatform.dll");
  const Case cases[] = {
      {"exact language", m_Module, RT_STRING, MAKEINTRESOURCEW(1), 1033, &kTable[1], 0},
      {"second language", m_Module, RT_STRING, MAKEINTRESOURCEW(1), 1031, &kTable[0], 0},
      {"program as NULL", nullptr, RT_STRING, MAKEINTRESOURCEW(2), 1033, &kTable[2], 0},
      {"neutral takes the first language", m_Module, RT_STRING, MAKEINTRESOURCEW(1), 0, &kTable[0], 0},
      {"neutral with one language", m_Module, RT_STRING, MAKEINTRESOURCEW(2), 0, &kTable[2], 0},
      {"language missing", m_Module, RT_STRING, MAKEINTRESOURCEW(2), 1031, nullptr, ERROR_RESOURCE_LANG_NOT_FOUND},
      {"block missing", m_Module, RT_STRING, MAKEINTRESOURCEW(3), 1033, nullptr, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"other type", m_Module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(1), 1033, nullptr, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"type by name, any case", m_Module, L"TypeLib", MAKEINTRESOURCEW(1), 0, &kTable[3], 0},
      {"named type is not type 0", m_Module, MAKEINTRESOURCEW(0), MAKEINTRESOURCEW(1), 0, nullptr,
       ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"other type name", m_Module, L"REGISTRY", MAKEINTRESOURCEW(1), 0, nullptr, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"module without resources", platform, RT_STRING, MAKEINTRESOURCEW(1), 1033, nullptr,
       ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0xDEAD);
    const auto* found = reinterpret_cast<const QzResourceEntry*>(FindResourceExW(c.module, c.type, c.name, c.language));
    EXPECT_EQ(std::tuple(found, GetLastError()), std::tuple(c.expected, c.expected ? 0xDEADu : c.error)) << c.what;
  }
}

TEST(ResourceTables, TablesAreGoneOnceTakenBack) {
  QzRegisterResources(kTable, "QzResourceTest.dll", kTable, std::size(kTable));
  HRSRC found = FindResourceExW(nullptr, RT_STRING, MAKEINTRESOURCEW(1), 1033);
  EXPECT_NE(found, nullptr);
  QzUnregisterResources(kTable);
  QZ_EXPECT_LAST_ERROR(FindResourceExW(nullptr, RT_STRING, MAKEINTRESOURCEW(1), 1033),
                       nullptr, ERROR_RESOURCE_DATA_NOT_FOUND);
  EXPECT_EQ(SizeofResource(nullptr, found), 0u);
  EXPECT_EQ(GetModuleHandleW(L"QzResourceTest.dll"), nullptr);
}

}  // namespace
