// Resource lookup and loading on tables filed the way generated tables file them.
#include <gtest/gtest.h>

#include <iterator>
#include <tuple>

#include "qzplatform.h"
#include "windows.h"
#include "tests/support/PlatformTest.h"

namespace {

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

TEST_F(ResourceTable, LoadLockAndSizeGiveTheBlockBytes) {
  HRSRC found = FindResourceExW(m_Module, RT_STRING, MAKEINTRESOURCEW(1), 1031);
  ASSERT_NE(found, nullptr);
  HGLOBAL loaded = LoadResource(m_Module, found);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(LockResource(loaded), static_cast<const void*>(kGermanBlock1));
  EXPECT_EQ(SizeofResource(m_Module, found), sizeof(kGermanBlock1));
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
