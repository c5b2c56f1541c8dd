// The memory health of a Linux host: the kernel's EDAC error counters per module, and the events
// that rasdaemon records in its database, tied to the memory devices of the SMBIOS table.
#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <map>

#include "machine/host.h"

namespace qz::machine {
namespace {

constexpr size_t kJournalEvents = 256;     // the newest memory-controller events kept in the journal
constexpr size_t kJournalMachineChecks = 64;
constexpr uint16_t kMemoryClass = 3;
constexpr uint16_t kUncorrectedCode = 1;   // a failing module
constexpr uint16_t kCorrectedCode = 2;
constexpr uint8_t kNone = 0xFF;
constexpr size_t kLongestLabel = 128;       // longer texts are no module names the patterns look for

std::string Line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

uint64_t Count(const std::string& path) {
  const std::string text = Line(path);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
  return std::strtoull(text.c_str(), nullptr, 10);
}

// The entries of `folder` whose names start with `prefix` followed by a number, in number order.
std::vector<std::pair<long, std::string>> Numbered(const std::string& folder, const char* prefix) {
  std::vector<std::pair<long, std::string>> out;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return out;
  const size_t n = std::strlen(prefix);
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, prefix, n) != 0 || !std::isdigit(static_cast<unsigned char>(name[n]))) continue;
    char* end = nullptr;
    long number = std::strtol(name + n, &end, 10);
    if (*end == '\0') out.emplace_back(number, name);
  }
  closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<uint8_t> RawEntry(uint16_t code, int device, const HostLayout& layout) {
  std::vector<uint8_t> raw(32, 0);
  raw[8] = static_cast<uint8_t>(kMemoryClass);
  raw[10] = static_cast<uint8_t>(code);
  const bool placed = device >= 0 && layout.devices[static_cast<size_t>(device)].board != 0;
  raw[28] = placed ? static_cast<uint8_t>(layout.devices[static_cast<size_t>(device)].board) : kNone;
  raw[29] = placed ? static_cast<uint8_t>(layout.devices[static_cast<size_t>(device)].socket) : kNone;
  return raw;
}

std::string Where(int device, const HostLayout& layout) {
  if (device < 0) return "";
  const HostDevice& d = layout.devices[static_cast<size_t>(device)];
  return d.board ? " (board " + std::to_string(d.board) + ", socket " + std::to_string(d.socket) + ")" : "";
}

// "2022-10-16 06:55:24 +0000" as seconds since the epoch; -1 when it is not such a time.
int64_t ParseTimestamp(const std::string& text) {
  std::tm tm{};
  int sign = 1, hours = 0, minutes = 0;
  char zone[8] = "";
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d %7s", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                  &tm.tm_sec, zone) < 6)
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  if ((zone[0] == '+' || zone[0] == '-') && std::strlen(zone) == 5) {
    sign = zone[0] == '-' ? -1 : 1;
    hours = (zone[1] - '0') * 10 + (zone[2] - '0');
    minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
  }
  return static_cast<int64_t>(timegm(&tm)) - sign * (hours * 3600 + minutes * 60);
}

// Rows of one table of rasdaemon's database, newest first, as column name -> text. Columns are
// looked up by name, since older databases lack newer columns; a table that is missing, locked or
// shaped otherwise gives no rows.
std::vector<std::map<std::string, std::string>> Rows(sqlite3* db, const char* table, size_t limit) {
  std::vector<std::map<std::string, std::string>> rows;
  const std::string sql = std::string("SELECT * FROM ") + table + " ORDER BY id DESC LIMIT " + std::to_string(limit);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return rows;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::map<std::string, std::string> row;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
      const unsigned char* text = sqlite3_column_text(statement, c);
      row[sqlite3_column_name(statement, c)] = text ? reinterpret_cast<const char*>(text) : "";
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  return rows;
}

std::string Field(const std::map<std::string, std::string>& row, const char* name) {
  auto it = row.find(name);
  return it == row.end() ? "" : it->second;
}

// Fills `ghesControllers` with the controllers that ghes_edac owns: their events' top layer is the
// device's index in the table.
void ReadEdac(const std::string& root, const HostLayout& layout, std::vector<ModuleHealth>& health,
              std::vector<JournalEntry>& journal, std::vector<long>& ghesControllers) {
  const std::string mcs = root + "sys/devices/system/edac/mc/";
  for (const auto& [mc, mcName] : Numbered(mcs, "mc")) {
    const std::string folder = mcs + mcName + "/";
    const bool ghes = Line(folder + "mc_name").find("ghes") != std::string::npos;
    if (ghes) ghesControllers.push_back(mc);
    std::vector<std::pair<long, std::string>> dimms = Numbered(folder, "dimm");
    for (auto& rank : Numbered(folder, "rank")) dimms.push_back(rank);
    for (const auto& [index, dimmName] : dimms) {
      const std::string dimm = folder + dimmName + "/";
      const std::string label = Line(dimm + "dimm_label");
      // ghes_edac numbers its modules as the table orders its memory devices, which tells them
      // apart even where its labels, cut at 31 bytes, do not.
      int device = ghes && static_cast<size_t>(index) < layout.devices.size() ? static_cast<int>(index)
                                                                              : DeviceForLabel(layout, label);
      const uint64_t ce = Count(dimm + "dimm_ce_count"), ue = Count(dimm + "dimm_ue_count");
      if (device >= 0) {
        ModuleHealth& h = health[static_cast<size_t>(device)];
        h.corrected += ce;
        h.uncorrected += ue;
        if (h.edacMode.empty()) h.edacMode = Line(dimm + "dimm_edac_mode");
      }
      if (!ce && !ue) continue;
      JournalEntry entry;
      entry.severity = ue ? 5 : 3;
      entry.rawData = RawEntry(ue ? kUncorrectedCode : kCorrectedCode, device, layout);
      entry.description = "EDAC " + mcName + ": " + std::to_string(ce) + " corrected and " + std::to_string(ue) +
                          " uncorrected errors on " + (label.empty() ? dimmName : label) + Where(device, layout) +
                          " since the counters were reset";
      journal.push_back(std::move(entry));
    }
  }
}

