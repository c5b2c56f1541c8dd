// The thread locale from the environment, and the Windows-1252 and UTF-8 conversions.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <optional>
#include <string>
#include <tuple>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/PlatformTest.h"

namespace {

QZ_CHILD_MAIN(CheckLocale) {
  LCID expected = static_cast<LCID>(std::stoul(args[0]));
  return GetThreadLocale() != expected ? 1 : 0;
}

void SetOrUnset(const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }

TEST(ThreadLocale, StartsAsTheLcidOfTheEnvironment) {
  struct Case { const char* lc_all; const char* lc_messages; const char* lang; LCID expected; };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, 1033},       {nullptr, nullptr, "fr_FR@euro", 1036},
      {nullptr, nullptr, "xx_YY.UTF-8", 1033},
      {nullptr, "fr_CA.UTF-8", "de_DE.UTF-8", 3084}, {"en_GB.UTF-8", "fr_FR", "de_DE", 2057},
  };
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i)
    if (const char* value = getenv(names[i])) saved[i] = value;
  for (const Case& c : cases) {
    const char* values[] = {c.lc_all, c.lc_messages, c.lang};
    for (int i = 0; i < 3; ++i) SetOrUnset(names[i], values[i]);
    qztest::ChildProcess child = qztest::ChildProcess::Start("CheckLocale", {std::to_string(c.expected)});
    EXPECT_EQ(child.Wait(5000), 0) << (c.lang ? c.lang : "-") << " expected " << c.expected;
  }
  for (int i = 0; i < 3; ++i) SetOrUnset(names[i], saved[i] ? saved[i]->c_str() : nullptr);
}

TEST(ThreadLocale, BelongsToTheThreadAndAcceptsDefaults) {
  LCID initial = GetThreadLocale();
  auto fresh = [] { LCID seen = 0; std::thread([&] { seen = GetThreadLocale(); }).join(); return seen; };
  const LCID process = fresh();
  const LCID chosen = process == 1031 ? 1036 : 1031;
  EXPECT_TRUE(SetThreadLocale(chosen));
  EXPECT_EQ(GetThreadLocale(), chosen);
  EXPECT_EQ(fresh(), process);
  EXPECT_TRUE(SetThreadLocale(LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(GetThreadLocale(), process);
  QZ_EXPECT_LAST_ERROR(SetThreadLocale(0x12345), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(SetThreadLocale(initial));
}

TEST(AnsiCodePage, Windows1252BytesMapBothWays) {
  struct Case { unsigned char byte; wchar_t wide; };
  const Case cases[] = {{0x41, L'A'},   {0x80, 0x20AC}, {0x81, 0x0081}, {0x8A, 0x0160},
                        {0x9F, 0x0178}, {0xE9, 0x00E9}, {0xFF, 0x00FF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    char in = static_cast<char>(c.byte);
    wchar_t wide = 0;
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, &in, 1, &wide, 1), 1);
    EXPECT_EQ(wide, c.wide);
    char back = 0;
    BOOL used = TRUE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, &c.wide, 1, &back, 1, nullptr, &used), 1);
    EXPECT_EQ(std::tuple(static_cast<unsigned char>(back), used), std::tuple(c.byte, FALSE));
  }
  const wchar_t unmapped[] = {L'x', 0x0100, 0x4E2D};
  char out[4] = {};
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, unmapped, 3, out, 4, "#", &used), 3);
  EXPECT_STREQ(out, "x##");
  EXPECT_TRUE(used);
}

TEST(TextConversion, SizesTerminatorsAndShortBuffers) {
  wchar_t wide[8];
  char narrow[8];
  // -1 counts the terminator; a zero output size asks for the size.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, nullptr, 0), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, wide, 8), 3);
  EXPECT_STREQ(wide, L"h\x00E9");
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", 3, wide, 8), 2);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"h\x00E9\x20AC", -1, nullptr, 0, nullptr, nullptr), 7);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"h\x00E9\x20AC", -1, narrow, 8, nullptr, nullptr), 7);
  EXPECT_STREQ(narrow, "h\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\x20AC", -1, narrow, 8, nullptr, nullptr), 2);
  EXPECT_STREQ(narrow, "\x80");

  QZ_EXPECT_LAST_ERROR(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3), 0, ERROR_INSUFFICIENT_BUFFER);
  QZ_EXPECT_LAST_ERROR(WideCharToMultiByte(CP_UTF8, 0, L"\x00E9", 1, narrow, 1, nullptr, nullptr), 0,
                       ERROR_INSUFFICIENT_BUFFER);
  QZ_EXPECT_LAST_ERROR(MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 8), 0, ERROR_INVALID_PARAMETER);
  QZ_EXPECT_LAST_ERROR(WideCharToMultiByte(CP_UTF8, 0, L"a", 1, narrow, 8, "?", nullptr), 0, ERROR_INVALID_PARAMETER);
}

}  // namespace
