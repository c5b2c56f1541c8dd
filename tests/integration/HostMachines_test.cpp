// The running Linux host as the managed machine, read from captured host trees: what each tree must
// show through the module's classes, and every real SMBIOS table of the corpus run as a host.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <objbase.h>
#include <qzplatform.h>
#include <stdlib.h>
#include <windows.h>
#include <wbemidl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ModuleRoot.h"
#include "tests/support/WbemDoubles.h"

namespace {

namespace fs = std::filesystem;

const std::string kHosts = QZ_SOURCE_DIR "/tests/data/hosts/";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class HostMachine : public testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    ASSERT_TRUE(qztest::SetUpModuleRoot(&reason)) << reason;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override { QzSetFixedLocalTime(nullptr); }

  // Makes the host below `root` the machine, and moves the memory event counter as the watcher does.
  void LoadHost(const std::string& root) {
    setenv("QZWMI_HOST_ROOT", root.c_str(), 1);
    char error[512] = {};
    ASSERT_TRUE(QzLoadMachine("host", error, sizeof error)) << error;
    qztest::SetMemoryEvent(++counter_);
  }

  std::vector<CComPtr<IWbemClassObject>> Enumerate(const wchar_t* cls, const wchar_t* nameSpace = L"root\\VXN") {
    CComPtr<IWbemServices> services = qztest::Connect(nameSpace);
    EXPECT_TRUE(services);
    return services ? qztest::Instances(services, cls) : std::vector<CComPtr<IWbemClassObject>>{};
  }

  // A property as text: its value without the form it travels in, arrays as [a,b], absent as "-".
  static std::string Text(IWbemClassObject* object, const wchar_t* name) {
    const std::wstring text = qztest::Describe(object, name);
    if (text == L"null" || text[0] == L'<') return "-";  // no value, or no such property
    const size_t form = text.find_first_of(L":[");
    return Narrow(form == std::wstring::npos ? text : text.substr(text[form] == L':' ? form + 1 : form));
  }

