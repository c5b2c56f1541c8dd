// The running Linux host as the managed machine. The platform plays the server's hardware: the
// firmware's SMBIOS table comes from sysfs, and the health driver answers from that table and from
// the kernel's error counters, so that the module sees the host as it sees any server.
#include "machine/host.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "windows.h"

namespace qz::machine {
namespace {

constexpr uint8_t kTypeChassis = 3;
constexpr uint8_t kTypeMemoryArray = 16;
constexpr uint8_t kTypeMemoryDevice = 17;
constexpr uint8_t kTypeModuleLocation = 202;
constexpr uint8_t kTypeEndOfTable = 127;
constexpr uint32_t kMaxBoards = 32;
constexpr uint32_t kMaxSockets = 255;
constexpr size_t kLongestLocator = 64;         // what the patterns look at of a locator string
constexpr uint16_t kFirstLocationHandle = 0xCA00;  // the location records' handles count up from here

// Module status codes of the health driver (command 1707).
constexpr uint32_t kModuleOk = 2;
constexpr uint32_t kModulePredictiveFailure = 9;
constexpr uint32_t kModuleAbsent = 0;
constexpr uint32_t kBoardOk = 0;
constexpr uint32_t kBoardPredictiveFailure = 1;

uint16_t Get16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return Get16(b, at) | uint32_t{Get16(b, at + 2)} << 16; }

// One structure of a table: where it starts, its formatted length, and where the next begins.
struct Structure {
  size_t offset = 0;
  uint8_t type = 0;
  uint8_t length = 0;
  size_t end = 0;  // just past its string set
};

// The whole structures of `table`, up to and including the end structure.
std::vector<Structure> Walk(const std::vector<uint8_t>& table) {
  std::vector<Structure> out;
  size_t position = 0;
  while (position + 4 <= table.size()) {
    Structure s{position, table[position], table[position + 1], 0};
    if (s.length < 4 || position + s.length > table.size()) break;
    size_t next = position + s.length;
    while (next + 1 < table.size() && (table[next] != 0 || table[next + 1] != 0)) ++next;
    if (next + 1 >= table.size()) break;
    s.end = next + 2;
    out.push_back(s);
    if (s.type == kTypeEndOfTable) break;
    position = s.end;
  }
  return out;
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  size_t first = text.find_first_not_of(" \t");
  return first == std::string::npos ? "" : text.substr(first);
}

// String number `index` of structure `s` ("" for 0 or a number past its strings).
std::string StringOf(const std::vector<uint8_t>& table, const Structure& s, uint8_t index) {
  if (index == 0) return "";
  size_t position = s.offset + s.length;
  for (uint8_t n = 1; position < s.end && table[position] != 0; ++n) {
    size_t stop = position;
    while (stop < s.end && table[stop] != 0) ++stop;
    if (n == index) return Trim(std::string(table.begin() + position, table.begin() + stop));
    position = stop + 1;
  }
  return "";
}

HostDevice ReadDevice(const std::vector<uint8_t>& t, const Structure& s) {
  HostDevice d;
  const size_t o = s.offset;
  const uint8_t l = s.length;
  auto str = [&](size_t field) { return l > field ? StringOf(t, s, t[o + field]) : std::string(); };
  d.offset = o;
  d.length = l;
  d.handle = Get16(t, o + 2);
  if (l >= 0x0C) {
    d.totalWidth = Get16(t, o + 0x08);
    d.dataWidth = Get16(t, o + 0x0A);
  }
  uint16_t size = l >= 0x0E ? Get16(t, o + 0x0C) : 0;
  if (l > 0x0E) d.formFactor = t[o + 0x0E];
  d.locator = str(0x10);
  d.bank = str(0x11);
  if (l > 0x12) d.memoryType = t[o + 0x12];
  if (l >= 0x15) d.typeDetail = Get16(t, o + 0x13);
  if (l >= 0x17) d.speed = Get16(t, o + 0x15);
  if (d.speed == 0xFFFF) d.speed = l >= 0x58 ? Get32(t, o + 0x54) : 0;
  d.manufacturer = str(0x17);
  d.serial = str(0x18);
  d.part = str(0x1A);
  if (l >= 0x22) d.configuredSpeed = Get16(t, o + 0x20);
  if (d.configuredSpeed == 0xFFFF) d.configuredSpeed = l >= 0x5C ? Get32(t, o + 0x58) : 0;
  d.fitted = size != 0 && size != 0x8000;
  if (size == 0xFFFF) {
    d.sizeMiB = 0;
  } else if (size == 0x7FFF) {
    d.sizeMiB = l >= 0x20 ? Get32(t, o + 0x1C) & 0x7FFFFFFF : 0;
  } else if (size & 0x8000) {
    d.sizeMiB = (size & 0x7FFF) / 1024;
  } else {
    d.sizeMiB = size;
  }
  return d;
}

// The last run of digits in `text`, or -1.
long LastNumber(const std::string& text) {
  size_t end = text.find_last_of("0123456789");
  if (end == std::string::npos) return -1;
  size_t start = end;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
  if (end - start > 6) return -1;
  return std::strtol(text.substr(start, end - start + 1).c_str(), nullptr, 10);
}

// The board a device's locators name, as a raw number, and whether it names a processor.
struct BoardToken {
  long number = -1;
  bool processor = true;
};

// Digits at `at`, after blanks and a '#': their number and where they end; false when there are
// none or more than 6.
bool NumberAt(const std::string& text, size_t at, long& number, size_t& end) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '#')) ++at;
  size_t start = at;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
  if (at == start || at - start > 6) return false;
  number = std::strtol(text.substr(start, at - start).c_str(), nullptr, 10);
  end = at;
  return true;
}

