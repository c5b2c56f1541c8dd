#include "metrics/MemoryMetrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Commands.h"
#include "Output.h"
#include "Schema.h"
#include "qzplatform.h"

namespace qzwmi::metrics {

using Kind = Exposition::Kind;

namespace {

constexpr LONG kForward = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;

// The classes the metrics are read from, in the order they are enumerated.
enum ClassIndex { kModule, kModuleInSlot, kModuleSlot, kSlotOnBoard, kBoard, kBoardSlot, kBoardInSlot, kRedundancy,
                  kCollection, kSystemMemory, kClassCount };
constexpr const wchar_t* kClasses[kClassCount] = {
    L"QZ_MemoryModule",    L"QZ_MemoryModuleInSlot", L"QZ_MemoryModuleSlot",    L"QZ_MemoryModuleSlotOnBoard",
    L"QZ_MemoryBoard",     L"QZ_MemoryBoardSlot",    L"QZ_MemoryBoardInSlot",   L"QZ_MemoryRedundancySet",
    L"QZ_MemoryCollection", L"QZ_WinMemory"};

constexpr double kMiB = 1024.0 * 1024.0;

std::vector<std::string> Texts(IWbemClassObject* object, const wchar_t* name) {
  CComVariant value;
  CIMTYPE type = CIM_EMPTY;
  if (FAILED(object->Get(name, 0, &value, &type, nullptr))) return {};
  return ElementTexts(type, value);
}

// The first value of a property as text, without the blanks that firmware pads its strings with.
std::string Text(IWbemClassObject* object, const wchar_t* name) {
  std::vector<std::string> texts = Texts(object, name);
  if (texts.empty()) return {};
  const size_t begin = texts[0].find_first_not_of(' ');
  return begin == std::string::npos ? std::string() : texts[0].substr(begin, texts[0].find_last_not_of(' ') - begin + 1);
}

// A number property; NaN when the instance has no value for it.
double Number(IWbemClassObject* object, const wchar_t* name) {
  const std::string text = Text(object, name);
  if (text.empty()) return std::nan("");
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return *end ? std::nan("") : value;
}

// The value of the key `key` in an object path (`...Tag="VXN:QZ_MemoryModule:1-2"`), unescaped.
std::string KeyOf(const std::string& path, const char* key) {
  const std::string start = std::string(key) + "=\"";
  size_t at = path.find(start);
  while (at != std::string::npos && at > 0 && path[at - 1] != '.' && path[at - 1] != ',') at = path.find(start, at + 1);
  if (at == std::string::npos) return {};
  std::string value;
  for (size_t i = at + start.size(); i < path.size() && path[i] != '"'; ++i) {
    if (path[i] == '\\' && i + 1 < path.size()) ++i;
    value += path[i];
  }
  return value;
}

// What follows the last ':' of a tag: the board number of "VXN:QZ_MemoryBoard:2".
std::string TagNumber(const std::string& tag) {
  const size_t colon = tag.rfind(':');
  return colon == std::string::npos ? tag : tag.substr(colon + 1);
}

HRESULT Enumerate(IWbemServices* services, const wchar_t* name, std::vector<CComPtr<IWbemClassObject>>* objects) {
  CComPtr<IEnumWbemClassObject> enumerator;
  HRESULT hr = services->CreateInstanceEnum(CComBSTR(name), kForward, nullptr, &enumerator);
  if (FAILED(hr)) return hr;
  return ForEachObject(enumerator, [&](IWbemClassObject* object) {
    objects->emplace_back(object);
    return S_OK;
  });
}

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The memory event counter that the server's agent moves on every memory event; -1 when none runs.
double MemoryEventCounter() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return -1;
  DWORD type = REG_NONE, value = 0, size = sizeof value;
  const LONG read = RegQueryValueExW(key, L"QZ_MemoryEvent", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return read == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value ? value : -1;
}

bool Contains(const std::vector<std::string>& values, const char* value) {
  for (const std::string& v : values)
    if (v == value) return true;
  return false;
}

}  // namespace

// What the instances say, read once per build of them.
struct Inventory {
  struct Module {
    Labels labels;  // tag, board, socket, bank_label, part_number, serial, manufacturer
    std::string name, memoryType, formFactor;
    double capacity, health, status, speedHz;
    bool predictive;
  };
  struct Element {
    Labels labels;
    double health, status;
    bool fitted, locked, hotPlug;
    double total, available;  // bytes (boards)
  };
  std::vector<Module> modules;
  std::vector<Element> moduleSlots, boards, boardSlots;
  struct Redundancy {
    std::string id, current, target;
    double status, total, available;
  };
  std::vector<Redundancy> redundancy;
  std::vector<std::pair<std::string, double>> collections;          // id, status
  std::vector<std::tuple<std::string, double, double>> systemMemory;  // id, size, health
};

namespace {

using ClassObjects = std::vector<CComPtr<IWbemClassObject>>[kClassCount];

// The first value of a status array as a number; NaN when the instance has none.
double FirstStatus(IWbemClassObject* object, const wchar_t* name) {
  const std::vector<std::string> status = Texts(object, name);
  return status.empty() ? std::nan("") : std::strtod(status[0].c_str(), nullptr);
}

// Where the elements sit, from the associations, by tag: each module's socket, each socket's board
// number and socket number, and the sockets and slots that hold something.
struct Placement {
  std::map<std::string, std::string> slotOfModule, boardOfSlot, numberOfSlot;
  std::map<std::string, bool> fitted;
};

Placement ReadPlacement(const ClassObjects& objects) {
  Placement placed;
  for (IWbemClassObject* link : objects[kModuleInSlot]) {
    const std::string slot = KeyOf(Text(link, L"Antecedent"), "Tag");
    placed.slotOfModule[KeyOf(Text(link, L"Dependent"), "Tag")] = slot;
    placed.fitted[slot] = true;
  }
  for (IWbemClassObject* link : objects[kBoardInSlot]) placed.fitted[KeyOf(Text(link, L"Antecedent"), "Tag")] = true;
  for (IWbemClassObject* link : objects[kSlotOnBoard]) {
    const std::string board = TagNumber(KeyOf(Text(link, L"GroupComponent"), "Tag"));
    placed.boardOfSlot[KeyOf(Text(link, L"PartComponent"), "Tag")] = board;
  }
  for (IWbemClassObject* slot : objects[kModuleSlot]) placed.numberOfSlot[Text(slot, L"Tag")] = Text(slot, L"Number");
  return placed;
}

void ReadModules(const ClassObjects& objects, IWbemServices* services, Placement& placed, Inventory& inventory) {
  // Coded values of the info series in words, from the class's value maps.
  ClassInfo moduleClass;
  const PropertyInfo *memoryType = nullptr, *formFactor = nullptr;
  if (!objects[kModule].empty() && SUCCEEDED(ReadClass(services, L"QZ_MemoryModule", &moduleClass))) {
    memoryType = moduleClass.Find("MemoryType");
    formFactor = moduleClass.Find("FormFactor");
  }
  for (IWbemClassObject* object : objects[kModule]) {
    Inventory::Module m;
    const std::string tag = Text(object, L"Tag");
    const std::string slot = placed.slotOfModule[tag];
    m.labels = {{"tag", tag},
                {"board", placed.boardOfSlot[slot]},
                {"socket", placed.numberOfSlot[slot]},
                {"bank_label", Text(object, L"BankLabel")},
                {"part_number", Text(object, L"PartNumber")},
                {"serial", Text(object, L"SerialNumber")},
                {"manufacturer", Text(object, L"Manufacturer")}};
    m.name = Text(object, L"Name");
    const std::string type = Text(object, L"MemoryType"), form = Text(object, L"FormFactor");
    m.memoryType = memoryType && !ValueText(*memoryType, type).empty() ? ValueText(*memoryType, type) : type;
    m.formFactor = formFactor && !ValueText(*formFactor, form).empty() ? ValueText(*formFactor, form) : form;
    m.capacity = Number(object, L"Capacity");
    m.health = Number(object, L"HealthState");
    const std::vector<std::string> status = Texts(object, L"OperationalStatus");
    m.status = status.empty() ? std::nan("") : std::strtod(status[0].c_str(), nullptr);
    m.predictive = Contains(status, "5");
    m.speedHz = Text(object, L"IsSpeedInMhz") == "TRUE" ? Number(object, L"Speed") * 1e6 : std::nan("");
    inventory.modules.push_back(std::move(m));
  }
}

// The sockets, the boards and the board slots.
void ReadElements(const ClassObjects& objects, Placement& placed, Inventory& inventory) {
  auto element = [&](IWbemClassObject* object, Labels labels) {
    Inventory::Element e{};
    e.labels = std::move(labels);
    e.health = Number(object, L"HealthState");
    e.status = FirstStatus(object, L"OperationalStatus");
    return e;
  };
  for (IWbemClassObject* object : objects[kModuleSlot]) {
    const std::string tag = Text(object, L"Tag");
    Inventory::Element e =
        element(object, {{"tag", tag}, {"board", placed.boardOfSlot[tag]}, {"socket", Text(object, L"Number")}});
    e.fitted = placed.fitted.count(tag) > 0;
    inventory.moduleSlots.push_back(std::move(e));
  }
  for (IWbemClassObject* object : objects[kBoard]) {
    const std::string tag = Text(object, L"Tag");
    Inventory::Element e = element(object, {{"tag", tag}, {"board", TagNumber(tag)}});
    e.locked = Text(object, L"Locked") == "2";
    e.hotPlug = Text(object, L"RemovalConditions") == "4";
    e.total = Number(object, L"TotalMemory") * kMiB;
    e.available = Number(object, L"AvailableMemory") * kMiB;
    inventory.boards.push_back(std::move(e));
  }
  for (IWbemClassObject* object : objects[kBoardSlot]) {
    const std::string tag = Text(object, L"Tag");
    Inventory::Element e = element(object, {{"tag", tag}, {"slot", Text(object, L"Number")}});
    e.fitted = placed.fitted.count(tag) > 0;
    inventory.boardSlots.push_back(std::move(e));
  }
}

Inventory Read(const ClassObjects& objects, IWbemServices* services) {
  Inventory inventory;
  Placement placed = ReadPlacement(objects);
  ReadModules(objects, services, placed, inventory);
  ReadElements(objects, placed, inventory);
  for (IWbemClassObject* object : objects[kRedundancy])
    inventory.redundancy.push_back({Text(object, L"InstanceID"), Text(object, L"CurrentConfiguration"),
                                    Text(object, L"TargetConfiguration"), Number(object, L"RedundancyStatus"),
                                    Number(object, L"TotalMemory") * kMiB, Number(object, L"AvailableMemory") * kMiB});
  for (IWbemClassObject* object : objects[kCollection])
    inventory.collections.emplace_back(Text(object, L"InstanceID"), FirstStatus(object, L"GroupOperationalStatus"));
  for (IWbemClassObject* object : objects[kSystemMemory])
    inventory.systemMemory.emplace_back(Text(object, L"DeviceID"), Number(object, L"NumberOfBlocks") * Number(object, L"BlockSize"),
                                        Number(object, L"HealthState"));
  return inventory;
}

// One family with a sample per row; rows whose value is unknown (NaN) are left out, and so is a
// family without samples.
template <class Rows, class Value, class LabelsOf>
void Write(Exposition& out, const char* name, Kind kind, const char* help, const Rows& rows, LabelsOf labelsOf, Value value) {
  bool started = false;
  for (const auto& row : rows) {
    const double v = value(row);
    if (std::isnan(v)) continue;
    if (!started) out.Family(name, kind, help);
    started = true;
    out.Sample(name, labelsOf(row), v);
  }
}

void WriteInventory(Exposition& out, const Inventory& inv) {
  const auto own = [](const auto& row) -> const Labels& { return row.labels; };
  using Module = Inventory::Module;
  using Element = Inventory::Element;
  Write(out, "qzwmi_memory_module_info", Kind::Info, "A memory module, with its descriptive labels.", inv.modules,
        [](const Module& m) {
          Labels labels = m.labels;
          labels.insert(labels.end(), {{"name", m.name}, {"memory_type", m.memoryType}, {"form_factor", m.formFactor}});
          return labels;
        },
        [](const Module&) { return 1.0; });
  Write(out, "qzwmi_memory_module_capacity_bytes", Kind::Gauge, "The size of the memory module.", inv.modules, own,
        [](const Module& m) { return m.capacity; });
  Write(out, "qzwmi_memory_module_health_state", Kind::Gauge,
        "The health of the memory module (5 OK, 10 degraded, 15 minor, 20 major, 25 critical failure, 30 non-recoverable).",
        inv.modules, own, [](const Module& m) { return m.health; });
  Write(out, "qzwmi_memory_module_operational_status", Kind::Gauge,
        "The first operational status of the memory module (2 OK, 3 degraded, 5 predictive failure, 6 error).",
        inv.modules, own, [](const Module& m) { return m.status; });
  Write(out, "qzwmi_memory_module_predictive_failure", Kind::Gauge, "1 when the memory module is expected to fail.",
        inv.modules, own, [](const Module& m) { return m.predictive ? 1.0 : 0.0; });
  Write(out, "qzwmi_memory_module_speed_hertz", Kind::Gauge, "The configured speed of the memory module.", inv.modules,
        own, [](const Module& m) { return m.speedHz; });

  Write(out, "qzwmi_memory_module_slot_fitted", Kind::Gauge, "1 when a module is fitted in the socket, 0 when it is empty.",
        inv.moduleSlots, own, [](const Element& e) { return e.fitted ? 1.0 : 0.0; });
  Write(out, "qzwmi_memory_module_slot_health_state", Kind::Gauge, "The health of the memory module socket.",
        inv.moduleSlots, own, [](const Element& e) { return e.health; });

  Write(out, "qzwmi_memory_board_health_state", Kind::Gauge, "The health of the memory board.", inv.boards, own,
        [](const Element& e) { return e.health; });
  Write(out, "qzwmi_memory_board_operational_status", Kind::Gauge, "The first operational status of the memory board.",
        inv.boards, own, [](const Element& e) { return e.status; });
  Write(out, "qzwmi_memory_board_locked", Kind::Gauge, "1 when the memory board is locked.", inv.boards, own,
        [](const Element& e) { return e.locked ? 1.0 : 0.0; });
  Write(out, "qzwmi_memory_board_hot_plug", Kind::Gauge, "1 when the memory board can be removed while the server runs.",
        inv.boards, own, [](const Element& e) { return e.hotPlug ? 1.0 : 0.0; });
  Write(out, "qzwmi_memory_board_total_bytes", Kind::Gauge, "The memory installed on the board.", inv.boards, own,
        [](const Element& e) { return e.total; });
  Write(out, "qzwmi_memory_board_available_bytes", Kind::Gauge, "The memory of the board that is available.", inv.boards,
        own, [](const Element& e) { return e.available; });

  Write(out, "qzwmi_memory_board_slot_fitted", Kind::Gauge, "1 when a board is fitted in the slot, 0 when it is empty.",
        inv.boardSlots, own, [](const Element& e) { return e.fitted ? 1.0 : 0.0; });
  Write(out, "qzwmi_memory_board_slot_health_state", Kind::Gauge, "The health of the memory board slot.", inv.boardSlots,
        own, [](const Element& e) { return e.health; });

  using Redundancy = Inventory::Redundancy;
  const auto id = [](const Redundancy& r) { return Labels{{"id", r.id}}; };
  Write(out, "qzwmi_memory_redundancy_info", Kind::Info, "The memory protection running now and the one selected.",
        inv.redundancy,
        [](const Redundancy& r) {
          return Labels{{"id", r.id}, {"current_configuration", r.current}, {"target_configuration", r.target}};
        },
        [](const Redundancy&) { return 1.0; });
  Write(out, "qzwmi_memory_redundancy_status", Kind::Gauge,
        "Whether the memory protection is intact (2 fully redundant, 3 degraded, 4 redundancy lost, 5 overall failure).",
        inv.redundancy, id, [](const Redundancy& r) { return r.status; });
  Write(out, "qzwmi_memory_redundancy_total_bytes", Kind::Gauge, "The memory installed.", inv.redundancy, id,
        [](const Redundancy& r) { return r.total; });
  Write(out, "qzwmi_memory_redundancy_available_bytes", Kind::Gauge, "The memory available under the running protection.",
        inv.redundancy, id, [](const Redundancy& r) { return r.available; });

  using Collection = std::pair<std::string, double>;
  Write(out, "qzwmi_memory_collection_operational_status", Kind::Gauge,
        "The status of the server's memory as a whole (2 OK, 3 degraded, 6 error).", inv.collections,
        [](const Collection& c) { return Labels{{"id", c.first}}; }, [](const Collection& c) { return c.second; });
  using Extent = std::tuple<std::string, double, double>;
  Write(out, "qzwmi_memory_system_size_bytes", Kind::Gauge, "The size of the system memory.", inv.systemMemory,
        [](const Extent& e) { return Labels{{"id", std::get<0>(e)}}; }, [](const Extent& e) { return std::get<1>(e); });
  Write(out, "qzwmi_memory_system_health_state", Kind::Gauge, "The health of the system memory.", inv.systemMemory,
        [](const Extent& e) { return Labels{{"id", std::get<0>(e)}}; }, [](const Extent& e) { return std::get<2>(e); });
}

// The host's error counters, labelled as the modules they belong to; nothing on other machines.
void WriteHostErrors(Exposition& out, const Inventory& inv) {
  std::vector<QzHostModuleErrors> errors(256);
  DWORD count = QzGetHostModuleErrors(errors.data(), static_cast<DWORD>(errors.size()));
  if (count > errors.size()) {
    errors.resize(count);
    count = QzGetHostModuleErrors(errors.data(), count);
  }
  errors.resize(std::min<size_t>(count, errors.size()));
  std::vector<std::pair<const Labels*, const QzHostModuleErrors*>> rows;
  for (const QzHostModuleErrors& e : errors) {
    for (const Inventory::Module& m : inv.modules) {
      if (m.labels[1].second == std::to_string(e.board) && m.labels[2].second == std::to_string(e.socket)) {
        rows.emplace_back(&m.labels, &e);
        break;
      }
    }
  }
  using Row = std::pair<const Labels*, const QzHostModuleErrors*>;
  const auto labels = [](const Row& r) -> const Labels& { return *r.first; };
  Write(out, "qzwmi_memory_module_corrected_errors_total", Kind::Counter,
        "Corrected memory errors the host recorded for the module.", rows, labels,
        [](const Row& r) { return static_cast<double>(r.second->corrected); });
  Write(out, "qzwmi_memory_module_uncorrected_errors_total", Kind::Counter,
        "Uncorrected memory errors the host recorded for the module.", rows, labels,
        [](const Row& r) { return static_cast<double>(r.second->uncorrected); });
}

void WriteService(Exposition& out, const ServiceStats::Snapshot& s) {
  if (!s.requests.empty()) {
    out.Family("qzwmi_requests_total", Kind::Counter, "Requests answered, by operation and result.");
    for (const auto& [key, count] : s.requests)
      out.Sample("qzwmi_requests_total", {{"operation", key.first}, {"result", key.second}}, static_cast<double>(count));
  }
  out.Family("qzwmi_request_duration_seconds", Kind::Histogram, "How long requests took to answer.");
  for (size_t i = 0; i < kDurationBuckets.size(); ++i)
    out.Sample("qzwmi_request_duration_seconds_bucket", {{"le", NumberText(kDurationBuckets[i])}}, static_cast<double>(s.buckets[i]));
  out.Sample("qzwmi_request_duration_seconds_bucket", {{"le", "+Inf"}}, static_cast<double>(s.durationCount));
  out.Sample("qzwmi_request_duration_seconds_sum", {}, s.durationSum);
  out.Sample("qzwmi_request_duration_seconds_count", {}, static_cast<double>(s.durationCount));
  out.Family("qzwmi_failed_logins_total", Kind::Counter, "Requests refused for credentials that did not pass.");
  out.Sample("qzwmi_failed_logins_total", {}, static_cast<double>(s.failedLogins));
  out.Family("qzwmi_open_connections", Kind::Gauge, "Connections being served or waiting.");
  out.Sample("qzwmi_open_connections", {}, static_cast<double>(s.openConnections));
}

// The instances of every class; read again when the modules changed meanwhile (a memory event
// rebuilt the lists halfway), so that all of them come from one build.
HRESULT EnumerateAll(IWbemServices* services, ClassObjects& objects) {
  for (int attempt = 0;; ++attempt) {
    for (int c = 0; c < kClassCount; ++c) {
      objects[c].clear();
      HRESULT hr = Enumerate(services, kClasses[c], &objects[c]);
      if (FAILED(hr)) return hr;
    }
    std::vector<CComPtr<IWbemClassObject>> modules;
    HRESULT hr = Enumerate(services, kClasses[kModule], &modules);
    if (FAILED(hr)) return hr;
    if (modules == objects[kModule] || attempt == 2) return S_OK;
  }
}

}  // namespace

MemoryMetrics::MemoryMetrics() = default;
MemoryMetrics::~MemoryMetrics() = default;

HRESULT MemoryMetrics::Build(IWbemServices* services, Format format, const BuildInfo& build, ServiceStats* stats,
                             std::string* out) {
  ClassObjects objects;
  if (HRESULT hr = EnumerateAll(services, objects); FAILED(hr)) return hr;
  Objects all;
  for (const auto& list : objects)
    for (const auto& object : list) all.push_back(object);

  std::shared_ptr<const Inventory> inventory;
  std::string families;
  double rebuilt = 0;
  {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (all != m_Objects || !m_Inventory) {
      // The service hands out the providers' own instances, and a provider never changes one it
      // has published: other objects mean the lists were built anew.
      m_Inventory = std::make_shared<const Inventory>(Read(objects, services));
      m_Objects = std::move(all);
      m_Text[0].clear();
      m_Text[1].clear();
      m_Rebuilt = Now();
    }
    std::string& text = m_Text[format == Format::OpenMetrics ? 1 : 0];
    if (text.empty()) {
      Exposition written(format);
      WriteInventory(written, *m_Inventory);
      text = std::move(written.Text());
    }
    families = text;
    inventory = m_Inventory;
    rebuilt = m_Rebuilt;
  }

  Exposition exposition(format);
  exposition.Text() = std::move(families);
  WriteHostErrors(exposition, *inventory);
  const double events = MemoryEventCounter();
  if (events >= 0) {
    exposition.Family("qzwmi_memory_event_sequence", Kind::Gauge,
                      "The memory event counter: it moves on at every memory event, and the instances are built anew.");
    exposition.Sample("qzwmi_memory_event_sequence", {}, events);
  }
  exposition.Family("qzwmi_last_rebuild_timestamp_seconds", Kind::Gauge, "When the published instances were last seen built anew.");
  exposition.Sample("qzwmi_last_rebuild_timestamp_seconds", {}, rebuilt);
  exposition.Family("qzwmi_build_info", Kind::Info, "The version of qzwmi.");
  exposition.Sample("qzwmi_build_info", {{"version", build.version}, {"revision", build.revision}}, 1);
  if (stats) WriteService(exposition, stats->Read());
  *out = exposition.Finish();
  return S_OK;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  // Readable as a file written by the collector's user would be, whatever the umask.
  char reason[512];
  if (QzWriteFileAtomically(path.c_str(), text.data(), text.size(), 0644, reason, sizeof reason)) return true;
  *error = reason;
  return false;
}

}  // namespace qzwmi::metrics
