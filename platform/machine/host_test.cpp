// The host machine's own reading: where real locator strings put memory devices, which module a
// label names, and host data that is absurd or damaged.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "machine/host.h"
#include "qzplatform.h"

namespace {

namespace fs = std::filesystem;
using qz::machine::HostLayout;
using qz::machine::SmbiosMemoryDevice;

std::vector<uint8_t> Table(const std::vector<std::pair<std::string, std::string>>& locators) {
  std::vector<SmbiosMemoryDevice> devices;
  for (const auto& [locator, bank] : locators) {
    SmbiosMemoryDevice device;
    device.deviceLocator = locator;
    device.bankLocator = bank;
    device.size = 8192;
    devices.push_back(device);
  }
  return qz::machine::BuildSmbiosTable(devices, 2, 8);
}

std::string Places(const HostLayout& layout) {
  std::string text = layout.processorBoards ? "processor" : "memory";
  for (const auto& d : layout.devices) text += " " + std::to_string(d.board) + "-" + std::to_string(d.socket);
  return text;
}

// Locator pairs as real firmware writes them (device locator, bank locator).
TEST(HostLayout, LocatorsNameTheBoardAndTheSocket) {
  const struct { std::vector<std::pair<std::string, std::string>> locators; std::string places; } cases[] = {
      {{{"P1-DIMMA1", "P0_Node0_Channel0_Dimm0"}, {"P1-DIMMA2", "P0_Node0_Channel0_Dimm1"}, {"P2-DIMME1", "P1_Node1_Channel0_Dimm0"}},
       "processor 1-1 1-2 2-1"},
      {{{"DIMM_A0", "_Node0_Channel0_Dimm0"}, {"DIMM_A1", "_Node0_Channel0_Dimm1"}, {"DIMM_E0", "_Node1_Channel0_Dimm0"}},
       "processor 1-1 1-2 2-1"},
      {{{"DIMM_A1", "NODE 1"}, {"DIMM_B1", "NODE 1"}, {"DIMM_E1", "NODE 2"}}, "processor 1-1 1-2 2-1"},
      {{{"PROC 1 DIMM 2", ""}, {"PROC 1 DIMM 1", ""}, {"PROC 2 DIMM 1", ""}}, "processor 1-2 1-1 2-1"},
      {{{"CPU0_DIMM_A1", ""}, {"CPU1_DIMM_A1", ""}}, "processor 1-1 2-1"},
      {{{"A2", ""}, {"A1", ""}, {"B1", ""}, {"B2", ""}}, "processor 1-2 1-1 2-1 2-2"},
      {{{"A10", ""}, {"A1", ""}}, "processor 1-1 1-2"},
      {{{"DIMM 0", "P0 CHANNEL A"}, {"DIMM 1", "P0 CHANNEL A"}, {"DIMM 0", "P0 CHANNEL B"}}, "processor 1-1 1-2 1-3"},
      {{{"ChannelA-DIMM0", "BANK 0"}, {"ChannelB-DIMM0", "BANK 2"}}, "processor 1-1 1-2"},
      {{{"P1_1A", "0"}, {"P1_1B", "1"}, {"P2_1A", "8"}}, "processor 1-1 1-2 2-1"},
      {{{"Board 1, DIMM 05", ""}, {"Board 1, DIMM 06", ""}, {"Board 2, DIMM 05", ""}}, "memory 1-1 1-2 2-1"},
      {{{"DIMM 1", "CPU 99"}, {"DIMM 2", "CPU 1"}}, "processor 1-1 1-2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.places);
    EXPECT_EQ(Places(qz::machine::LayOutHost(Table(c.locators))), c.places);
  }
}

TEST(HostLayout, LabelsNameOneDeviceOrNone) {
  const HostLayout layout = qz::machine::LayOutHost(
      Table({{"P1-DIMMA1", "P0_Node0_Channel0_Dimm0"}, {"P1-DIMMA2", "P0_Node0_Channel0_Dimm1"},
             {"P2-DIMME1", "P1_Node1_Channel0_Dimm0"}, {"DIMM_Z9", "A_VERY_LONG_BANK_LOCATOR_STRING_X"},
             {"DIMM_Z8", "A_VERY_LONG_BANK_LOCATOR_STRING_X"}, {"DIMM_Y1", "BANK_LOCATOR_OF_THIRTY_ONE_BYTES"}}));
  const struct { std::string label; int device; } cases[] = {
      {"P1-DIMMA2", 1},
      {"P0_Node0_Channel0_Dimm1 P1-DIMMA2", 1},
      {"P0_Node0_Channel0_Dimm0 P1-DIMM", 0},  // cut at 31 bytes, as the kernel cuts them
      {"A_VERY_LONG_BANK_LOCATOR_STRING", -1},  // cut at 31 bytes: Z9 or Z8
      {"BANK_LOCATOR_OF_THIRTY_ONE_BYTE", 5},
      {"BANK_LOCATOR_OF_THIRTY_ONE_BYT", -1},   // 30 bytes: not a cut label
      {"mc#0memory#2", 2},
      {"mc#0memory#6", -1},
      {"CPU_SrcID#0_MC#0_Chan#0_DIMM#1", 1},
      {"CPU_SrcID#1_MC#0_Chan#0_DIMM#0", 2},   // the bank says Node1: the socket, channel and slot still match one
      {"CPU_SrcID#1_MC#0_Chan#1_DIMM#0", -1},
      {"", -1},
      {std::string(4000, 'A'), -1},
  };
  for (const auto& c : cases) EXPECT_EQ(qz::machine::DeviceForLabel(layout, c.label), c.device) << c.label.substr(0, 40);
}

// The rasdaemon tree (DIMM_B1 = board 1, socket 2, with one uncorrected event) damaged in one way
// each: the host still loads, and the module's status follows what can still be read.
TEST(HostData, DamagedOrAbsurdDataStillGivesAMachine) {
  const std::string source = QZ_SOURCE_DIR "/tests/data/hosts/rasdaemon";
  const std::string edac = "/sys/devices/system/edac/mc/mc0/dimm1/";
  const std::string db = "/var/lib/rasdaemon/ras-mc_event.db";
  const struct {
    const char* what;
    std::function<void(const std::string&)> damage;
    size_t devices;
    uint32_t status;  // of socket 2 on board 1
  } cases[] = {
      {"as captured", [](const std::string&) {}, 8, 9},
      {"counters at 2^32-1 without a database",
       [&](const std::string& root) {
         std::ofstream(root + edac + "dimm_ce_count") << "4294967295\n";
         fs::remove(root + db);
       },
       8, 9},
      {"counters that are no numbers and no database",
       [&](const std::string& root) {
         std::ofstream(root + edac + "dimm_ce_count") << "lots\n";
         std::ofstream(root + edac + "dimm_ue_count") << "-3\n";
         fs::remove(root + db);
       },
       8, 2},
      {"an empty database", [&](const std::string& root) { std::ofstream(root + db, std::ios::trunc); }, 8, 2},
      {"a database of another schema",
       [&](const std::string& root) {
         fs::remove(root + db);
         sqlite3* handle = nullptr;
         sqlite3_open((root + db).c_str(), &handle);
         sqlite3_exec(handle, "CREATE TABLE mc_event (serial TEXT, what BLOB); INSERT INTO mc_event VALUES ('x', x'00');"
                      "CREATE TABLE mce_record (nothing INTEGER);", nullptr, nullptr, nullptr);
         sqlite3_close(handle);
       },
       8, 2},
      {"a table cut inside its fifth memory device",
       [&](const std::string& root) {
         const std::string path = root + "/sys/firmware/dmi/tables/DMI";
         std::ifstream in(path, std::ios::binary);
         std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
         size_t at = 0;
         for (int n = 0; n < 5; ++n) at = bytes.find("DIMM_", at + 1);
         std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes.substr(0, at);
       },
       4, 9},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = std::string(QzGetSystemRoot()) + "/damaged" + std::to_string(++n);
    fs::copy(source, root, fs::copy_options::recursive);
    c.damage(root);
    std::string error;
    auto machine = qz::machine::LoadHostMachine(root + "/", qz::machine::HealthRules{10, 0}, error);
    ASSERT_TRUE(machine) << error;
    size_t devices = 0;
    for (const auto& board : machine->driver->boards) devices += board.modules.size();
    EXPECT_EQ(devices, c.devices);
    EXPECT_EQ(machine->driver->boards[0].modules[1].status, c.status);
  }
}

TEST(HostData, ALockedDatabaseIsPassedOverAfterItsBusyWait) {
  const std::string root = std::string(QzGetSystemRoot()) + "/locked";
  fs::copy(QZ_SOURCE_DIR "/tests/data/hosts/rasdaemon", root, fs::copy_options::recursive);
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open((root + "/var/lib/rasdaemon/ras-mc_event.db").c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::string error;
  auto machine = qz::machine::LoadHostMachine(root + "/", qz::machine::HealthRules{10, 0}, error);
  sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(writer);
  ASSERT_TRUE(machine) << error;
  EXPECT_EQ(machine->driver->boards[0].modules[1].status, 2u);
  EXPECT_TRUE(machine->journal.empty());
}

// (A table that is missing or cannot be read is named with its reason by the command's choice of
// machine, which falls back from it.)
TEST(HostData, ATableOfNoWholeStructureNamesTheFile) {
  const std::string empty = std::string(QzGetSystemRoot()) + "/empty/";
  fs::create_directories(empty + "sys/firmware/dmi/tables");
  std::ofstream(empty + "sys/firmware/dmi/tables/DMI");
  std::string error;
  EXPECT_FALSE(qz::machine::LoadHostMachine(empty, qz::machine::HealthRules{}, error));
  EXPECT_EQ(error, empty + "sys/firmware/dmi/tables/DMI: holds no whole SMBIOS structure");
}

}  // namespace