  // One line per instance, from the named properties, sorted.
  std::vector<std::string> Lines(const wchar_t* cls, std::initializer_list<const wchar_t*> names,
                                 const wchar_t* nameSpace = L"root\\VXN") {
    std::vector<std::string> lines;
    for (auto& instance : Enumerate(cls, nameSpace)) {
      std::string line;
      for (const wchar_t* name : names) line += (line.empty() ? "" : " ") + Text(instance, name);
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  DWORD counter_ = 0;
};

std::vector<std::string> Modules(const std::string& status, int boards, int sockets, const std::string& capacity,
                                 std::map<std::string, std::string> exceptions = {}) {
  std::vector<std::string> lines;
  for (int b = 1; b <= boards; ++b)
    for (int s = 1; s <= sockets; ++s) {
      const std::string tag = std::to_string(b) + "-" + std::to_string(s);
      lines.push_back("VXN:QZ_MemoryModule:" + tag + " " + capacity + " " +
                      (exceptions.count(tag) ? exceptions[tag] : status));
    }
  std::sort(lines.begin(), lines.end());
  return lines;
}

struct TreeCase {
  const char* tree;
  std::vector<std::string> modules;      // Tag Capacity OperationalStatus
  std::vector<std::string> boards;       // Tag OperationalStatus
  size_t slots;
  std::string redundancy;                // CurrentConfiguration RedundancyStatus ConfigurationsAvailable
  std::string computer;                  // QZ_WinComputerSystem Name
};

const std::string kGiB4 = "4294967296", kGiB8 = "8589934592", kGiB16 = "17179869184";

const TreeCase kTrees[] = {
    {"ghes-two-socket", Modules("[2]", 2, 8, kGiB4, {{"1-6", "[3,5]"}}),
     {"VXN:QZ_MemoryBoard:1 [3,5]", "VXN:QZ_MemoryBoard:2 [2]"}, 16, "Unknown - []", "rack-07.dc1.example.org"},
    {"native-per-controller", Modules("[2]", 2, 8, kGiB4, {{"2-4", "[3,5]"}}),
     {"VXN:QZ_MemoryBoard:1 [2]", "VXN:QZ_MemoryBoard:2 [3,5]"}, 16, "Advanced ECC 3 [Advanced ECC]",
     "db-primary.example.com"},
    {"no-edac", {"VXN:QZ_MemoryModule:1-3 " + kGiB16 + " [2]", "VXN:QZ_MemoryModule:1-4 " + kGiB16 + " [2]"},
     {"VXN:QZ_MemoryBoard:1 [2]", "VXN:QZ_MemoryBoard:2 [2]"}, 24, "Advanced ECC 2 [Advanced ECC]", "web-3"},
    {"smbios3-only", {"VXN:QZ_MemoryModule:1-1 " + kGiB16 + " [2]"},
     {"VXN:QZ_MemoryBoard:1 [2]", "VXN:QZ_MemoryBoard:2 [2]"}, 8, "Advanced ECC 2 [Advanced ECC]", "edge-01"},
    {"desktop-sodimm", {}, {"VXN:QZ_MemoryBoard:1 [2]"}, 2, "Unknown - []", "workstation-with-a-long-name"},
};

void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.tree; }

class HostTrees : public HostMachine, public testing::WithParamInterface<TreeCase> {};

// One tree per process: the module keeps the first SMBIOS table it reads until it unloads.
TEST_P(HostTrees, GiveTheirModulesBoardsSlotsAndProtection) {
  const TreeCase& c = GetParam();
  LoadHost(kHosts + c.tree);
  EXPECT_EQ(Lines(L"QZ_MemoryModule", {L"Tag", L"Capacity", L"OperationalStatus"}), c.modules);
  EXPECT_EQ(Lines(L"QZ_MemoryBoard", {L"Tag", L"OperationalStatus"}), c.boards);
  EXPECT_EQ(Enumerate(L"QZ_MemoryModuleSlot").size(), c.slots);
  EXPECT_EQ(Lines(L"QZ_MemoryRedundancySet", {L"CurrentConfiguration", L"RedundancyStatus", L"ConfigurationsAvailable"}),
            std::vector<std::string>{c.redundancy});
  EXPECT_EQ(Lines(L"QZ_WinComputerSystem", {L"Name"}), std::vector<std::string>{c.computer});
}

INSTANTIATE_TEST_SUITE_P(Captured, HostTrees, testing::ValuesIn(kTrees),
                         [](const auto& info) { return qztest::ParamName(info.param.tree); });

// The SPD EEPROM at 0-0050 belongs to the first memory device: its first 256 bytes are the module's.
TEST_F(HostMachine, SpdBytesComeFromTheModulesEeprom) {
  LoadHost(kHosts + "smbios3-only");
  auto modules = Enumerate(L"QZ_MemoryModule");
  ASSERT_EQ(modules.size(), 1u);
  const std::wstring spd = qztest::Describe(modules[0], L"Spd");
  EXPECT_EQ(spd.rfind(L"ui1[35,17,12,2,0,", 0), 0u) << Narrow(spd);
  EXPECT_EQ(std::count(spd.begin(), spd.end(), L','), 255);
}

// rasdaemon's rows for DIMM_B1 (board 1, socket 2): corrected events of 1 and 2 errors and one
// uncorrected event at 2024-03-04 01:02:03 UTC. Only the window's events count, unless it is off.
TEST_F(HostMachine, RasdaemonEventsWithinTheWindowSetTheModuleStatus) {
  const struct {
    SYSTEMTIME now;
    const char* windowHours;
    const char* status;
  } cases[] = {
      {{2024, 3, 0, 4, 6, 0, 0, 0}, nullptr, "[3,5]"},
      {{2024, 3, 0, 5, 1, 2, 4, 0}, nullptr, "[2]"},
      {{2024, 3, 0, 9, 0, 0, 0, 0}, "0", "[3,5]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.now.wDay) + " " + (c.windowHours ? c.windowHours : "default"));
    QzSetFixedLocalTime(&c.now);
    if (c.windowHours) setenv("QZWMI_CE_WINDOW_HOURS", c.windowHours, 1);
    else unsetenv("QZWMI_CE_WINDOW_HOURS");
    LoadHost(kHosts + "rasdaemon");
    std::vector<std::string> expected = Modules("[2]", 2, 4, kGiB8, {{"1-2", c.status}});
    EXPECT_EQ(Lines(L"QZ_MemoryModule", {L"Tag", L"Capacity", L"OperationalStatus"}), expected);
    EXPECT_EQ(Lines(L"QZ_MemoryBoard", {L"Tag", L"OperationalStatus"}),
              (std::vector<std::string>{std::string("VXN:QZ_MemoryBoard:1 ") + c.status, "VXN:QZ_MemoryBoard:2 [2]"}));
  }
  unsetenv("QZWMI_CE_WINDOW_HOURS");
}

TEST_F(HostMachine, TheJournalCarriesRasdaemonsMemoryEventsOldestFirst) {
  LoadHost(kHosts + "rasdaemon");
  std::vector<std::string> entries;
  for (auto& entry : Enumerate(L"QZ_CommonLogEntry"))
    entries.push_back(Text(entry, L"RecordNumber") + " " + Text(entry, L"Severity") + " " + Text(entry, L"Description"));
  const std::vector<std::string> expected = {
      "1 3 2024-03-01 10:00:00 +0000 machine check on Unified Memory Controller (bank=17): Corrected error, no action "
      "required. (CECC)",
      "2 3 2024-03-02 08:15:02 +0000 1 Corrected error(s): memory read error at DIMM_B1 (board 1, socket 2)",
      "3 3 2024-03-03 23:40:10 +0100 2 Corrected error(s): memory scrubbing error at DIMM_B1 (board 1, socket 2)",
      "4 5 2024-03-04 01:02:03 +0000 1 Uncorrected error(s): memory read error at DIMM_B1 (board 1, socket 2)",
  };
  EXPECT_EQ(entries, expected);
}

// What dmidecode lists of a table: per memory device, whether the module list publishes it (fitted,
// of a module form factor) with its bank locator and size in bytes ("-" when not given).
struct ListedDevice {
  bool published = false;
  std::string bank = "-";
  std::string capacity = "-";
  std::string slotTag;  // "VXN:QZ_MemoryModuleSlot:N-M" when the locator reads "Board N, DIMM M"
};

std::string Trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::vector<ListedDevice> ListedDevices(const std::string& dmidecodeOutput) {
  std::vector<ListedDevice> devices;
  std::ifstream in(dmidecodeOutput);
  std::string line, size, formFactor;
  bool inDevice = false;
  ListedDevice device;
  auto finish = [&] {
    if (!inDevice) return;
    static const std::set<std::string> kModuleForms = {"SIMM", "DIMM", "RIMM", "FB-DIMM"};
    const bool fitted = size != "No Module Installed" && size != "0 MB";
    device.published = fitted && kModuleForms.count(formFactor);
    std::istringstream words(size);
    unsigned long long amount = 0;
    std::string unit;
    if (words >> amount >> unit) {
      const int shift = unit == "kB" ? 10 : unit == "MB" ? 20 : unit == "GB" ? 30 : unit == "TB" ? 40 : -1;
      if (shift >= 0) device.capacity = std::to_string(amount << shift);
    }
    devices.push_back(device);
    inDevice = false;
  };
  while (std::getline(in, line)) {
    if (line == "Memory Device") {
      finish();
      inDevice = true;
      device = ListedDevice{};
      size = formFactor = "";
    } else if (inDevice && line.empty()) {
      finish();
    } else if (inDevice && line.rfind("\tSize: ", 0) == 0) {
      size = line.substr(7);
    } else if (inDevice && line.rfind("\tForm Factor: ", 0) == 0) {
      formFactor = line.substr(14);
    } else if (inDevice && line.rfind("\tLocator: Board ", 0) == 0) {
      unsigned board = 0, socket = 0;
      if (std::sscanf(line.c_str(), "\tLocator: Board %u, DIMM %u", &board, &socket) == 2)
        device.slotTag = "VXN:QZ_MemoryModuleSlot:" + std::to_string(board) + "-" + std::to_string(socket);
    } else if (inDevice && line.rfind("\tBank Locator: ", 0) == 0) {
      device.bank = line.substr(15) == "Not Specified" ? "-" : Trimmed(line.substr(15));
    }
  }
  finish();
  return devices;
}

std::vector<std::string> CorpusTables() {
  std::vector<std::string> names;
  for (const char* folder : {"", "extra/"})
    for (const auto& entry : fs::directory_iterator(std::string(QZ_CORPUS_DIR) + "/" + folder))
      if (entry.path().extension() == ".bin") names.push_back(folder + entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class CorpusHosts : public HostMachine, public testing::WithParamInterface<std::string> {};

// Every real table as the DMI of a host without EDAC: each fitted module that dmidecode lists
// appears once, with its own Tag, and each socket once among the slots.
TEST_P(CorpusHosts, PublishEveryFittedModuleOnceAndEverySocketOnce) {
  const std::string name = GetParam();
  const std::string root = std::string(QzGetSystemRoot()) + "/host/";
  fs::create_directories(root + "sys/firmware/dmi/tables");
  std::ifstream dump(std::string(QZ_CORPUS_DIR) + "/" + name + ".bin", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(dump)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 0x20u);
  std::ofstream(root + "sys/firmware/dmi/tables/DMI", std::ios::binary) << bytes.substr(0x20);
  std::ofstream(root + "sys/firmware/dmi/tables/smbios_entry_point", std::ios::binary) << bytes.substr(0, 0x20);
  LoadHost(root);

  const std::vector<ListedDevice> listed = ListedDevices(std::string(QZ_CORPUS_DIR) + "/expected/" + name + ".dmidecode.txt");
  ASSERT_FALSE(listed.empty());
  std::vector<std::string> expected;
  for (const ListedDevice& d : listed)
    if (d.published) expected.push_back(d.bank + " " + d.capacity);
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> modules;
  std::set<std::string> moduleTags;
  for (auto& module : Enumerate(L"QZ_MemoryModule")) {
    modules.push_back(Trimmed(Text(module, L"BankLabel")) + " " + Text(module, L"Capacity"));
    moduleTags.insert(Text(module, L"Tag"));
  }
  std::sort(modules.begin(), modules.end());
  EXPECT_EQ(modules, expected);
  EXPECT_EQ(moduleTags.size(), modules.size());
  std::set<std::string> slotTags;
  for (auto& slot : Enumerate(L"QZ_MemoryModuleSlot")) EXPECT_TRUE(slotTags.insert(Text(slot, L"Tag")).second);
  // Tables that number their sockets themselves ("Board 1, DIMM 05", with location records) keep
  // that numbering, so a board whose first sockets the table leaves out still has them.
  if (std::all_of(listed.begin(), listed.end(), [](const ListedDevice& d) { return !d.slotTag.empty(); })) {
    for (const ListedDevice& d : listed) EXPECT_EQ(slotTags.count(d.slotTag), 1u) << d.slotTag;
  } else {
    EXPECT_EQ(slotTags.size(), listed.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, CorpusHosts, testing::ValuesIn(CorpusTables()),
                         [](const auto& info) { return qztest::ParamName(info.param); });

}  // namespace
