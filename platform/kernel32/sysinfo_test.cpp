// The computer's names come from the managed machine, with Windows' buffer rules (the machine's
// injected failure is exercised where the system falls back from it).
#include <gtest/gtest.h>
#include <qzplatform.h>
#include <windows.h>

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

}  // namespace
