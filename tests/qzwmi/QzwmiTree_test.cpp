// The memory tree: drawn in process from a namespace where associations are missing or leave
// elements out, and by the built qzwmi for the default machine, with and without colours.
#include <gtest/gtest.h>
#include <objbase.h>

#include <regex>

#include "Commands.h"
#include "TreeCommand.h"
#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::RunQzwmi;

std::string WithoutColors(const std::string& text) {
  return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
}

// A server whose module-in-socket, redundancy-set and chassis-socket associations are not
// published: board 2 is in no slot, socket 2 on no board, and no module is known to be in a socket.
constexpr char kPartialMof[] = R"MOF(
#pragma namespace("\\\\.\\root\\TreeTest")
class QZ_WinComputerSystem { [key] string CreationClassName; [key] string Name; };
class QZ_ComputerSystemChassis { [key] string CreationClassName; [key] string Tag; };
class QZ_MemoryCollection { [key] string InstanceID;
  [ValueMap{"0", "2", "3", "6"}, Values{"Unknown", "OK", "Degraded", "Error"}] uint16 GroupOperationalStatus[]; };
class QZ_MemoryBoardSlot { [key] string Tag; string ElementName; };
class QZ_MemoryBoard { [key] string Tag; string ElementName; [ValueMap{"5", "20"}, Values{"OK", "Major failure"}] uint16 HealthState; };
class QZ_MemoryModuleSlot { [key] string Tag; string ElementName; uint16 Number; };
class QZ_MemoryModule { [key] string Tag; string ElementName; uint64 Capacity; uint16 MemoryType; uint32 Speed; uint16 HealthState; };
[Association] class QZ_HostedMemoryCollection { [key] QZ_WinComputerSystem ref Antecedent; [key] QZ_MemoryCollection ref Dependent; };
[Association] class QZ_SystemMemoryBoardSlot { [key] QZ_ComputerSystemChassis ref GroupComponent;
  [key] QZ_MemoryBoardSlot ref PartComponent; };
[Association] class QZ_MemoryBoardInSlot { [key] QZ_MemoryBoardSlot ref Antecedent; [key] QZ_MemoryBoard ref Dependent; };
[Association] class QZ_MemoryModuleSlotOnBoard { [key] QZ_MemoryBoard ref GroupComponent; [key] QZ_MemoryModuleSlot ref PartComponent; };
instance of QZ_WinComputerSystem { CreationClassName = "QZ_WinComputerSystem"; Name = "mem01"; };
instance of QZ_ComputerSystemChassis { CreationClassName = "QZ_ComputerSystemChassis"; Tag = "Chassis 0"; };
instance of QZ_MemoryCollection { InstanceID = "C"; GroupOperationalStatus = {6}; };
instance of QZ_MemoryBoardSlot { Tag = "S1"; ElementName = "Slot 1"; };
instance of QZ_MemoryBoardSlot { Tag = "S2"; ElementName = "Slot 2"; };
instance of QZ_MemoryBoard { Tag = "B1"; ElementName = "Board 1"; HealthState = 5; };
instance of QZ_MemoryBoard { Tag = "B2"; ElementName = "Board 2"; HealthState = 20; };
instance of QZ_MemoryModuleSlot { Tag = "K1"; ElementName = "Socket 1 of board 1"; Number = 1; };
instance of QZ_MemoryModuleSlot { Tag = "K2"; ElementName = "Loose socket"; Number = 2; };
instance of QZ_MemoryModule { Tag = "M1"; ElementName = "Module 1"; Capacity = 8589934592; MemoryType = 0; Speed = 0; };
instance of QZ_HostedMemoryCollection { Dependent = "QZ_MemoryCollection.InstanceID=\"C\"";
  Antecedent = "QZ_WinComputerSystem.CreationClassName=\"QZ_WinComputerSystem\",Name=\"mem01\""; };
instance of QZ_SystemMemoryBoardSlot { PartComponent = "QZ_MemoryBoardSlot.Tag=\"S1\"";
  GroupComponent = "\\\\.\\root\\TreeTest:QZ_ComputerSystemChassis.CreationClassName=\"QZ_ComputerSystemChassis\",Tag=\"Chassis 0\""; };
instance of QZ_SystemMemoryBoardSlot { PartComponent = "QZ_MemoryBoardSlot.Tag=\"S2\"";
  GroupComponent = "QZ_ComputerSystemChassis.CreationClassName=\"QZ_ComputerSystemChassis\",Tag=\"Chassis 0\""; };
instance of QZ_MemoryBoardInSlot { Antecedent = "QZ_MemoryBoardSlot.Tag=\"S1\""; Dependent = "QZ_MemoryBoard.Tag=\"B1\""; };
instance of QZ_MemoryModuleSlotOnBoard { GroupComponent = "QZ_MemoryBoard.Tag=\"B1\""; PartComponent = "QZ_MemoryModuleSlot.Tag=\"K1\""; };
)MOF";

