// The computer's names come from the managed machine, with Windows' buffer rules (the machine's
// injected failure is exercised where the system falls back from it).
#include <gtest/gtest.h>
#include <qzplatform.h>
#include <windows.h>

#include <string>

#include "tests/support/PlatformTest.h"

namespace {

void Load(const char* names) {
  char error[256] = {};
  std::string text = std::string(R"({"name": "names", "names": )") + names + "}";
  ASSERT_TRUE(QzLoadMachineText(text.c_str(), "names.json", error, sizeof error)) << error;
}

TEST(ComputerName, EachFormatGivesItsName) {
  Load(R"({"dnsFullyQualified": "mem01.lab.example.net", "dnsHostname": "mem01", "netBios": "MEM01"})");
  struct Case {
    COMPUTER_NAME_FORMAT format;
    const wchar_t* name;
  } cases[] = {
      {ComputerNameNetBIOS, L"MEM01"},
      {ComputerNameDnsHostname, L"mem01"},
      {ComputerNameDnsFullyQualified, L"mem01.lab.example.net"},
  };
  for (const Case& c : cases) {
    wchar_t buffer[64];
    DWORD size = 64;
    ASSERT_TRUE(GetComputerNameExW(c.format, buffer, &size)) << c.format;
    EXPECT_EQ(std::wstring(buffer), c.name);
    EXPECT_EQ(size, wcslen(c.name)) << "the length without the terminator";
  }
}

TEST(ComputerName, ShortBufferAsksForTheSizeWithTheTerminator) {
  Load(R"({"dnsFullyQualified": "mem01.lab.example.net", "dnsHostname": "mem01", "netBios": "MEM01"})");
  wchar_t buffer[21];
  DWORD size = 21;  // one short: 21 characters and the terminator need 22
  wmemset(buffer, L'x', 21);
  QZ_EXPECT_LAST_ERROR(GetComputerNameExW(ComputerNameDnsFullyQualified, buffer, &size), FALSE, ERROR_MORE_DATA);
  EXPECT_EQ(size, 22u);
  EXPECT_EQ(buffer[0], L'x') << "nothing written";
  size = 0;
  EXPECT_FALSE(GetComputerNameExW(ComputerNameNetBIOS, nullptr, &size));
  EXPECT_EQ(size, 6u);
}

}  // namespace