bool StartsWith(const std::string& text, size_t at, const char* word) { return text.compare(at, std::strlen(word), word) == 0; }

// The board that one locator text names, upper case.
BoardToken TokenIn(const std::string& text) {
  long n = 0;
  size_t end = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    const bool wordStart = at == 0 || !std::isupper(static_cast<unsigned char>(text[at - 1]));
    for (const char* word : {"BOARD", "CART"})
      if (wordStart && StartsWith(text, at, word) && NumberAt(text, at + std::strlen(word), n, end)) return {n, false};
  }
  // "P0_Node1_..." and "P1-DIMMA1", "P0 CHANNEL A": a leading processor number.
  if (!text.empty() && text[0] == 'P' && NumberAt(text, 1, n, end) && text[1] != ' ' && text[1] != '#' &&
      (end == text.size() || text[end] == '-' || text[end] == '_' || text[end] == ' '))
    return {n, true};
  for (size_t skip : {0, 1})
    if ((skip == 0 || text[0] == '_') && StartsWith(text, skip, "NODE") && NumberAt(text, skip + 4, n, end)) return {n, true};
  for (size_t at = 0; at < text.size(); ++at)
    for (const char* word : {"CPU", "PROCESSOR", "PROC", "SOCKET"})
      if (StartsWith(text, at, word) && NumberAt(text, at + std::strlen(word), n, end)) return {n, true};
  return {};
}

BoardToken FindBoardToken(const HostDevice& d) {
  for (const std::string* text : {&d.bank, &d.locator}) {
    std::string upper = text->substr(0, kLongestLocator);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    BoardToken token = TokenIn(upper);
    if (token.number >= 0) return token;
  }
  return {};
}

