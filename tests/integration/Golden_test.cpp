// The command on every bundled machine: for each class the module serves, what `qzwmi enum` prints,
// and what `qzwmi get` prints for the first instance's path, byte for byte against the golden file
// tests/golden/<machine>.txt. QZ_UPDATE_GOLDEN=1 writes them anew (then read the differences before
// committing them).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>

#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::ExpectGolden;

const char* const kClasses[] = {"QZ_MemoryModule",        "QZ_MemoryBoard",      "QZ_MemoryModuleSlot",
                                "QZ_MemoryBoardSlot",     "QZ_MemoryRedundancySet", "QZ_MemoryCollection",
                                "QZ_MemoryModuleSlotLocation", "QZ_MemoryBoardSlotLocation",
                                "QZ_MemoryModuleSlotElementLocation", "QZ_MemoryBoardSlotElementLocation",
                                "QZ_WinMemory",           "QZ_WinSystemMemory",
                                "QZ_HostedMemoryCollection", "QZ_MemberOfMemoryCollection",
                                "QZ_MemberOfMemoryRedundancySet", "QZ_HostedMemoryRedundancySet",
                                "QZ_RealizesMemoryModule", "QZ_MemoryModuleInSlot", "QZ_MemoryBoardInSlot",
                                "QZ_MemoryModuleSlotOnBoard", "QZ_SystemMemoryModuleSlot", "QZ_SystemMemoryBoardSlot"};

// What a run printed, as it is compared: standard output, then the status and standard error.
std::string Transcript(const qzwmitest::Outcome& outcome) {
  return outcome.out + "--- exit status " + std::to_string(outcome.status) + "\n" + outcome.err;
}

class GoldenOutput : public testing::TestWithParam<const char*> {};

TEST_P(GoldenOutput, EveryClassEnumeratedAndItsFirstInstanceByPath) {
  const std::string machine = std::string(QZ_MACHINES_DIR) + "/" + GetParam() + ".json";
  std::string transcript;
  for (const char* cls : kClasses) {
    transcript += std::string("=== enum ") + cls + "\n" + Transcript(qzwmitest::RunQzwmi({"--machine", machine, "enum", cls}));
    const qzwmitest::Outcome json = qzwmitest::RunQzwmi({"--machine", machine, "--format", "json", "enum", cls});
    const nlohmann::json instances = nlohmann::json::parse(json.out, nullptr, false);
    if (!instances.is_array() || instances.empty() || !instances[0]["__PATH"].is_string()) continue;
    const std::string path = instances[0]["__PATH"].get<std::string>();
    transcript += "=== get " + path + "\n" + Transcript(qzwmitest::RunQzwmi({"--machine", machine, "get", path}));
  }
  ExpectGolden(GetParam(), transcript);
}

INSTANTIATE_TEST_SUITE_P(BundledMachines, GoldenOutput, testing::ValuesIn(qzwmitest::kGoldenMachines),
                         qzwmitest::GoldenTestName);

TEST(GoldenOutput, JsonOfOneModule) {
  const std::string machine = std::string(QZ_MACHINES_DIR) + "/default.json";
  ExpectGolden("default.json",
               Transcript(qzwmitest::RunQzwmi({"--machine", machine, "--format", "json", "get",
                                               "QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\","
                                               "Tag=\"VXN:QZ_MemoryModule:2-3\""})));
}

}  // namespace
