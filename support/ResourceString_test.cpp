// Tests of the string loader on the module's string table: every text, the US English fallback and
// the language fixed by the first call (the block layout is the resource compiler's, tested there).
#include "support/ResourceString.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace {

struct Text {
  UINT number;
  const wchar_t* text;
};

// The module's strings in US English that the German table overrides or leaves empty, the first
// number and the last (the other texts show in every enumeration).
const Text kEnglish[] = {
    {100, L"QZWmiMemory"},
    {102, L"Memory module status: OK"},
    {121, L"Mirrored"},
    {122, L"Online Spare"},
    {124, L"Unknown"},
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
  };
  for (const Case& c : cases)
    EXPECT_EQ(qztest::ChildProcess::Start("LoadStringsAfterFirstCall", {c.firstLocale, c.laterLocale}).Wait(20000), 0)
        << c.what;
}

}  // namespace
