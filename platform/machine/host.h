// The running Linux host as a machine: its SMBIOS table from sysfs, a health driver that answers from
// that table and from EDAC, memory events from rasdaemon's database, its names and its chassis.
// Everything is read below a root folder that stands for "/" ($QZWMI_HOST_ROOT, for captured trees).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace qz::machine {

// How corrected errors turn into a predictive failure: `threshold` corrected errors of one module
// within the last `windowSeconds` (0: the whole history). $QZWMI_CE_THRESHOLD and
// $QZWMI_CE_WINDOW_HOURS override the defaults.
struct HealthRules {
  uint32_t threshold = 10;
  uint64_t windowSeconds = 24 * 3600;
};
HealthRules HealthRulesFromEnvironment();

// The folder that stands for "/" when the host is read: $QZWMI_HOST_ROOT, else "/" (always ending in '/').
std::string HostRoot();

// The firmware's table and its version from the two sysfs files below `root`; false with `error`
// ("PATH: REASON") when the table cannot be read or holds no whole structure.
bool ReadHostSmbios(const std::string& root, Smbios& smbios, std::string& error);

// Reads the host below `root`. On failure (the SMBIOS table cannot be read) returns null with
// `error` naming the file and the system's reason.
std::shared_ptr<Machine> LoadHostMachine(const std::string& root, const HealthRules& rules, std::string& error);

// One memory device of the host's table, with where the host's driver puts it.
struct HostDevice {
  uint16_t handle = 0;
  size_t offset = 0;                // of its structure in the table
  uint8_t length = 0;
  uint16_t totalWidth = 0, dataWidth = 0;
  uint32_t sizeMiB = 0;             // 0: empty socket
  bool fitted = false;
  uint8_t formFactor = 0, memoryType = 0;
  uint16_t typeDetail = 0;
  uint32_t speed = 0, configuredSpeed = 0;
  std::string locator, bank, manufacturer, serial, part;
  uint32_t board = 0, socket = 0;   // from 1
};

// The host's reading of an SMBIOS table: its memory devices placed on boards and in sockets, and the
// table as it is served (with location records that tie each device to its board and socket).
struct HostLayout {
  std::vector<HostDevice> devices;
  bool processorBoards = true;
  uint8_t errorCorrection = 0;      // type 16 Memory Error Correction of the system memory array (0: none given)
  size_t chassisCount = 0;          // type 3 structures
  std::vector<uint8_t> table;       // the table to serve
};
HostLayout LayOutHost(const std::vector<uint8_t>& table);

// The health of one module and the events that the host recorded.
struct ModuleHealth {
  uint64_t corrected = 0;           // within the window
  uint64_t uncorrected = 0;
  std::string edacMode;             // dimm_edac_mode, when EDAC knows the module
};

// Whether `text` is exactly parts[0], a number, parts[1], a number, ..., the last part (numbers of 1
// to 6 digits), letters compared without case when `ignoreCase`; the numbers go to `numbers`.
bool MatchShape(const std::string& text, std::initializer_list<const char*> parts, std::vector<long>& numbers,
                bool ignoreCase = false);

// Which device (index into layout.devices) an EDAC or rasdaemon label names; -1 for none.
int DeviceForLabel(const HostLayout& layout, const std::string& label);

// Reads EDAC and rasdaemon below `root` into per-device health (parallel to layout.devices) and
// journal entries. `now` is seconds since the epoch.
void ReadHostHealth(const std::string& root, const HostLayout& layout, const HealthRules& rules, int64_t now,
                    std::vector<ModuleHealth>& health, std::vector<JournalEntry>& journal);

// A cheap summary of the host's health sources (EDAC counters, the rasdaemon database's size and
// time): it changes whenever they do.
std::string HostHealthFingerprint(const std::string& root);

}  // namespace qz::machine