// A journal entry with the time of its event (-1 when its time does not read), for the journal's
// order.
using TimedEntry = std::pair<int64_t, JournalEntry>;

// The memory-controller events: their errors counted per module, within the time window, and the
// newest of them as journal entries.
void ReadControllerEvents(sqlite3* db, const HostLayout& layout, const HealthRules& rules, int64_t now,
                          const std::vector<long>& ghesControllers, std::vector<ModuleHealth>& counted,
                          std::vector<TimedEntry>& events) {
  const auto rows = Rows(db, "mc_event", 100000);
  for (size_t n = 0; n < rows.size(); ++n) {
    const auto& row = rows[n];
    const std::string type = Field(row, "err_type");
    const bool uncorrected = type == "Uncorrected" || type == "Fatal" || type == "Deferred";
    const bool corrected = type == "Corrected";
    const std::string label = Field(row, "label");
    int device = DeviceForLabel(layout, label);
    const long mc = std::strtol(Field(row, "mc").c_str(), nullptr, 10);
    const long top = std::strtol(Field(row, "top_layer").c_str(), nullptr, 10);
    if (std::find(ghesControllers.begin(), ghesControllers.end(), mc) != ghesControllers.end() && top >= 0 &&
        static_cast<size_t>(top) < layout.devices.size())
      device = static_cast<int>(top);
    int64_t errors = std::strtoll(Field(row, "err_count").c_str(), nullptr, 10);
    if (errors <= 0) errors = 1;
    const std::string timestamp = Field(row, "timestamp");
    const int64_t when = ParseTimestamp(timestamp);
    const bool recent = !rules.windowSeconds || when < 0 || now - when <= static_cast<int64_t>(rules.windowSeconds);
    if (device >= 0 && recent) {
      if (uncorrected) counted[static_cast<size_t>(device)].uncorrected += static_cast<uint64_t>(errors);
      if (corrected) counted[static_cast<size_t>(device)].corrected += static_cast<uint64_t>(errors);
    }
    if (n >= kJournalEvents || !(corrected || uncorrected)) continue;
    JournalEntry entry;
    entry.severity = uncorrected ? 5 : 3;
    entry.rawData = RawEntry(uncorrected ? kUncorrectedCode : kCorrectedCode, device, layout);
    entry.description = timestamp + " " + std::to_string(errors) + " " + type + " error(s): " + Field(row, "err_msg") +
                        " at " + label + Where(device, layout);
    events.emplace_back(when, std::move(entry));
  }
}

// Memory errors that only the machine-check path decoded name no module: journal entries only.
void ReadMachineChecks(sqlite3* db, const HostLayout& layout, std::vector<TimedEntry>& events) {
  for (const auto& row : Rows(db, "mce_record", 4 * kJournalMachineChecks)) {
    const std::string bank = Field(row, "bank_name"), message = Field(row, "error_msg"),
                      status = Field(row, "mcistatus_msg");
    auto has = [](std::string text, const char* word) {
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text.find(word) != std::string::npos;
    };
    if (!has(bank, "memory") && !has(message, "memory") && !has(status, "ecc")) continue;
    if (events.size() >= kJournalEvents + kJournalMachineChecks) break;
    const bool uncorrected = status.find("UECC") != std::string::npos || has(message, "uncorrected");
    JournalEntry entry;
    entry.severity = uncorrected ? 5 : 3;
    entry.rawData = RawEntry(uncorrected ? kUncorrectedCode : kCorrectedCode, -1, layout);
    entry.description = Field(row, "timestamp") + " machine check on " + (bank.empty() ? "a memory bank" : bank) + ": " +
                        message + (status.empty() ? "" : " (" + status + ")");
    events.emplace_back(ParseTimestamp(Field(row, "timestamp")), std::move(entry));
  }
}