bool LetterAndNumber(const std::string& locator) {
  return locator.size() >= 2 && locator.size() <= 4 && std::isalpha(static_cast<unsigned char>(locator[0])) &&
         std::all_of(locator.begin() + 1, locator.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// Places every device on a board and in a socket, from the firmware's locator strings:
// the processor, node or board that the bank or device locator names (counted from 1, so that
// "CPU0"/"P0_Node0" and "CPU1" both give board 1 for the first one); else, when every locator is a
// letter and a number ("A1", "B12"), the letter; else one board. Within a board the socket is the
// locator's own number when those numbers are exactly 1..n (or 0..n-1), else the table order.
void Place(std::vector<HostDevice>& devices, bool& processorBoards) {
  processorBoards = true;
  if (devices.empty()) return;
  std::vector<BoardToken> tokens;
  bool all = true;
  long lowest = 0x7FFFFFFF;
  for (const HostDevice& d : devices) {
    tokens.push_back(FindBoardToken(d));
    all = all && tokens.back().number >= 0;
    lowest = std::min(lowest, tokens.back().number);
  }
  bool letters = !all && std::all_of(devices.begin(), devices.end(), [](const HostDevice& d) { return LetterAndNumber(d.locator); });
  for (size_t i = 0; i < devices.size(); ++i) {
    long board = 1;
    if (all) {
      board = tokens[i].number + (lowest == 0 ? 1 : 0);
      processorBoards = processorBoards && tokens[i].processor;
    } else if (letters) {
      board = std::toupper(static_cast<unsigned char>(devices[i].locator[0])) - 'A' + 1;
    }
    devices[i].board = static_cast<uint32_t>(board);
  }
  uint32_t highest = 0;
  for (const HostDevice& d : devices) highest = std::max(highest, d.board);
  if (highest > kMaxBoards || std::any_of(devices.begin(), devices.end(), [](const HostDevice& d) { return d.board == 0; })) {
    for (HostDevice& d : devices) d.board = 1;
  }
  std::map<uint32_t, std::vector<HostDevice*>> byBoard;
  for (HostDevice& d : devices) byBoard[d.board].push_back(&d);
  for (auto& [board, members] : byBoard) {
    std::vector<long> numbers;
    for (HostDevice* d : members) numbers.push_back(LastNumber(d->locator));
    long least = *std::min_element(numbers.begin(), numbers.end());
    std::set<long> distinct;
    for (long& n : numbers) {
      if (least == 0) ++n;
      distinct.insert(n);
    }
    bool own = least >= 0 && distinct.size() == members.size() && *distinct.begin() == 1 &&
               *distinct.rbegin() == static_cast<long>(members.size());
    for (size_t i = 0; i < members.size(); ++i)
      members[i]->socket = own ? static_cast<uint32_t>(numbers[i]) : static_cast<uint32_t>(i + 1);
  }
}

// The table's own location records, when they place every device on a distinct board and socket.
bool PlaceFromLocationRecords(const std::vector<uint8_t>& table, const std::vector<Structure>& structures,
                              std::vector<HostDevice>& devices, bool& processorBoards) {
  std::map<uint16_t, const Structure*> records;
  for (const Structure& s : structures)
    if (s.type == kTypeModuleLocation && s.length >= 8) records.emplace(Get16(table, s.offset + 4), &s);
  if (devices.empty() || records.size() < devices.size()) return false;
  bool nine = std::all_of(devices.begin(), devices.end(), [&](const HostDevice& d) {
    auto it = records.find(d.handle);
    return it != records.end() && it->second->length >= 9;
  });
  std::set<std::pair<uint32_t, uint32_t>> seen;
  for (const HostDevice& d : devices) {
    auto it = records.find(d.handle);
    if (it == records.end()) return false;
    const size_t o = it->second->offset;
    uint8_t board = nine ? table[o + 8] : table[o + 6];
    uint8_t module = table[o + 7];
    if (table[o + 6] == 0xFF || board == 0 || board == 0xFF || module == 0 || module == 0xFF) return false;
    if (!seen.insert({board, module}).second) return false;
  }
  for (HostDevice& d : devices) {
    const size_t o = records[d.handle]->offset;
    d.board = nine ? table[o + 8] : table[o + 6];
    d.socket = table[o + 7];
  }
  processorBoards = nine;
  return true;
}

}  // namespace

bool MatchShape(const std::string& text, std::initializer_list<const char*> parts, std::vector<long>& numbers,
                bool ignoreCase) {
  numbers.clear();
  size_t at = 0;
  bool first = true;
  for (const char* part : parts) {
    if (!first) {
      size_t start = at;
      while (at < text.size() && at - start < 7 && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
      if (at == start || at - start > 6) return false;
      numbers.push_back(std::strtol(text.substr(start, at - start).c_str(), nullptr, 10));
    }
    first = false;
    const size_t n = std::strlen(part);
    if (text.size() - at < n) return false;
    for (size_t i = 0; i < n; ++i) {
      const char a = text[at + i], b = part[i];
      if (ignoreCase ? std::toupper(static_cast<unsigned char>(a)) != std::toupper(static_cast<unsigned char>(b)) : a != b)
        return false;
    }
    at += n;
  }
  return at == text.size();
}

HostLayout LayOutHost(const std::vector<uint8_t>& table) {
  HostLayout layout;
  const std::vector<Structure> structures = Walk(table);
  for (const Structure& s : structures) {
    if (s.type == kTypeMemoryDevice) layout.devices.push_back(ReadDevice(table, s));
    if (s.type == kTypeChassis) ++layout.chassisCount;
    if (s.type == kTypeMemoryArray && s.length >= 0x07 && table[s.offset + 5] == 0x03 && !layout.errorCorrection)
      layout.errorCorrection = table[s.offset + 6];
  }
  if (PlaceFromLocationRecords(table, structures, layout.devices, layout.processorBoards)) {
    size_t end = structures.empty() ? 0 : structures.back().end;
    layout.table.assign(table.begin(), table.begin() + static_cast<ptrdiff_t>(end));
    return layout;
  }
  Place(layout.devices, layout.processorBoards);
  for (HostDevice& d : layout.devices)
    if (d.socket > kMaxSockets) d.board = d.socket = 0;  // beyond what the driver can be asked about

  // The served table: the firmware's structures without location records of its own (another
  // vendor's type 202 means something else), then one location record per device, then the end.
  std::set<uint16_t> used;
  for (const Structure& s : structures) used.insert(Get16(table, s.offset + 2));
  uint16_t nextHandle = kFirstLocationHandle;
  for (const Structure& s : structures) {
    if (s.type == kTypeModuleLocation || s.type == kTypeEndOfTable) continue;
    layout.table.insert(layout.table.end(), table.begin() + static_cast<ptrdiff_t>(s.offset),
                        table.begin() + static_cast<ptrdiff_t>(s.end));
  }
  for (const HostDevice& d : layout.devices) {
    while (used.count(nextHandle)) ++nextHandle;
    if (!d.board || nextHandle >= 0xFEFF) continue;
    const uint8_t length = layout.processorBoards ? 9 : 8;
    std::vector<uint8_t> record(length, 0);
    record[0] = kTypeModuleLocation;
    record[1] = length;
    record[2] = static_cast<uint8_t>(nextHandle);
    record[3] = static_cast<uint8_t>(nextHandle >> 8);
    ++nextHandle;
    record[4] = static_cast<uint8_t>(d.handle);
    record[5] = static_cast<uint8_t>(d.handle >> 8);
    record[6] = static_cast<uint8_t>(d.board);
    record[7] = static_cast<uint8_t>(d.socket);
    if (length == 9) record[8] = static_cast<uint8_t>(d.board);
    record.push_back(0);
    record.push_back(0);
    layout.table.insert(layout.table.end(), record.begin(), record.end());
  }
  const uint8_t end[] = {kTypeEndOfTable, 4, 0xFF, 0xFE, 0, 0};
  layout.table.insert(layout.table.end(), std::begin(end), std::end(end));
  return layout;
}

namespace {

// Reads a whole file; false with `error` = "PATH: REASON" when it cannot be read.
bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  bytes.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int code = 0;
  if (fd >= 0) {
    uint8_t buffer[16384];
    for (;;) {
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) code = errno;
      if (got <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    close(fd);
  } else {
    code = errno;
  }
  if (!code) return true;
  error = path + ": " + std::strerror(code);
  if (code == EACCES || code == EPERM) error += " (run as root)";
  return false;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return Trim(line);
}

}  // namespace

bool ReadHostSmbios(const std::string& root, Smbios& smbios, std::string& error) {
  const std::string folder = root + "sys/firmware/dmi/tables/";
  std::vector<uint8_t> table;
  if (!ReadFile(folder + "DMI", table, error)) return false;
  std::vector<uint8_t> entry;
  std::string ignored;
  ReadFile(folder + "smbios_entry_point", entry, ignored);
  auto starts = [&](const char* anchor) { return entry.size() >= std::strlen(anchor) && std::memcmp(entry.data(), anchor, std::strlen(anchor)) == 0; };
  size_t limit = table.size();
  smbios = Smbios{};
  smbios.source = folder + "DMI";
  if (starts("_SM3_") && entry.size() >= 0x18) {
    smbios.major = entry[0x07];
    smbios.minor = entry[0x08];
    limit = std::min<size_t>(limit, Get32(entry, 0x0C));
  } else if (starts("_SM_") && entry.size() >= 0x1F) {
    smbios.major = entry[0x06];
    smbios.minor = entry[0x07];
    if (smbios.major == 2 && (smbios.minor == 31 || smbios.minor == 33)) smbios.minor = 3;
    limit = std::min<size_t>(limit, Get16(entry, 0x16));
  } else if (starts("_DMI_") && entry.size() >= 15) {
    smbios.major = entry[0x0E] >> 4;
    smbios.minor = entry[0x0E] & 0x0F;
    limit = std::min<size_t>(limit, Get16(entry, 0x06));
  } else {
    InferSmbiosVersion(table, smbios);
  }
  table.resize(limit);
  if (Walk(table).empty()) {
    error = folder + "DMI: holds no whole SMBIOS structure";
    return false;
  }
  smbios.table = std::move(table);
  return true;
}

namespace {

// The host's names: the kernel's node name, its canonical name from the hosts file (or the
// resolver, on the live host), and the NetBIOS-style name.
ComputerNames ReadNames(const std::string& root) {
  ComputerNames names;
  std::string node = FirstLine(root + "proc/sys/kernel/hostname");
  if (node.empty() && root == "/") {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) == 0) node = buffer;
  }
  if (node.empty()) node = "localhost";
  const std::string label = node.substr(0, node.find('.'));
  std::string canonical;
  std::ifstream hosts(root + "etc/hosts");
  for (std::string line; canonical.empty() && std::getline(hosts, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string address, first, name;
    if (!(words >> address >> first)) continue;
    for (name = first;; ) {
      if (name == node || name == label) {
        canonical = first;
        break;
      }
      if (!(words >> name)) break;
    }
  }
  if (canonical.empty() && root == "/") {
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (getaddrinfo(node.c_str(), nullptr, &hints, &found) == 0 && found) {
      if (found->ai_canonname) canonical = found->ai_canonname;
      freeaddrinfo(found);
    }
  }
  names.dnsFullyQualified = canonical.empty() ? node : canonical;
  names.dnsHostname = label;
  names.netBios = label.substr(0, 15);
  for (char& c : names.netBios) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return names;
}

// SPD bytes of fitted modules from the EEPROMs the kernel exposes. The kernel instantiates them at
// 0x50 + n for the n-th memory device of the table, so that only a single bus is trusted.
std::map<size_t, std::vector<uint8_t>> ReadSpd(const std::string& root) {
  std::map<std::string, std::map<size_t, std::string>> byBus;
  for (const char* driver : {"ee1004", "spd5118", "at24"}) {
    const std::string folder = root + "sys/bus/i2c/drivers/" + driver + "/";
    DIR* dir = opendir(folder.c_str());
    if (!dir) continue;
    while (dirent* entry = readdir(dir)) {
      // "<bus>-00<5x>": the client at address 0x50 + slot of that bus.
      unsigned bus = 0, address = 0;
      char end = 0;
      if (std::sscanf(entry->d_name, "%u-%4x%c", &bus, &address, &end) != 2 || address < 0x50 || address > 0x57) continue;
      const std::string path = folder + entry->d_name + "/eeprom";
      if (access(path.c_str(), R_OK) == 0) byBus[std::to_string(bus)][address - 0x50] = path;
    }
    closedir(dir);
  }
  std::map<size_t, std::vector<uint8_t>> spd;
  if (byBus.size() != 1) return spd;
  for (const auto& [slot, path] : byBus.begin()->second) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (ReadFile(path, bytes, error) && !bytes.empty()) {
      bytes.resize(std::min<size_t>(bytes.size(), 256));
      spd[slot] = std::move(bytes);
    }
  }
  return spd;
}

int64_t Now() {
  SYSTEMTIME st{};
  GetSystemTime(&st);
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  return static_cast<int64_t>(timegm(&tm));
}

// The protection the host tells: chipkill-class correction (EDAC's SxECDxED modes, or a memory
// array with multi-bit ECC) is Advanced ECC, offered and running; plain SECDED, parity or nothing
// is no protection mode at all, and the state stays unknown.
void SetProtection(const HostLayout& layout, const std::vector<ModuleHealth>& health, HealthDriver& driver) {
  bool advanced = false, told = false;
  for (const ModuleHealth& h : health) {
    if (h.edacMode.empty() || h.edacMode == "Unknown") continue;
    told = true;
    advanced = advanced || (h.edacMode.size() > 2 && h.edacMode[0] == 'S' && h.edacMode != "SECDED");
  }
  if (!told) advanced = layout.errorCorrection == 0x06;
  driver.configuration.advancedEcc = {advanced, advanced};
  driver.protection.state = advanced ? 4 : 15;
}

// The driver's record of one socket of the host: empty, or the module fitted in it with its health
// and, when the host has them, the bytes of its SPD.
DriverModule HostModule(const HostDevice& d, const ModuleHealth& health, const HealthRules& rules,
                        const std::vector<uint8_t>* spd) {
  DriverModule module;
  module.socket = d.socket;
  module.present = d.fitted;
  module.formFactor = d.formFactor;
  module.memoryType = d.memoryType;
  if (!d.fitted) {
    module.status = kModuleAbsent;
    return module;
  }
  const bool failing = health.uncorrected > 0 || health.corrected >= rules.threshold;
  module.status = failing ? kModulePredictiveFailure : kModuleOk;
  module.sizeMiB = d.sizeMiB;
  module.speedMHz = d.speed;
  module.dataWidth = d.dataWidth;
  module.partNumber = d.part.substr(0, 32);
  module.manufacturer = d.manufacturer;
  module.serialNumber = d.serial;
  if (spd) {
    module.spdValid = true;
    module.spd = *spd;
  }
  return module;
}

// A board with fewer sockets than the widest one ends its socket list with a failing status
// command, as a driver does past a board's last socket.
void EndShortSocketLists(HealthDriver& driver) {
  for (const DriverBoard& board : driver.boards) {
    if (board.present && board.sockets < driver.configuration.socketsPerBoard) {
      CommandFault fault;
      fault.command = 1707;
      fault.param0 = static_cast<uint8_t>(board.index);
      fault.param1 = static_cast<uint8_t>(board.sockets + 1);
      fault.fail = true;
      driver.faults.push_back(fault);
    }
  }
}

// The health driver that the host's devices make: boards numbered from 1 to the highest board
// that a device sits on, each with its sockets in order.
HealthDriver HostDriver(const HostLayout& layout, const std::vector<ModuleHealth>& health,
                        const std::map<size_t, std::vector<uint8_t>>& spd, const HealthRules& rules) {
  HealthDriver driver;
  driver.primaryDevice = false;  // the driver lists only the protection modes the host really offers
  driver.secondaryDevice = true;
  driver.processorBoards = layout.processorBoards;
  uint32_t boards = 0;
  for (const HostDevice& d : layout.devices) boards = std::max(boards, d.board);
  for (uint32_t number = 1; number <= boards; ++number) {
    DriverBoard board;
    board.index = board.number = number;
    board.present = false;
    board.status = kBoardOk;
    for (size_t i = 0; i < layout.devices.size(); ++i) {
      const HostDevice& d = layout.devices[i];
      if (d.board != number) continue;
      board.present = true;
      board.sockets = std::max(board.sockets, d.socket);
      const auto found = spd.find(i);
      DriverModule module = HostModule(d, health[i], rules, found == spd.end() ? nullptr : &found->second);
      if (d.fitted) {
        if (module.status == kModulePredictiveFailure) board.status = kBoardPredictiveFailure;
        board.totalMemory += d.sizeMiB;
        if (!driver.protection.operatingSpeed) driver.protection.operatingSpeed = d.configuredSpeed ? d.configuredSpeed : d.speed;
      }
      board.modules.push_back(std::move(module));
    }
    std::sort(board.modules.begin(), board.modules.end(),
              [](const DriverModule& a, const DriverModule& b) { return a.socket < b.socket; });
    board.availableMemory = board.totalMemory;
    driver.protection.totalMemory += board.totalMemory;
    driver.configuration.socketsPerBoard = std::max(driver.configuration.socketsPerBoard, board.sockets);
    driver.boards.push_back(std::move(board));
  }
  driver.configuration.boardCount = boards;
  driver.protection.availableMemory = driver.protection.totalMemory;
  EndShortSocketLists(driver);
  SetProtection(layout, health, driver);
  return driver;
}

}  // namespace

