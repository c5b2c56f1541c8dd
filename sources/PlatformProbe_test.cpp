// The platform probe: the four flags for each answer of the health driver and of the first SMBIOS
// memory device.
#include "sources/PlatformProbe.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>

#include "tests/support/SourcesFixture.h"

namespace {

using qztest::LoadMachine;

// The four flags as digits: driver present, amp status valid, processor-board memory, driver data.
void SetFlags(const std::string& flags) {
  g_bHealthDriverPresent = flags[0] == '1';
  g_bAmpStatusValid = flags[1] == '1';
  g_bProcessorBoardMemory = flags[2] == '1';
  g_bDriverMemoryData = flags[3] == '1';
}

std::string Flags() {
  return {"01"[g_bHealthDriverPresent], "01"[g_bAmpStatusValid], "01"[g_bProcessorBoardMemory],
          "01"[g_bDriverMemoryData]};
}

// A machine with a health driver: `driver` adds to the driver object, `smbios` is the value of
// the machine's "smbios" (none: generated from the driver).
std::string WithDriver(const std::string& driver, const std::string& smbios = "") {
  std::string json = R"({"driver": {)" + driver + "}";
  if (!smbios.empty()) json += R"(, "smbios": )" + smbios;
  return json + "}";
}

std::string Locators(const char* first, const char* second = nullptr) {
  std::string devices = std::string(R"({"devices": [{"size": 8192, "deviceLocator": ")") + first + "\"}";
  if (second) devices += std::string(R"(, {"size": 8192, "deviceLocator": ")") + second + "\"}";
  return devices + "]}";
}

const std::string kDescribed = R"("configuration": {"socketsPerBoard": 8, "boardCount": 2})";
const std::string kNoBoards = R"("configuration": {"socketsPerBoard": 8, "boardCount": 0})";

using PlatformProbe = qztest::SourcesTest;

// Every case probes afresh: the driver of the second case, arriving after the first found none, is
// found by the next probe.
TEST_F(PlatformProbe, FlagsFollowTheDriverAndTheFirstMemoryDevice) {
  struct Case {
    const char* what;
    std::string before, after;
    std::string machine;
  };
  const Case cases[] = {
      {"no driver: amp and processor flags kept", "1111", "0110", R"({"name": "no driver"})"},
      {"amp on memory boards clears processor boards", "0010", "1101", WithDriver(kDescribed)},
      {"no amp information leaves processor boards", "0100", "1001",
       WithDriver(kDescribed + R"(, "ampPresent": false, "processorBoards": true)")},
      {"no amp information keeps processor boards", "0110", "1011",
       WithDriver(kDescribed + R"(, "ampPresent": false)")},
      {"1711 failing keeps both", "0110", "1111",
       WithDriver(kDescribed + R"(, "faults": [{"command": 1711, "fail": true}])")},
      {"short 1711 answer reads zeros", "0010", "1101",
       WithDriver(kDescribed + R"(, "rawAnswers": [{"command": 1711, "data": "01"}])")},
      {"zero boards: upper-cased Proc locator", "0001", "1110", WithDriver(kNoBoards, Locators("Proc 1 DIMM 3"))},
      {"zero boards: cpu locator", "0000", "1110", WithDriver(kNoBoards, Locators("cpu0_dimm1"))},
      {"zero sockets", "0000", "1110",
       WithDriver(R"("configuration": {"socketsPerBoard": 0, "boardCount": 2})", Locators("PROC 1"))},
      {"only the first device counts", "0000", "1100", WithDriver(kNoBoards, Locators("DIMM 1", "PROC 2 DIMM 1"))},
      {"SMBIOS check never clears", "0010", "1010",
       WithDriver(kNoBoards + R"(, "ampPresent": false)", Locators("DIMM 3"))},
      {"1700 failing runs the SMBIOS check", "0000", "1110",
       WithDriver(kDescribed + R"(, "faults": [{"command": 1700, "fail": true}])", Locators("PROC 2"))},
      {"driver data skips the SMBIOS check", "0000", "1101", WithDriver(kDescribed, Locators("PROC 2"))},
      {"zero boards without SMBIOS", "0001", "1100", WithDriver(kNoBoards, R"({"present": false})")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoadMachine(c.machine);
    g_SmbiosTable.Unload();
    SetFlags(c.before);
    g_MemAmpChecker.ProbePlatform();
    EXPECT_EQ(Flags(), c.after);
    EXPECT_EQ(g_MemAmpChecker.Result(), c.after[3] == '1');
  }
}

}  // namespace
