// Fuzzes the SMBIOS structure walk and what reads it: any bytes held as the table are indexed and
// read without a read outside the table, every copy stays within the structure and the buffer, every
// string number gives a string or the empty one, the memory devices are collected and located, and
// the location-token parser reads any text. The same bytes are also the DMI table of a host, read
// with a module label and counters taken from them: the host's layout places every device it keeps
// on its own board and socket, and serves a table of whole structures.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "machine/host.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Reads every structure of `type` until the walk says there is none, with a buffer of `capacity`.
void ReadAll(BYTE type, BYTE capacity) {
  for (WORD index = 0;; ++index) {
    // A heap buffer of exactly the capacity, so that the sanitizer sees any byte written past it.
    std::vector<BYTE> buffer(capacity ? capacity : 1);
    BYTE length = capacity;
    SmbiosStrings strings;
    if (!g_SmbiosTable.FindStructure(type, index, buffer.data(), length, strings)) {
      Check(length == capacity);
      return;
    }
    Check(length <= capacity);
    Check(length == capacity || length == buffer[1]);
    Check(length < 1 || buffer[0] == type);
    Check(!strings.empty() && strings[0].empty());
    for (unsigned number = 0; number < 256; ++number) {
      std::wstring text = CSmbiosTable::GetString(static_cast<BYTE>(number), strings);
      if (number == 0 || number >= strings.size()) Check(text.empty());
      else Check(text == strings[number] && !text.empty());
    }
  }
}

void Write(const std::string& path, const void* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// The host tree's folder, removed when the fuzzer ends.
struct TreeFolder {
  std::string path;
  ~TreeFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

// A host tree in a folder of its own: the table, one EDAC module whose label is the first 31 bytes
// of the input and whose counters stand at 2^32-1, and a rasdaemon database that is not one.
const std::string& HostTree() {
  static TreeFolder made;
  static const std::string root = [] {
    char pattern[] = "/tmp/smbios-fuzz-host-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    std::string folder = pattern;
    made.path = folder;
    for (const char* sub : {"/sys", "/sys/firmware", "/sys/firmware/dmi", "/sys/firmware/dmi/tables", "/sys/devices",
                            "/sys/devices/system", "/sys/devices/system/edac", "/sys/devices/system/edac/mc",
                            "/sys/devices/system/edac/mc/mc0", "/sys/devices/system/edac/mc/mc0/dimm0", "/var",
                            "/var/lib", "/var/lib/rasdaemon"})
      mkdir((folder + sub).c_str(), 0700);
    const std::string dimm = folder + "/sys/devices/system/edac/mc/mc0/dimm0/";
    Write(dimm + "dimm_ce_count", "4294967295\n", 11);
    Write(dimm + "dimm_ue_count", "4294967295\n", 11);
    Write(folder + "/sys/devices/system/edac/mc/mc0/mc_name", "ghes_edac\n", 10);
    Write(folder + "/var/lib/rasdaemon/ras-mc_event.db", "not a database", 14);
    return folder + "/";
  }();
  return root;
}

void CheckHost(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> table(data, data + size);
  const qz::machine::HostLayout layout = qz::machine::LayOutHost(table);
  std::set<std::pair<uint32_t, uint32_t>> places;
  for (const qz::machine::HostDevice& d : layout.devices) {
    Check(d.board <= 255 && d.socket <= 255);
    if (d.board) Check(places.insert({d.board, d.socket}).second);
  }
  qz::machine::HostLayout again = qz::machine::LayOutHost(layout.table);
  Check(again.devices.size() == layout.devices.size());

  const std::string& root = HostTree();
  Write(root + "sys/firmware/dmi/tables/DMI", data, size);
  Write(root + "sys/devices/system/edac/mc/mc0/dimm0/dimm_label", data, size < 31 ? size : 31);
  std::string error;
  auto machine = qz::machine::LoadHostMachine(root, qz::machine::HealthRules{}, error);
  Check(machine ? error.empty() : !error.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckHost(data, size);
  if (!g_SmbiosTable.SetTableForTesting(std::vector<BYTE>(data, data + size))) {
    Check(size == 0 || size > 0xFFFF);
    return 0;
  }
  ReadAll(kSmbiosTypeMemoryDevice, kType17CopyLength);
  ReadAll(kSmbiosTypeMemoryDeviceMappedAddress, kType20CopyLength);
  ReadAll(kSmbiosTypeMemoryModuleLocation, kType202CopyLength);
  ReadAll(data[0], 255);
  ReadAll(data[0], 0);

  MemoryDeviceList devices;
  const bool found = CollectMemoryDevices(devices);
  Check(found == !devices.empty());
  for (const MemoryDeviceEntry& device : devices) {
    Check(!device.strings.empty() && device.strings[0].empty());
    BYTE board = 0xEE, module = 0xEE;
    LocateMemoryDevice(device.data, device.strings, board, module);
  }

  // The same bytes as a locator text, read for each token.
  std::wstring text(data, data + size);
  for (const wchar_t* token : {L"SLOT", L"Cart", L"PROC", L"CPU", L"DIMM", L""}) {
    DWORD number = 0xDEADBEEF;
    if (ParseTokenNumber(text, token, number)) Check(number <= 999999999);
  }
  return 0;
}