HealthRules HealthRulesFromEnvironment() {
  HealthRules rules;
  if (const char* text = std::getenv("QZWMI_CE_THRESHOLD"); text && *text) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end == '\0' && value > 0 && value <= 0xFFFFFFFF) rules.threshold = static_cast<uint32_t>(value);
  }
  if (const char* text = std::getenv("QZWMI_CE_WINDOW_HOURS"); text && *text) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end == '\0' && value <= 24ul * 3650) rules.windowSeconds = uint64_t{value} * 3600;
  }
  return rules;
}

std::string HostRoot() {
  const char* root = std::getenv("QZWMI_HOST_ROOT");
  std::string path = root && *root ? root : "/";
  if (path.back() != '/') path += '/';
  return path;
}

std::shared_ptr<Machine> LoadHostMachine(const std::string& root, const HealthRules& rules, std::string& error) {
  auto machine = std::make_shared<Machine>();
  if (!ReadHostSmbios(root, machine->smbios, error)) return nullptr;
  HostLayout layout = LayOutHost(machine->smbios.table);
  machine->smbios.table = layout.table;
  machine->hostRoot = root;
  machine->hostFingerprint = HostHealthFingerprint(root);
  machine->file = "host";
  machine->names = ReadNames(root);
  machine->name = "this host (" + machine->names.dnsHostname + ")";

  std::vector<ModuleHealth> health;
  ReadHostHealth(root, layout, rules, Now(), health, machine->journal);
  machine->driver = HostDriver(layout, health, ReadSpd(root), rules);

  for (size_t i = 0; i < std::max<size_t>(layout.chassisCount, 1); ++i)
    machine->chassis.push_back(Chassis{"Chassis " + std::to_string(i), ""});
  return machine;
}

}  // namespace qz::machine
