// The host machine, measured on a server of 2 processors x 16 DIMMs with a native EDAC driver and a
// rasdaemon database of 1,000 events: reading the whole host, and the watcher's look at rest.
#include <benchmark/benchmark.h>
#include <qzplatform.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "machine/host.h"

namespace {

namespace fs = std::filesystem;

void Write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A folder removed when the process ends.
struct TreeFolder {
  std::string path;
  ~TreeFolder() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

// The tree, made once per process in a folder of its own.
const std::string& ServerTree() {
  static TreeFolder made;
  static const std::string root = [] {
    char pattern[] = "/tmp/qzbench-host-XXXXXX";
    const std::string folder = std::string(mkdtemp(pattern)) + "/";
    made.path = folder;
    std::vector<qz::machine::SmbiosMemoryDevice> devices;
    for (int socket = 0; socket < 2; ++socket) {
      for (int channel = 0; channel < 8; ++channel) {
        for (int slot = 0; slot < 2; ++slot) {
          qz::machine::SmbiosMemoryDevice d;
          d.deviceLocator = "P" + std::to_string(socket + 1) + "-DIMM" + std::string(1, char('A' + channel)) + std::to_string(slot + 1);
          d.bankLocator = "P" + std::to_string(socket) + "_Node" + std::to_string(socket) + "_Channel" + std::to_string(channel) +
                          "_Dimm" + std::to_string(slot);
          d.size = 32768;
          d.speed = d.configuredSpeed = 3200;
          d.partNumber = "M393A4K40DB3-CWE";
          d.serialNumber = "S" + std::to_string(devices.size());
          devices.push_back(d);
          const std::string dimm = folder + "sys/devices/system/edac/mc/mc" + std::to_string(socket) + "/dimm" +
                                   std::to_string(channel * 2 + slot) + "/";
          Write(dimm + "dimm_label", "CPU_SrcID#" + std::to_string(socket) + "_MC#" + std::to_string(socket) + "_Chan#" +
                                         std::to_string(channel) + "_DIMM#" + std::to_string(slot) + "\n");
          Write(dimm + "dimm_ce_count", "0\n");
          Write(dimm + "dimm_ue_count", "0\n");
          Write(dimm + "dimm_edac_mode", "S4ECD4ED\n");
        }
      }
      Write(folder + "sys/devices/system/edac/mc/mc" + std::to_string(socket) + "/mc_name", "Skylake Socket#0 IMC#0\n");
    }
    const std::vector<uint8_t> table = qz::machine::BuildSmbiosTable(devices, 3, 2);
    Write(folder + "sys/firmware/dmi/tables/DMI", std::string(table.begin(), table.end()));
    Write(folder + "proc/sys/kernel/hostname", "bench-host\n");
    fs::create_directories(folder + "var/lib/rasdaemon");
    sqlite3* db = nullptr;
    sqlite3_open((folder + "var/lib/rasdaemon/ras-mc_event.db").c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE mc_event (id INTEGER PRIMARY KEY, timestamp TEXT, err_count INTEGER, err_type TEXT, "
                 "err_msg TEXT, label TEXT, mc INTEGER, top_layer INTEGER, middle_layer INTEGER, lower_layer INTEGER, "
                 "address INTEGER, grain INTEGER, syndrome INTEGER, driver_detail TEXT); BEGIN;",
                 nullptr, nullptr, nullptr);
    for (int i = 0; i < 1000; ++i) {
      const std::string row = "INSERT INTO mc_event (timestamp, err_count, err_type, err_msg, label, mc) VALUES "
                              "('2024-03-02 08:15:02 +0000', 1, 'Corrected', 'memory read error', 'CPU_SrcID#" +
                              std::to_string(i % 2) + "_MC#" + std::to_string(i % 2) + "_Chan#" + std::to_string(i % 8) +
                              "_DIMM#0', " + std::to_string(i % 2) + ")";
      sqlite3_exec(db, row.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return folder;
  }();
  return root;
}

void BM_LoadHostMachine(benchmark::State& state) {
  const std::string& root = ServerTree();
  size_t modules = 0;
  for (auto _ : state) {
    std::string error;
    auto machine = qz::machine::LoadHostMachine(root, qz::machine::HealthRules{}, error);
    if (!machine) {
      state.SkipWithError(error.c_str());
      return;
    }
    modules = 0;
    for (const auto& board : machine->driver->boards) modules += board.modules.size();
  }
  state.counters["modules"] = static_cast<double>(modules);
}
BENCHMARK(BM_LoadHostMachine)->Unit(benchmark::kMillisecond);

// What the watcher does every interval while nothing changes.
void BM_WatcherLookAtRest(benchmark::State& state) {
  const std::string& root = ServerTree();
  for (auto _ : state) benchmark::DoNotOptimize(qz::machine::HostHealthFingerprint(root));
}
BENCHMARK(BM_WatcherLookAtRest)->Unit(benchmark::kMicrosecond);

}  // namespace
