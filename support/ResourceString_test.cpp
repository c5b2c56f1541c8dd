// Tests of the string loader on the module's string table: every text, the US English fallback, the
// language fixed by the first call, and the raw block layout.
#include "support/ResourceString.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace {

struct Text {
  UINT number;
  const wchar_t* text;
};

// Samples of the module's strings in US English: block seven whole (100 to 111), the start of the
// next block, the texts the German table overrides or leaves empty, one with a trailing blank, and
// the last number.
const Text kEnglish[] = {
    {100, L"QZWmiMemory"},
    {101, L"Physical Memory Module %d on Memory Board %d"},
    {102, L"Memory module status: OK"},
    {103, L"Memory module status: Unknown"},
    {104, L"Memory module status: Degraded"},
    {105, L"Memory module status: Dormant"},
    {106, L"Memory module status: Correctable error threshold for pre-failure warranty has been exceeded"},
    {107, L"Memory module status: Memory present but not in use"},
    {108, L"Memory module status: Bad memory configuration"},
    {109, L"Memory module status: Memory not present"},
    {110, L"Physical Memory Board %d"},
    {111, L"Memory board status: OK"},
    {112, L"Memory board status: Unknown"},
    {121, L"Mirrored"},
    {122, L"Online Spare"},
    {124, L"Unknown"},
    {140, L"Memory Module Socket Location %d on Memory Board %d "},
    {146, L"Memory Module Socket Location %d on Processor Board %d "},
    {148, L"Lockstep"},
};

// The German test table (support/testdata): number 124 is there but empty, so it falls back too.
const Text kGerman[] = {
    {102, L"Speichermodulstatus: OK"},
    {121, L"Gespiegelt \u00FCber zwei Kan\u00E4le"},
    {122, L"Online-Ersatz"},
    {148, L"Gleichschritt \"Lockstep\""},
};

// Numbers that no language has: the empty entries of the first block, the numbers after the table
// and the ends of the range.
const UINT kAbsent[] = {0, 96, 97, 98, 99, 149, 150, 159, 160, 65535};

std::wstring Expected(LANGID language, UINT number) {
  if (language == 1031)
    for (const Text& row : kGerman)
      if (row.number == number) return row.text;
  for (const Text& row : kEnglish)
    if (row.number == number) return row.text;
  return L"<String could not be found!>";
}

// Makes the first call of the process from a thread with locale args[0], then loads every number
// from a thread with locale args[1]; the exit status counts the texts that differ from those of the
// first call's language.
QZ_CHILD_MAIN(LoadStringsAfterFirstCall) {
  LCID first = std::stoul(args.at(0)), later = std::stoul(args.at(1));
  if (!SetThreadLocale(first)) return 100;
  LoadResourceString(kModuleFileName, IDS_MODULE_NAME);
  int wrong = 0;
  std::thread([&] {
    if (!SetThreadLocale(later)) {
      wrong = 100;
      return;
    }
    std::vector<UINT> numbers(std::begin(kAbsent), std::end(kAbsent));
    for (const Text& row : kEnglish) numbers.push_back(row.number);
    for (UINT number : numbers) {
      std::wstring text = LoadResourceString(kModuleFileName, number);
      std::wstring expected = Expected(LANGIDFROMLCID(first), number);
      if (text != expected) {
        std::fprintf(stderr, "%u: \"%ls\", expected \"%ls\"\n", number, text.c_str(), expected.c_str());
        ++wrong;
      }
    }
  }).join();
  return wrong;
}

TEST(ResourceString, EveryNumberInTheLanguageOfTheFirstCallWithUsEnglishFallback) {
  struct Case {
    const char* what;
    const char* firstLocale;
    const char* laterLocale;
  };
  const Case cases[] = {
      {"US English", "1033", "1033"},
      {"French has no table: US English", "1036", "1036"},
      {"German where it has the number, US English elsewhere", "1031", "1031"},
      {"the first call's German stays for an English thread", "1031", "1033"},
      {"the first call's English stays for a German thread", "1033", "1031"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(qztest::ChildProcess::Start("LoadStringsAfterFirstCall", {c.firstLocale, c.laterLocale}).Wait(20000), 0)
        << c.what;
}

TEST(ResourceString, TheModuleNameFindsTheProgramThatLinksTheTable) {
  EXPECT_EQ(GetModuleHandleW(kModuleFileName), GetModuleHandleW(nullptr));
  EXPECT_EQ(GetModuleHandleW(L"qzwmimemory"), GetModuleHandleW(nullptr));
}

// The bytes of a block as the module carries it: per entry a 16-bit length and UTF-16LE units.
std::vector<BYTE> Block(const std::vector<std::wstring>& entries) {
  std::vector<BYTE> bytes;
  for (const std::wstring& entry : entries) {
    bytes.push_back(static_cast<BYTE>(entry.size()));
    bytes.push_back(static_cast<BYTE>(entry.size() >> 8));
    for (wchar_t c : entry) {
      bytes.push_back(static_cast<BYTE>(c));
      bytes.push_back(static_cast<BYTE>(c >> 8));
    }
  }
  return bytes;
}

TEST(ResourceString, BlockSevenHoldsFourEmptyEntriesThenNumbers100To111) {
  HMODULE module = GetModuleHandleW(kModuleFileName);
  HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(7), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_NE(found, nullptr);
  const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  DWORD size = SizeofResource(module, found);
  std::vector<std::wstring> entries(4);
  for (UINT number = 100; number <= 111; ++number) entries.push_back(Expected(1033, number));
  std::vector<BYTE> expected = Block(entries);
  ASSERT_EQ(size, 16u * 2 + 2 * 443);
  ASSERT_EQ(size, expected.size());
  EXPECT_EQ(std::vector<BYTE>(bytes, bytes + size), expected);
  // Blocks 7 to 10 hold 96 to 159; block 6 and block 11 are not there.
  for (WORD block : {6, 11}) {
    SetLastError(0);
    EXPECT_EQ(FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), 1033), nullptr) << block;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND)) << block;
  }
  SetLastError(0);
  EXPECT_EQ(FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(9), 1031), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

}  // namespace
