// The views people read, byte for byte against tests/golden/views-<machine>.txt and
// tests/golden/classes.txt (QZ_UPDATE_GOLDEN=1 writes them anew), and every example of the README
// run as a user would run it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/qzwmi/QzwmiRun.h"

#ifdef QZWMI_HAS_MODULE
namespace {

using qzwmitest::ExpectGolden;
using qzwmitest::Outcome;
using qzwmitest::RunQzwmi;

std::string Transcript(const std::vector<std::string>& args) {
  // Without a terminal the table has no width limit, whatever the environment says.
  unsetenv("COLUMNS");
  const Outcome run = RunQzwmi(args);
  std::string line = "=== qzwmi";
  for (size_t i = 0; i < args.size(); ++i) line += " " + (args[i].find(QZ_MACHINES_DIR) == 0 ? "M" : args[i]);
  return line + "\n" + run.out + "--- exit status " + std::to_string(run.status) + "\n" + run.err;
}

class Views : public testing::TestWithParam<const char*> {};

TEST_P(Views, TablesAndCsvOfTheMainClasses) {
  const std::string machine = std::string(QZ_MACHINES_DIR) + "/" + GetParam() + ".json";
  std::string transcript;
  for (const char* cls : {"QZ_MemoryModule", "QZ_MemoryBoard", "QZ_MemoryModuleSlot", "QZ_MemoryRedundancySet",
                          "QZ_MemoryCollection", "QZ_WinMemory", "QZ_MemoryModuleInSlot"})
    transcript += Transcript({"--machine", machine, "enum", cls, "--format", "table"});
  transcript += Transcript({"--machine", machine, "enum", "QZ_MemoryModule", "--format", "csv"});
  transcript += Transcript({"--machine", machine, "enum", "QZ_MemoryBoard", "--format", "csv", "--decode"});
  ExpectGolden(std::string("views-") + GetParam(), transcript);
}

INSTANTIATE_TEST_SUITE_P(BundledMachines, Views, testing::ValuesIn(qzwmitest::kGoldenMachines),
                         qzwmitest::GoldenTestName);

TEST(Views, ClassesTheirDescriptionsAndDecodedJson) {
  std::string transcript = Transcript({"classes", "--format", "table"});
  for (const char* cls : {"QZ_MemoryModule", "QZ_MemoryBoard", "QZ_MemoryModuleSlot", "QZ_MemoryBoardSlot",
                          "QZ_MemoryModuleSlotLocation", "QZ_MemoryRedundancySet", "QZ_MemoryCollection",
                          "QZ_WinMemory", "QZ_MemoryModuleInSlot"})
    transcript += Transcript({"describe", cls});
  transcript += Transcript({"get", "QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:2-3\"",
                            "--format", "json", "--decode", "-p", "Tag,Capacity,MemoryType,HealthState,OperationalStatus"});
  transcript += Transcript({"query", "SELECT * FROM meta_class WHERE __CLASS = 'QZ_WinMemory'"});
  ExpectGolden("classes", transcript);
}

// Text of the description reaches the views as written: UTF-8 once, a tab escaped in the list.
TEST(Views, MachineTextsKeepTheirCharacters) {
  const std::string machine = qzwmitest::RootFile("texts.json");
  qzwmitest::WriteWholeFile(machine, R"({"driver": {"boards": [{"modules": [{"sizeMiB": 4096, "manufacturer": "Müller",
                                          "partNumber": "A\tB"}]}]}})");
  qzwmitest::ExpectRun({"--machine", machine, "enum", "QZ_MemoryModule", "-p", "Manufacturer,PartNumber"}, 0,
                       "Manufacturer = Müller\nPartNumber = A\\tB\n", "");
}

// The README's command lines that run scripts/run.sh with arguments, run with the built command
// from the repository's folder, as a fresh clone has it.
TEST(Readme, EveryExampleRuns) {
  std::ifstream readme(std::string(QZ_SOURCE_DIR) + "/README.md");
  std::string line;
  int examples = 0;
  while (std::getline(readme, line)) {
    const std::string prefix = "scripts/run.sh ";
    if (line.rfind(prefix, 0) != 0) continue;
    std::string command = line.substr(prefix.size());
    // The comment after a command is for the reader.
    for (size_t quote = 0, i = 0; i < command.size(); ++i) {
      if ((command[i] == '\'' || command[i] == '"') && (!quote || quote == static_cast<size_t>(command[i])))
        quote = quote ? 0 : command[i];
      if (!quote && command[i] == '#') {
        command.resize(i);
        break;
      }
    }
    if (command.find_first_not_of(' ') == std::string::npos) continue;
    ++examples;
    const Outcome run = qzwmitest::RunProgram(
        "sh", {"-c", std::string("cd '") + QZ_SOURCE_DIR + "' && '" + QZWMI_PATH + "' " + command});
    EXPECT_EQ(run.status, 0) << command << "\n" << run.err;
    EXPECT_EQ(run.err, "") << command;
    EXPECT_NE(run.out, "") << command;
  }
  EXPECT_GE(examples, 9);
}

}  // namespace
#endif