TEST(QzwmiTree, MissingAssociationsLeaveAUsefulTreeAndAreNamed) {
  const std::string path = qzwmitest::RootFile("partial.mof");
  qzwmitest::WriteWholeFile(path, kPartialMof);
  char error[512] = "";
  ASSERT_EQ(QzCompileMofFile(path.c_str(), FALSE, error, sizeof error), WBEM_S_NO_ERROR) << error;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IWbemServices* services = nullptr;
  ASSERT_EQ(qzwmi::Connect(L"root\\TreeTest", &services), WBEM_S_NO_ERROR);
  std::string plain, colored;
  EXPECT_EQ(qzwmi::DrawMemoryTree(services, false, &plain), WBEM_S_NO_ERROR);
  EXPECT_EQ(qzwmi::DrawMemoryTree(services, true, &colored), WBEM_S_NO_ERROR);
  services->Release();
  CoUninitialize();
  EXPECT_EQ(plain,
            "Computer system mem01\n"
            "|-- Memory collection: Error\n"
            "|-- Chassis 0\n"
            "|   |-- Slot 1\n"
            "|   |   `-- Board 1: OK\n"
            "|   |       `-- Socket 1: module unknown\n"
            "|   `-- Slot 2: empty\n"
            "|-- Boards in no slot\n"
            "|   `-- Board 2: Major failure\n"
            "|-- Sockets on no board\n"
            "|   `-- Loose socket: module unknown\n"
            "`-- Modules in no socket\n"
            "    `-- Module 1: 8 GiB, health unknown\n"
            "Not available: QZ_HostedMemoryRedundancySet (WBEM_E_INVALID_CLASS (0x80041010))\n"
            "Not available: QZ_MemoryModuleInSlot (WBEM_E_INVALID_CLASS (0x80041010))\n"
            "Not available: QZ_SystemMemoryModuleSlot (WBEM_E_INVALID_CLASS (0x80041010))\n");
  EXPECT_EQ(WithoutColors(colored), plain);
  EXPECT_NE(colored.find("Board 2\x1b[0m: \x1b[31mMajor failure\x1b[0m"), std::string::npos) << colored;
}

#ifdef QZWMI_HAS_MODULE
TEST(QzwmiTree, DefaultMachineIsDrawnFromItsAssociations) {
  const std::string expected =
      "Computer system qz-server.example.net\n"
      "|-- Memory collection: Degraded\n"
      "|-- Redundancy set: Advanced ECC, degraded redundancy\n"
      "`-- Chassis 0\n"
      "    |-- Memory Board Slot 1\n"
      "    |   `-- Physical Memory Board 1: OK\n"
      "    |       |-- Socket 1: 8 GiB DDR3 1333 MHz, OK\n"
      "    |       |-- Socket 2: 8 GiB DDR3 1333 MHz, OK\n"
      "    |       |-- Socket 3: 8 GiB DDR3 1333 MHz, OK\n"
      "    |       |-- Socket 4: 8 GiB DDR3 1333 MHz, OK\n"
      "    |       |-- Socket 5: 4 GiB DDR3 1333 MHz, OK\n"
      "    |       |-- Socket 6: 4 GiB DDR3 1333 MHz, OK\n"
      "    |       |-- Socket 7: empty\n"
      "    |       `-- Socket 8: empty\n"
      "    `-- Memory Board Slot 2\n"
      "        `-- Physical Memory Board 2: Degraded/Warning\n"
      "            |-- Socket 1: 8 GiB DDR3 1333 MHz, OK\n"
      "            |-- Socket 2: 8 GiB DDR3 1333 MHz, OK\n"
      "            |-- Socket 3: 8 GiB DDR3 1333 MHz, Degraded/Warning\n"
      "            |-- Socket 4: 8 GiB DDR3 1333 MHz, OK\n"
      "            |-- Socket 5: 4 GiB DDR3 1333 MHz, OK\n"
      "            |-- Socket 6: 4 GiB DDR3 1333 MHz, OK\n"
      "            |-- Socket 7: empty\n"
      "            `-- Socket 8: empty\n";
  qzwmitest::ExpectRun({"tree", "--color", "never"}, 0, expected, "");
  // Standard output is a file here: "auto" stays plain.
  qzwmitest::ExpectRun({"tree"}, 0, expected, "");
  qzwmitest::Outcome always = RunQzwmi({"tree", "--color", "always"});
  EXPECT_EQ(always.status, 0) << always.err;
  EXPECT_NE(always.out, expected);
  EXPECT_EQ(WithoutColors(always.out), expected);
}
#endif

}  // namespace
