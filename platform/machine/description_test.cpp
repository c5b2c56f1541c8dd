// Machine descriptions: the defaults a description leaves to the reader, the
// messages for malformed descriptions, and which machine a process starts with.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "machine/machine.h"
#include "qzplatform.h"
#include "tests/support/PlatformTest.h"

namespace {

using qz::machine::Machine;

std::shared_ptr<Machine> Parse(const std::string& text, std::string* error = nullptr) {
  std::string message;
  std::shared_ptr<Machine> machine = qz::machine::ParseMachine(text, "test.json", message);
  if (error) *error = message;
  EXPECT_TRUE(machine || error) << message;
  return machine;
}

TEST(MachineDescriptions, DriverDefaultsFollowFromTheBoards) {
  std::shared_ptr<Machine> machine = Parse(R"({"driver": {"boards": [
      {"modules": [{"sizeMiB": 4096}, {"sizeMiB": 2048, "present": false}, {"socket": 7, "sizeMiB": 1024}]},
      {"index": 5}, {"number": 0}]}})");
  ASSERT_TRUE(machine);
  const qz::machine::HealthDriver& driver = *machine->driver;
  ASSERT_EQ(driver.boards.size(), 3u);
  // Per board: index, number, status, total and available memory; then the module sockets of the
  // first board, and the configuration and protection that follow from them.
  std::vector<uint32_t> seen;
  for (const auto& board : driver.boards)
    seen.insert(seen.end(), {board.index, board.number, board.status, board.totalMemory, board.availableMemory});
  for (const auto& module : driver.boards[0].modules) seen.push_back(module.socket);
  seen.insert(seen.end(), {driver.configuration.socketsPerBoard, driver.configuration.boardCount,
                           driver.protection.totalMemory, driver.protection.availableMemory});
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 1, 0, 5120, 5120, 5, 5, 0, 0, 0, 6, 0, 0, 0, 0,  // boards
                                         1, 2, 7, 7, 3, 5120, 5120}));

  std::shared_ptr<Machine> bare = Parse("{}");
  ASSERT_TRUE(bare);
  EXPECT_EQ((std::vector<bool>{bare->driver.has_value(), bare->smbios.present, bare->dataStore.present,
                               bare->dataStore.dataAvailable}),
            (std::vector<bool>{false, false, true, true}));
}

TEST(MachineDescriptions, MalformedOnesNameFileFieldAndProblem) {
  struct Case { std::string text, message; };
  const Case cases[] = {
      {"{\n  \"driver\": {\n    \"boards\": [}\n}",
       "test.json: line 3, column 16: syntax error while parsing value - unexpected '}'; expected '[', '{', or a "
       "literal"},
      {R"({"driver": {"bords": []}})", "test.json: driver.bords: unknown field"},
      {R"({"answerDelayMs": [1]})", "test.json: answerDelayMs: expected an object of class names and milliseconds"},
      {R"({"driver": {"boards": [{}, {"modules": [{"sizeMiB": 4294967296}]}]}})",
       "test.json: driver.boards[1].modules[0].sizeMiB: expected an unsigned number below 2^32"},
      {R"({"driver": {"boards": [{"index": 256}]}})",
       "test.json: driver.boards[0].index: expected a board index below 256"},
      {R"({"driver": {"boards": [{"present": 1}]}})", "test.json: driver.boards[0].present: expected true or false"},
      {R"({"driver": {"boards": [{"index": 2}, {}, {"index": 3}]}})",
       "test.json: driver.boards[2]: board index 3 is described twice"},
      {R"({"driver": {"faults": [{"fail": true}]}})", "test.json: driver.faults[0].command: missing"},
      {R"({"driver": {"rawAnswers": [{"command": 1700, "data": "0a0g"}]}})",
       "test.json: driver.rawAnswers[0].data: expected pairs of hex digits, found 'g'"},
      {R"({"journal": [{"rawData": "0a 0"}]})",
       "test.json: journal[0].rawData: expected pairs of hex digits, found a lone digit at the end"},
      {R"({"driver": {"boards": [{"modules": [{"partNumber": "123456789012345678901234567890123"}]}]}})",
       "test.json: driver.boards[0].modules[0].partNumber: longer than 32 bytes"},
      {R"({"smbios": {"file": "missing.bin"}})", "test.json: smbios.file: missing.bin: cannot be opened"},
      {R"({"smbios": {"file": "x.bin", "present": false}})",
       "test.json: smbios: expected exactly one of \"file\", \"devices\", \"fromDriver\" or \"present\""},
      {R"({"smbios": {"fromDriver": true}})", "test.json: smbios.fromDriver: the machine has no health driver"},
      {R"({"dataStore": {"present": false, "ready": true}})", "test.json: dataStore.ready: unknown field"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    EXPECT_FALSE(Parse(c.text, &error));
    EXPECT_EQ(error, c.message);
  }
}

TEST(CurrentMachine, ComesFromTheEnvironmentElseTheDefault) {
  struct Case { const char* variable; const char* name; bool driver; };  // variable null: unset
  const Case cases[] = {
      {QZ_MACHINES_DIR "/no-driver.json", "server without health driver", false},
      {QZ_MACHINES_DIR "/does-not-exist.json", "empty machine", false},
      {nullptr, "default server", true},
      {"", "default server", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable ? c.variable : "(unset)");
    c.variable ? setenv("QZWMI_MACHINE", c.variable, 1) : unsetenv("QZWMI_MACHINE");
    qz::machine::SetMachine(nullptr);
    std::shared_ptr<const Machine> machine = qz::machine::Current();
    ASSERT_TRUE(machine);
    EXPECT_EQ(std::tuple(machine->name, machine->driver.has_value(), machine->dataStore.present,
                         machine->dataStore.dataAvailable),
              std::tuple(std::string(c.name), c.driver, true, true));
  }
  unsetenv("QZWMI_MACHINE");
  qz::machine::SetMachine(nullptr);
}

TEST(CurrentMachine, AFailedLoadKeepsTheCurrentOne) {
  ASSERT_TRUE(QzLoadMachine(QZ_MACHINES_DIR "/no-driver.json", nullptr, 0));
  std::shared_ptr<const Machine> before = qz::machine::Current();
  char error[16];
  std::fill(std::begin(error), std::end(error), 'x');
  QZ_EXPECT_LAST_ERROR(QzLoadMachineText(R"({"driver": {"bords": []}})", "t.json", error, sizeof error),
                       FALSE, ERROR_INVALID_DATA);
  EXPECT_STREQ(error, "t.json: driver.");  // cut to the buffer, terminated
  EXPECT_FALSE(QzLoadMachine(QZ_MACHINES_DIR "/does-not-exist.json", nullptr, 0));
  EXPECT_EQ(qz::machine::Current(), before);
  EXPECT_TRUE(QzLoadMachineText(R"({"name": "inline"})", nullptr, nullptr, 0));
  EXPECT_EQ(qz::machine::Current()->name, "inline");
}

}  // namespace
