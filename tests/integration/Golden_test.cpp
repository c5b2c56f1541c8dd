// The command on every bundled machine: what `qzwmi enum QZ_MemoryModule` and `qzwmi get` print,
// byte for byte, against the golden outputs in tests/golden. QZ_UPDATE_GOLDEN=1 writes them anew
// (then read the differences before committing them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/qzwmi/QzwmiRun.h"

namespace {

struct GoldenCase {
  const char* machine;
  const char* tag;  // the module that `get` asks for
};

const GoldenCase kCases[] = {
    {"default", "VXN:QZ_MemoryModule:2-3"},            // the module with a predictive failure
    {"processor-boards", "VXN:QZ_MemoryModule:2-1"},
    {"smbios-only", "VXN:QZ_MemoryModule:1-2"},
    {"no-driver", "VXN:QZ_MemoryModule:1-1"},          // no driver: no modules, so not found
    {"real-dump", "VXN:QZ_MemoryModule:0-0"},          // tags repeat on this server: the first one
};

// What a run printed, as it is compared: standard output, then the status and standard error.
std::string Transcript(const qzwmitest::Outcome& outcome) {
  return outcome.out + "--- exit status " + std::to_string(outcome.status) + "\n" + outcome.err;
}

void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::string path = std::string(QZ_GOLDEN_DIR) + "/" + name + ".txt";
  if (std::getenv("QZ_UPDATE_GOLDEN")) qzwmitest::WriteWholeFile(path, actual);
  EXPECT_EQ(actual, qzwmitest::ReadWholeFile(path)) << "golden output " << path;
}

class GoldenOutput : public testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenOutput, EnumerationAndLookupByPath) {
  const GoldenCase& c = GetParam();
  const std::string machine = std::string(QZ_MACHINES_DIR) + "/" + c.machine + ".json";
  ExpectGolden(std::string(c.machine) + ".enum", Transcript(qzwmitest::RunQzwmi({"--machine", machine, "enum", "QZ_MemoryModule"})));
  const std::string path =
      std::string("QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"") + c.tag + "\"";
  ExpectGolden(std::string(c.machine) + ".get", Transcript(qzwmitest::RunQzwmi({"--machine", machine, "get", path})));
}

INSTANTIATE_TEST_SUITE_P(BundledMachines, GoldenOutput, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<GoldenCase>& info) {
                           std::string name = info.param.machine;
                           for (char& ch : name) if (ch == '-') ch = '_';
                           return name;
                         });

TEST(GoldenOutput, JsonOfTheDefaultServer) {
  const std::string machine = std::string(QZ_MACHINES_DIR) + "/default.json";
  ExpectGolden("default.json",
               Transcript(qzwmitest::RunQzwmi({"--machine", machine, "--format", "json", "get",
                                               "QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\","
                                               "Tag=\"VXN:QZ_MemoryModule:1-1\""})));
}

}  // namespace
