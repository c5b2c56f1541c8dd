// Which machine qzwmi manages when it starts: --machine, else $QZWMI_MACHINE, else this host when
// its SMBIOS table is readable, else the bundled server with one line on standard error.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::Outcome;
using qzwmitest::RunQzwmi;

const std::string kHosts = QZ_SOURCE_DIR "/tests/data/hosts/";

TEST(QzwmiMachineChoice, OptionThenVariableThenHostThenTheBundledServer) {
  const struct {
    const char* option;    // --machine, or nullptr
    const char* variable;  // $QZWMI_MACHINE, or nullptr
    const char* hostTree;  // $QZWMI_HOST_ROOT below tests/data/hosts
    std::string name;      // the computer system's name that the machine gives
    std::string err;
  } cases[] = {
      {nullptr, nullptr, "no-edac", "web-3", ""},
      {"host", QZ_MACHINES_DIR "/default.json", "smbios3-only", "edge-01", ""},
      {nullptr, QZ_MACHINES_DIR "/processor-boards.json", "no-edac", "qz-proc.example.net", ""},
      {QZ_MACHINES_DIR "/default.json", nullptr, "unreadable", "qz-server.example.net", ""},
      {nullptr, nullptr, "unreadable", "qz-server.example.net",
       "qzwmi: showing the bundled example server " QZ_MACHINES_DIR "/default.json, not this host: " + kHosts +
           "unreadable/sys/firmware/dmi/tables/DMI: Is a directory\n"},
      {nullptr, nullptr, "no-such-tree", "qz-server.example.net",
       "qzwmi: showing the bundled example server " QZ_MACHINES_DIR "/default.json, not this host: " + kHosts +
           "no-such-tree/sys/firmware/dmi/tables/DMI: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.hostTree) + " " + (c.option ? c.option : "-") + " " + (c.variable ? c.variable : "-"));
    if (c.variable) setenv("QZWMI_MACHINE", c.variable, 1);
    else unsetenv("QZWMI_MACHINE");
    setenv("QZWMI_HOST_ROOT", (kHosts + c.hostTree).c_str(), 1);
    std::vector<std::string> args;
    if (c.option) args = {"--machine", c.option};
    args.insert(args.end(), {"query", "SELECT Name FROM QZ_WinComputerSystem"});
    Outcome run = RunQzwmi(args);
    EXPECT_EQ(run.status, 0);
    // A projected result keeps its keys, so that its path names the instance.
    EXPECT_EQ(run.out, "CreationClassName = QZ_WinComputerSystem\nName = " + c.name + "\n");
    EXPECT_EQ(run.err, c.err);
  }
}

}  // namespace