void ReadRasdaemon(const std::string& root, const HostLayout& layout, const HealthRules& rules, int64_t now,
                   const std::vector<long>& ghesControllers, std::vector<ModuleHealth>& health,
                   std::vector<JournalEntry>& journal) {
  const std::string path = root + "var/lib/rasdaemon/ras-mc_event.db";
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return;
  }
  sqlite3_busy_timeout(db, 200);
  std::vector<ModuleHealth> counted(layout.devices.size());
  std::vector<TimedEntry> events;
  ReadControllerEvents(db, layout, rules, now, ghesControllers, counted, events);
  ReadMachineChecks(db, layout, events);
  sqlite3_close(db);
  // The kernel's counters and rasdaemon's records count the same errors: the larger one holds.
  for (size_t i = 0; i < counted.size(); ++i) {
    health[i].corrected = std::max(health[i].corrected, counted[i].corrected);
    health[i].uncorrected = std::max(health[i].uncorrected, counted[i].uncorrected);
  }
  // Oldest first, as a journal reads: both tables were read newest first; events without a time
  // that reads keep their place after the others.
  std::reverse(events.begin(), events.end());
  std::stable_sort(events.begin(), events.end(), [](const TimedEntry& a, const TimedEntry& b) {
    const int64_t x = a.first < 0 ? INT64_MAX : a.first, y = b.first < 0 ? INT64_MAX : b.first;
    return x < y;
  });
  for (TimedEntry& event : events) journal.push_back(std::move(event.second));
}

}  // namespace

int DeviceForLabel(const HostLayout& layout, const std::string& label) {
  if (label.empty() || label.size() > kLongestLabel) return -1;
  const auto& devices = layout.devices;
  // A label that ghes_edac or a labels database made: "<bank> <locator>", one of them alone, cut at
  // 31 bytes by the kernel.
  int cut = -1, cuts = 0;
  for (size_t i = 0; i < devices.size(); ++i) {
    const HostDevice& d = devices[i];
    for (const std::string& name : {d.bank + " " + d.locator, d.locator, d.locator.empty() ? d.bank : std::string()}) {
      if (name.empty()) continue;
      if (name == label) return static_cast<int>(i);
      if (label.size() == 31 && name.size() > 31 && name.compare(0, 31, label) == 0 && cut != static_cast<int>(i)) {
        cut = static_cast<int>(i);
        ++cuts;
      }
    }
  }
  if (cuts == 1) return cut;
  std::vector<long> numbers;
  if (MatchShape(label, {"mc#", "memory#", ""}, numbers)) {
    return static_cast<size_t>(numbers[1]) < devices.size() ? static_cast<int>(numbers[1]) : -1;
  }
  // Native drivers' labels name socket, controller, channel and slot; boards whose bank locators
  // spell the same topology ("P0_Node1_Channel2_Dimm0") tie them to a device.
  if (!MatchShape(label, {"CPU_SrcID#", "_MC#", "_Chan#", "_DIMM#", ""}, numbers) &&
      !MatchShape(label, {"CPU_SrcID#", "_Ha#", "_Chan#", "_DIMM#", ""}, numbers))
    return -1;
  const std::vector<long> want = numbers;
  int loose = -1, looseCount = 0;
  for (size_t i = 0; i < devices.size(); ++i) {
    std::vector<long> bank;
    if (!MatchShape(devices[i].bank, {"P", "_Node", "_Channel", "_Dimm", ""}, bank, true)) continue;
    if (bank[0] == want[0] && bank[2] == want[2] && bank[3] == want[3]) {
      if (bank[1] == want[1]) return static_cast<int>(i);
      loose = static_cast<int>(i);
      ++looseCount;
    }
  }
  return looseCount == 1 ? loose : -1;
}

void ReadHostHealth(const std::string& root, const HostLayout& layout, const HealthRules& rules, int64_t now,
                    std::vector<ModuleHealth>& health, std::vector<JournalEntry>& journal) {
  health.assign(layout.devices.size(), ModuleHealth{});
  std::vector<long> ghesControllers;
  ReadEdac(root, layout, health, journal, ghesControllers);
  ReadRasdaemon(root, layout, rules, now, ghesControllers, health, journal);
}

std::string HostHealthFingerprint(const std::string& root) {
  std::string print;
  const std::string mcs = root + "sys/devices/system/edac/mc/";
  for (const auto& [mc, mcName] : Numbered(mcs, "mc")) {
    const std::string folder = mcs + mcName + "/";
    print += mcName + ":" + Line(folder + "ce_count") + "/" + Line(folder + "ue_count") + ";";
    std::vector<std::pair<long, std::string>> dimms = Numbered(folder, "dimm");
    for (auto& rank : Numbered(folder, "rank")) dimms.push_back(rank);
    for (const auto& [index, name] : dimms)
      print += name + ":" + Line(folder + name + "/dimm_ce_count") + "/" + Line(folder + name + "/dimm_ue_count") + ";";
  }
  for (const char* suffix : {"", "-wal", "-journal"}) {
    struct stat info {};
    const std::string path = root + "var/lib/rasdaemon/ras-mc_event.db" + suffix;
    if (stat(path.c_str(), &info) == 0)
      print += std::string("db") + suffix + ":" + std::to_string(info.st_size) + "@" +
               std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + ";";
  }
  return print;
}

}  // namespace qz::machine
