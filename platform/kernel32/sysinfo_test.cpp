// What the system says of itself: the computer's names, which come from the managed machine with
// Windows' buffer rules (the machine's injected failure is exercised where the system falls back
// from it), and the fixed clock through the API with its days of the week.
#include <gtest/gtest.h>
#include <qzplatform.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <tuple>

#include "tests/support/PlatformTest.h"

namespace {

void Load(const char* names) {
  char error[256] = {};
  std::string text = std::string(R"({"name": "names", "names": )") + names + "}";
  ASSERT_TRUE(QzLoadMachineText(text.c_str(), "names.json", error, sizeof error)) << error;
}

// Each format gives its name and its length without the terminator; a buffer too short for the
// terminator asks for the size with it and is left alone.
TEST(ComputerName, EachFormatGivesItsNameAndShortBuffersAskForTheSize) {
  Load(R"({"dnsFullyQualified": "mem01.lab.example.net", "dnsHostname": "mem01", "netBios": "MEM01"})");
  const struct { COMPUTER_NAME_FORMAT format; const wchar_t* name; } cases[] = {
      {ComputerNameNetBIOS, L"MEM01"},
      {ComputerNameDnsHostname, L"mem01"},
      {ComputerNameDnsFullyQualified, L"mem01.lab.example.net"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const DWORD length = static_cast<DWORD>(wcslen(c.name));
    wchar_t buffer[64];
    wmemset(buffer, L'x', 64);
    DWORD size = length;
    QZ_EXPECT_LAST_ERROR(GetComputerNameExW(c.format, buffer, &size), FALSE, ERROR_MORE_DATA);
    EXPECT_EQ(std::tuple(size, buffer[0]), std::tuple(length + 1, L'x'));
    size = 64;
    ASSERT_TRUE(GetComputerNameExW(c.format, buffer, &size));
    EXPECT_EQ(std::tuple(std::wstring(buffer), size), std::tuple(std::wstring(c.name), length));
  }
  DWORD size = 0;
  EXPECT_FALSE(GetComputerNameExW(ComputerNameNetBIOS, nullptr, &size));
  EXPECT_EQ(size, 6u);
}

// Each row fixes the clock and reads it back; a refused time leaves the time before it.
TEST(FixedClock, LocalTimeIsFixedWithItsDayOfWeekAndInvalidTimesAreRefused) {
  struct Case { SYSTEMTIME set, read; };  // read: wDayOfWeek recomputed
  const Case cases[] = {
      {{2024, 2, 6, 29, 23, 59, 58, 999}, {2024, 2, 4, 29, 23, 59, 58, 999}},  // a leap day, a Thursday
      {{1999, 12, 0, 31, 8, 0, 0, 1}, {1999, 12, 5, 31, 8, 0, 0, 1}},
      {{2038, 1, 0, 19, 3, 14, 8, 0}, {2038, 1, 2, 19, 3, 14, 8, 0}},
      {{2020, 5, 0, 17, 10, 0, 0, 0}, {2020, 5, 0, 17, 10, 0, 0, 0}},           // a Sunday
      {{2020, 13, 0, 1, 0, 0, 0, 0}, {2020, 5, 0, 17, 10, 0, 0, 0}},            // no month 13
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.set.wYear << "-" << c.set.wMonth << "-" << c.set.wDay);
    QzSetFixedLocalTime(&c.set);
    SYSTEMTIME now;
    memset(&now, 0xCC, sizeof now);
    GetLocalTime(&now);
    EXPECT_EQ(memcmp(&now, &c.read, sizeof now), 0) << now.wYear << "-" << now.wMonth << "-" << now.wDay << " dow "
                                                    << now.wDayOfWeek << " ms " << now.wMilliseconds;
    GetSystemTime(&now);
    EXPECT_EQ(now.wMilliseconds, c.read.wMilliseconds);
  }
  QzSetFixedLocalTime(nullptr);
  SYSTEMTIME now;
  GetLocalTime(&now);
  EXPECT_GE(now.wYear, 2024);
}

}  // namespace
