// The computer's name with its fallbacks, and the references and paths made without the computer
// system class or with other chassis counts.
#include "sources/ComputerSystem.h"

#include <gtest/gtest.h>
#include <qzplatform.h>
#include <wbemcli.h>

#include <string>

#include "tests/support/SourcesFixture.h"
#include "wbem/repository.h"

namespace {

using qztest::LoadMachine;

std::string Names(const std::string& fullyQualified, int failOnCall) {
  return R"({"name": "names", "names": {"dnsFullyQualified": ")" + fullyQualified +
         R"(", "dnsHostname": "mem01", "netBios": "MEM01", "failOnCall": )" + std::to_string(failOnCall) + "}}";
}

// Each case loads another machine: a name kept from an earlier call would show in the next case.
TEST(LocalComputerName, TakesTheFirstFormatThatAnswers) {
  const std::string longName = std::string(5000, 'n') + ".example.net";
  struct Case {
    const char* what;
    std::string fullyQualified;
    int failOnCall;
    std::string expected;
  } cases[] = {
      {"fully qualified name first", "mem01.lab.example.net", 0, "mem01.lab.example.net"},
      {"first try fails: host name", "mem01.lab.example.net", 1, "mem01"},
      {"second format's failure is never reached", "mem01.lab.example.net", 2, "mem01.lab.example.net"},
      {"a name longer than the buffer is read with the size asked for", longName, 0, longName},
      {"the retry with the larger buffer fails: host name", longName, 2, "mem01"},
      {"an empty name is a name", "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoadMachine(Names(c.fullyQualified, c.failOnCall));
    std::wstring name = L"poison";
    EXPECT_EQ(GetLocalComputerName(name), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(name, std::wstring(c.expected.begin(), c.expected.end()));
  }
}

TEST(ComputerSystemReference, WithoutTheClassFailsEmptyAndPathsHaveNoServer) {
  qz::wbem::Repository::Instance().DeleteClass(L"root\\VXN", kComputerSystemClass);
  std::wstring path = L"poison";
  MakeFullPath(L"root\\VXN", L"X", path);
  EXPECT_EQ(path, L"\\\\\\root\\VXN:X");
  std::wstring reference = L"poison";
  EXPECT_EQ(GetComputerSystemReference(reference), WBEM_E_FAILED);
  EXPECT_EQ(reference, L"");
}

// One chassis is referenced (every bundled machine shows it); none or two fail.
TEST(ChassisReference, OnlyOneChassisIsReferenced) {
  for (const char* chassis : {"[]", R"([{"tag": "Chassis 0"}, {"tag": "Chassis 1"}])"}) {
    SCOPED_TRACE(chassis);
    LoadMachine(R"({"chassis": )" + std::string(chassis) + "}");
    std::wstring reference = L"poison";
    EXPECT_EQ(GetChassisReference(reference), WBEM_E_FAILED);
    EXPECT_EQ(reference, L"");
  }
}

}  // namespace
