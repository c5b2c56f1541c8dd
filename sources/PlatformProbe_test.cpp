// The platform probe: the four flags for each answer of the health driver and of the first SMBIOS
// memory device.
#include "sources/PlatformProbe.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>

#include "tests/support/SourcesFixture.h"

namespace {

using qztest::LoadMachine;

struct Flags {
  bool present, amp, processor, driverData;
};

void SetFlags(const Flags& flags) {
  g_bHealthDriverPresent = flags.present;
  g_bAmpStatusValid = flags.amp;
  g_bProcessorBoardMemory = flags.processor;
  g_bDriverMemoryData = flags.driverData;
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

constexpr const char* kDescribed = R"("configuration": {"socketsPerBoard": 8, "boardCount": 2})";
constexpr const char* kNoBoards = R"("configuration": {"socketsPerBoard": 8, "boardCount": 0})";

using PlatformProbe = qztest::SourcesTest;

// Every case probes afresh: the driver of the second case, arriving after the first found none, is
// found by the next probe.
TEST_F(PlatformProbe, FlagsFollowTheDriverAndTheFirstMemoryDevice) {
  struct Case {
    const char* what;
    std::string machine;
    Flags before;
    Flags after;
  };
  const Case cases[] = {
      {"no driver: amp and processor flags kept", R"({"name": "no driver"})", {true, true, true, true},
       {false, true, true, false}},
      {"amp on memory boards clears processor boards", WithDriver(kDescribed), {false, false, true, false},
       {true, true, false, true}},
      {"no amp information leaves processor boards", WithDriver(std::string(kDescribed) +
                                                                R"(, "ampPresent": false, "processorBoards": true)"),
       {false, true, false, false}, {true, false, false, true}},
      {"no amp information keeps processor boards", WithDriver(std::string(kDescribed) + R"(, "ampPresent": false)"),
       {false, true, true, false}, {true, false, true, true}},
      {"1711 failing keeps both",
       WithDriver(std::string(kDescribed) + R"(, "faults": [{"command": 1711, "fail": true}])"),
       {false, true, true, false}, {true, true, true, true}},
      {"short 1711 answer reads zeros", WithDriver(std::string(kDescribed) +
                                                   R"(, "rawAnswers": [{"command": 1711, "data": "01"}])"),
       {false, false, true, false}, {true, true, false, true}},
      {"zero boards: upper-cased Proc locator", WithDriver(kNoBoards, Locators("Proc 1 DIMM 3")),
       {false, false, false, true}, {true, true, true, false}},
      {"zero boards: cpu locator", WithDriver(kNoBoards, Locators("cpu0_dimm1")), {false, false, false, false},
       {true, true, true, false}},
      {"zero sockets", WithDriver(R"("configuration": {"socketsPerBoard": 0, "boardCount": 2})", Locators("PROC 1")),
       {false, false, false, false}, {true, true, true, false}},
      {"only the first device counts", WithDriver(kNoBoards, Locators("DIMM 1", "PROC 2 DIMM 1")),
       {false, false, false, false}, {true, true, false, false}},
      {"SMBIOS check never clears", WithDriver(std::string(kNoBoards) + R"(, "ampPresent": false)", Locators("DIMM 3")),
       {false, false, true, false}, {true, false, true, false}},
      {"1700 failing runs the SMBIOS check",
       WithDriver(std::string(kDescribed) + R"(, "faults": [{"command": 1700, "fail": true}])", Locators("PROC 2")),
       {false, false, false, false}, {true, true, true, false}},
      {"driver data skips the SMBIOS check", WithDriver(kDescribed, Locators("PROC 2")), {false, false, false, false},
       {true, true, false, true}},
      {"zero boards without SMBIOS", WithDriver(kNoBoards, R"({"present": false})"), {false, false, false, true},
       {true, true, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoadMachine(c.machine);
    g_SmbiosTable.Unload();
    SetFlags(c.before);
    g_MemAmpChecker.ProbePlatform();
    EXPECT_EQ(g_bHealthDriverPresent, c.after.present);
    EXPECT_EQ(g_bAmpStatusValid, c.after.amp);
    EXPECT_EQ(g_bProcessorBoardMemory, c.after.processor);
    EXPECT_EQ(g_bDriverMemoryData, c.after.driverData);
    EXPECT_EQ(g_MemAmpChecker.Result(), c.after.driverData);
  }
}

}  // namespace
