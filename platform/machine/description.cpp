// Machine descriptions: the JSON files that say what server this process manages, read strictly so
// that a typo is an error and not a silently different machine; and the machine current in the process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "kernel32/sysroot.h"
#include "machine/host.h"
#include "machine/machine.h"
#include "qzplatform.h"
#include "windows.h"

namespace qz::machine {
namespace {

using nlohmann::json;

// A description error: the field path and the problem. Only thrown inside this file.
struct DescriptionError {
  std::string path;
  std::string problem;
};

std::string Join(const std::string& path, const std::string& name) { return path.empty() ? name : path + "." + name; }
std::string At(const std::string& path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

// The members of one JSON object, read one by one; Done() refuses whatever was not read.
class Fields {
 public:
  Fields(const json& value, std::string path) : m_Value(value), m_Path(std::move(path)) {
    if (!value.is_object()) throw DescriptionError{m_Path, "expected an object"};
  }

  const std::string& Path() const { return m_Path; }

  // The member `name`, or null when it is absent.
  const json* Find(const std::string& name) {
    m_Read.insert(name);
    auto it = m_Value.find(name);
    return it == m_Value.end() ? nullptr : &*it;
  }
  bool Has(const std::string& name) const { return m_Value.contains(name); }

  void Bool(const std::string& name, bool& out) {
    const json* value = Find(name);
    if (!value) return;
    if (!value->is_boolean()) throw DescriptionError{Join(m_Path, name), "expected true or false"};
    out = value->get<bool>();
  }

  template <class T>
  void Unsigned(const std::string& name, T& out) {
    if (const json* value = Find(name)) out = UnsignedValue<T>(*value, Join(m_Path, name));
  }
  template <class T>
  void Unsigned(const std::string& name, std::optional<T>& out) {
    if (const json* value = Find(name)) out = UnsignedValue<T>(*value, Join(m_Path, name));
  }

  void String(const std::string& name, std::string& out, size_t max_bytes = std::string::npos) {
    const json* value = Find(name);
    if (!value) return;
    if (!value->is_string()) throw DescriptionError{Join(m_Path, name), "expected a string"};
    std::string text = value->get<std::string>();
    if (text.size() > max_bytes)
      throw DescriptionError{Join(m_Path, name), "longer than " + std::to_string(max_bytes) + " bytes"};
    out = std::move(text);
  }

  // A text the server keeps as bytes (SMBIOS strings, the driver's part number): the description
  // writes it in UTF-8, the firmware in the ANSI code page that the provider reads it with.
  void CodePageString(const std::string& name, std::string& out, size_t max_bytes = std::string::npos) {
    std::string text;
    String(name, text);
    if (text.empty()) return;
    const std::string path = Join(m_Path, name);
    const int length = static_cast<int>(text.size());
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), length)));
    if (wide.empty()) throw DescriptionError{path, "expected UTF-8 text"};
    std::string bytes(wide.size(), '\0');
    BOOL lacking = FALSE;
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(),
                        static_cast<int>(bytes.size()), nullptr, &lacking);
    if (lacking) throw DescriptionError{path, "a character that the ANSI code page (Windows-1252) lacks"};
    if (bytes.size() > max_bytes)
      throw DescriptionError{path, "longer than " + std::to_string(max_bytes) + " bytes"};
    out = std::move(bytes);
  }

  void Hex(const std::string& name, std::vector<uint8_t>& out, size_t max_bytes = std::string::npos) {
    const json* value = Find(name);
    if (!value) return;
    std::string path = Join(m_Path, name);
    if (!value->is_string()) throw DescriptionError{path, "expected a string of hex digits"};
    std::vector<uint8_t> bytes = HexBytes(value->get<std::string>(), path);
    if (bytes.size() > max_bytes) throw DescriptionError{path, "longer than " + std::to_string(max_bytes) + " bytes"};
    out = std::move(bytes);
  }

  // Calls `read` for each element of the array `name`, with the element's path.
  void Array(const std::string& name, const std::function<void(const json&, const std::string&)>& read) {
    const json* value = Find(name);
    if (!value) return;
    std::string path = Join(m_Path, name);
    if (!value->is_array()) throw DescriptionError{path, "expected an array"};
    for (size_t i = 0; i < value->size(); ++i) read((*value)[i], At(path, i));
  }

  // Calls `read` with the fields of the object `name`, then checks that all of them were read.
  void Object(const std::string& name, const std::function<void(Fields&)>& read) {
    const json* value = Find(name);
    if (!value) return;
    Fields fields(*value, Join(m_Path, name));
    read(fields);
    fields.Done();
  }

  // Every member must have been read; "comment" members are notes for the reader of the file.
  void Done() const {
    for (auto it = m_Value.begin(); it != m_Value.end(); ++it) {
      if (it.key() != "comment" && !m_Read.count(it.key()))
        throw DescriptionError{Join(m_Path, it.key()), "unknown field"};
    }
  }

  template <class T>
  static T UnsignedValue(const json& value, const std::string& path) {
    constexpr int kBits = sizeof(T) * 8;
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<T>::max());
    bool ok = value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
    if (!ok || value.get<uint64_t>() > kMax)
      throw DescriptionError{path, "expected an unsigned number below 2^" + std::to_string(kBits)};
    return static_cast<T>(value.get<uint64_t>());
  }

  // Pairs of hex digits, optionally separated by spaces between bytes ("0a00ff" or "0a 00 ff").
  static std::vector<uint8_t> HexBytes(const std::string& text, const std::string& path) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
      if (c == ' ' && high < 0) continue;
      int digit = HexDigit(c);
      if (digit < 0) throw DescriptionError{path, "expected pairs of hex digits, found '" + std::string(1, c) + "'"};
      if (high < 0) {
        high = digit;
        continue;
      }
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
    if (high >= 0) throw DescriptionError{path, "expected pairs of hex digits, found a lone digit at the end"};
    return bytes;
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

 private:
  const json& m_Value;
  std::string m_Path;
  std::set<std::string> m_Read;
};

void ReadMode(Fields& config, const std::string& name, DriverConfiguration::Mode& mode) {
  config.Object(name, [&](Fields& f) {
    f.Bool("offered", mode.offered);
    f.Bool("selected", mode.selected);
  });
}

DriverModule ReadModule(const json& value, const std::string& path, uint32_t default_socket) {
  Fields f(value, path);
  DriverModule module;
  module.socket = default_socket;
  f.Unsigned<uint32_t>("socket", module.socket);
  if (module.socket > 0xFF) throw DescriptionError{Join(path, "socket"), "expected a socket number below 256"};
  f.Bool("present", module.present);
  f.Unsigned("status", module.status);
  f.Unsigned("formFactor", module.formFactor);
  f.Unsigned("memoryType", module.memoryType);
  f.Unsigned("sizeMiB", module.sizeMiB);
  f.Unsigned("speedMHz", module.speedMHz);
  f.Unsigned("dataWidth", module.dataWidth);
  f.CodePageString("partNumber", module.partNumber, 32);
  f.Bool("spdValid", module.spdValid);
  f.Hex("spd", module.spd, 256);
  f.CodePageString("manufacturer", module.manufacturer);
  f.CodePageString("serialNumber", module.serialNumber);
  f.Done();
  return module;
}

uint32_t ModuleMemory(const DriverBoard& board) {
  uint64_t total = 0;
  for (const DriverModule& module : board.modules)
    if (module.present) total += module.sizeMiB;
  return static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFF));
}

DriverBoard ReadBoard(const json& value, const std::string& path, uint32_t default_index) {
  Fields f(value, path);
  DriverBoard board;
  board.index = default_index;
  f.Unsigned<uint32_t>("index", board.index);
  if (board.index > 0xFF) throw DescriptionError{Join(path, "index"), "expected a board index below 256"};
  board.number = board.index;
  f.Unsigned("number", board.number);
  f.Bool("present", board.present);
  f.Bool("hotPlug", board.hotPlug);
  board.status = 0;  // a board that a description does not qualify is in order (code 0)
  f.Unsigned("status", board.status);
  f.Unsigned("lockState", board.lockState);
  f.Unsigned("sockets", board.sockets);
  uint32_t next_socket = 1;
  f.Array("modules", [&](const json& element, const std::string& element_path) {
    DriverModule module = ReadModule(element, element_path, next_socket);
    for (const DriverModule& other : board.modules)
      if (other.socket == module.socket)
        throw DescriptionError{element_path, "socket " + std::to_string(module.socket) + " is described twice"};
    next_socket = module.socket + 1;
    board.modules.push_back(std::move(module));
  });
  board.totalMemory = ModuleMemory(board);
  f.Unsigned("totalMemory", board.totalMemory);
  board.availableMemory = board.totalMemory;
  f.Unsigned("availableMemory", board.availableMemory);
  f.Done();
  return board;
}

// Matches a raw answer or a fault to a command and, optionally, its first two parameter bytes.
template <class T>
void ReadCommandMatch(Fields& f, T& entry) {
  if (!f.Has("command")) throw DescriptionError{Join(f.Path(), "command"), "missing"};
  f.Unsigned("command", entry.command);
  f.Unsigned("param0", entry.param0);
  f.Unsigned("param1", entry.param1);
  f.Unsigned("supplied", entry.supplied);
}

// The configuration and the protection state: the geometry and the memory totals follow from the
// boards unless the description gives them.
void ReadGeometry(Fields& f, HealthDriver& driver) {
  DriverConfiguration& config = driver.configuration;
  config.boardCount = static_cast<uint32_t>(driver.boards.size());
  uint64_t total = 0;
  for (const DriverBoard& board : driver.boards) {
    config.socketsPerBoard = std::max(config.socketsPerBoard, board.sockets);
    for (const DriverModule& module : board.modules)
      config.socketsPerBoard = std::max(config.socketsPerBoard, module.socket);
    total += ModuleMemory(board);
  }
  f.Object("configuration", [&](Fields& c) {
    c.Unsigned("socketsPerBoard", config.socketsPerBoard);
    c.Unsigned("boardCount", config.boardCount);
    ReadMode(c, "raid", config.raid);
    ReadMode(c, "onlineSpare", config.onlineSpare);
    ReadMode(c, "mirroring1", config.mirroring1);
    ReadMode(c, "advancedEcc", config.advancedEcc);
    ReadMode(c, "mirroring2", config.mirroring2);
    ReadMode(c, "mirroring3", config.mirroring3);
    ReadMode(c, "lockstep", config.lockstep);
  });
  DriverProtection& protection = driver.protection;
  protection.totalMemory = static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFF));
  protection.availableMemory = protection.totalMemory;
  f.Object("protection", [&](Fields& p) {
    p.Unsigned("state", protection.state);
    p.Unsigned("operatingSpeed", protection.operatingSpeed);
    p.Unsigned("totalMemory", protection.totalMemory);
    protection.availableMemory = protection.totalMemory;
    p.Unsigned("availableMemory", protection.availableMemory);
  });
}

HealthDriver ReadDriver(Fields& f) {
  HealthDriver driver;
  f.Bool("primaryDevice", driver.primaryDevice);
  f.Bool("secondaryDevice", driver.secondaryDevice);
  f.Bool("ampPresent", driver.ampPresent);
  f.Bool("processorBoards", driver.processorBoards);
  f.Bool("physicalReadFails", driver.physicalReadFails);
  uint32_t next_index = 1;
  f.Array("boards", [&](const json& element, const std::string& path) {
    DriverBoard board = ReadBoard(element, path, next_index);
    for (const DriverBoard& other : driver.boards)
      if (other.index == board.index)
        throw DescriptionError{path, "board index " + std::to_string(board.index) + " is described twice"};
    next_index = board.index + 1;
    driver.boards.push_back(std::move(board));
  });

  ReadGeometry(f, driver);
  f.Array("rawAnswers", [&](const json& element, const std::string& path) {
    Fields r(element, path);
    RawAnswer raw;
    ReadCommandMatch(r, raw);
    r.Hex("data", raw.data, 0xFFFF);
    r.Done();
    driver.rawAnswers.push_back(std::move(raw));
  });
  f.Array("faults", [&](const json& element, const std::string& path) {
    Fields r(element, path);
    CommandFault fault;
    ReadCommandMatch(r, fault);
    r.Bool("fail", fault.fail);
    r.Done();
    driver.faults.push_back(fault);
  });
  return driver;
}

SmbiosMemoryDevice ReadSmbiosDevice(const json& value, const std::string& path) {
  Fields f(value, path);
  SmbiosMemoryDevice device;
  f.Unsigned("handle", device.handle);
  f.Unsigned("totalWidth", device.totalWidth);
  f.Unsigned("dataWidth", device.dataWidth);
  f.Unsigned("size", device.size);
  f.Unsigned("extendedSize", device.extendedSize);
  f.Unsigned("formFactor", device.formFactor);
  f.Unsigned("memoryType", device.memoryType);
  f.CodePageString("deviceLocator", device.deviceLocator);
  f.CodePageString("bankLocator", device.bankLocator);
  f.Unsigned("speed", device.speed);
  f.CodePageString("manufacturer", device.manufacturer);
  f.CodePageString("serialNumber", device.serialNumber);
  f.CodePageString("partNumber", device.partNumber);
  f.Unsigned("configuredSpeed", device.configuredSpeed);
  f.Unsigned("length", device.length);
  f.Unsigned("partitionRow", device.partitionRow);
  f.Unsigned("interleavePosition", device.interleavePosition);
  f.Unsigned("oemBoard", device.oemBoard);
  f.Unsigned("oemModule", device.oemModule);
  f.Unsigned("oemProcessor", device.oemProcessor);
  f.Done();
  return device;
}

// The SMBIOS memory devices that describe the driver's sockets: every socket of every board gets a
// type 17 record (an empty one when no module sits there) and a type 202 location record; fitted
// modules also get a type 20 record.
std::vector<SmbiosMemoryDevice> DevicesFromDriver(const HealthDriver& driver) {
  std::vector<SmbiosMemoryDevice> devices;
  for (const DriverBoard& board : driver.boards) {
    uint32_t sockets = board.sockets ? board.sockets : driver.configuration.socketsPerBoard;
    for (uint32_t socket = 1; socket <= sockets && socket <= 0xFF; ++socket) {
      SmbiosMemoryDevice device;
      std::string number = std::to_string(board.number);
      if (driver.processorBoards) {
        device.deviceLocator = "PROC " + number + " DIMM " + std::to_string(socket);
        device.bankLocator = "Processor " + number;
        device.oemProcessor = static_cast<uint8_t>(board.number);
      } else {
        device.deviceLocator = "DIMM " + std::to_string(socket);
        device.bankLocator = "Board " + number;
      }
      device.oemBoard = static_cast<uint8_t>(board.number);
      device.oemModule = static_cast<uint8_t>(socket);
      const DriverModule* module = nullptr;
      for (const DriverModule& m : board.modules)
        if (m.socket == socket) module = &m;
      if (module && module->present) {
        // Sizes from 32 GiB less 1 MiB up need the extended size field.
        if (module->sizeMiB < 0x7FFF) {
          device.size = static_cast<uint16_t>(module->sizeMiB);
        } else {
          device.size = 0x7FFF;
          device.extendedSize = module->sizeMiB;
        }
        device.formFactor = static_cast<uint8_t>(module->formFactor);
        device.memoryType = static_cast<uint8_t>(module->memoryType);
        device.dataWidth = module->dataWidth;
        device.totalWidth = static_cast<uint16_t>(module->dataWidth + module->dataWidth / 8);
        device.speed = static_cast<uint16_t>(std::min<uint32_t>(module->speedMHz, 0xFFFF));
        device.configuredSpeed = device.speed;
        device.manufacturer = module->manufacturer;
        device.serialNumber = module->serialNumber;
        device.partNumber = module->partNumber;
        device.partitionRow = 0xFF;       // unknown
        device.interleavePosition = 0;    // not interleaved
      } else {
        device.memoryType = 0x02;  // unknown, as firmware reports an empty socket
        device.totalWidth = 0xFFFF;
        device.dataWidth = 0xFFFF;
      }
      devices.push_back(std::move(device));
    }
  }
  return devices;
}

void ReadVersion(Fields& f, Smbios& smbios) {
  const json* value = f.Find("version");
  if (!value) return;
  std::string path = Join(f.Path(), "version");
  unsigned major = 0, minor = 0;
  char end = 0;
  if (!value->is_string() || std::sscanf(value->get<std::string>().c_str(), "%3u.%3u%c", &major, &minor, &end) != 2 ||
      major < 2 || major > 3 || minor > 255)
    throw DescriptionError{path, "expected a version like \"2.8\""};
  smbios.major = static_cast<uint8_t>(major);
  smbios.minor = static_cast<uint8_t>(minor);
}

std::string Folder(const std::string& file) {
  size_t slash = file.rfind('/');
  return slash == std::string::npos ? "" : file.substr(0, slash + 1);
}

void ReadSmbios(Fields& f, const std::string& origin, const std::optional<HealthDriver>& driver, Smbios& smbios) {
  int forms = f.Has("file") + f.Has("devices") + f.Has("fromDriver") + f.Has("present");
  if (forms != 1)
    throw DescriptionError{f.Path(), "expected exactly one of \"file\", \"devices\", \"fromDriver\" or \"present\""};
  f.Bool("badChecksum", smbios.badChecksum);
  if (f.Has("present")) {
    f.Bool("present", smbios.present);
    if (smbios.present) throw DescriptionError{Join(f.Path(), "present"), "only false is meaningful here"};
    return;
  }
  if (f.Has("file")) {
    std::string file;
    f.String("file", file);
    if (file.empty() || file[0] != '/') file = Folder(origin) + file;
    std::string error;
    bool bad_checksum = smbios.badChecksum;
    if (!LoadSmbiosFile(file, smbios, error)) throw DescriptionError{Join(f.Path(), "file"), error};
    smbios.badChecksum = smbios.badChecksum || bad_checksum;  // a file's own bad checksum stays bad
    return;
  }
  ReadVersion(f, smbios);
  std::vector<SmbiosMemoryDevice> devices;
  if (f.Has("fromDriver")) {
    bool from_driver = false;
    f.Bool("fromDriver", from_driver);
    if (!from_driver) throw DescriptionError{Join(f.Path(), "fromDriver"), "only true is meaningful here"};
    if (!driver) throw DescriptionError{Join(f.Path(), "fromDriver"), "the machine has no health driver"};
    devices = DevicesFromDriver(*driver);
  } else {
    f.Array("devices", [&](const json& element, const std::string& path) {
      devices.push_back(ReadSmbiosDevice(element, path));
    });
  }
  smbios.table = BuildSmbiosTable(devices, smbios.major, smbios.minor);
}

std::shared_ptr<Machine> ReadMachine(const json& document, const std::string& origin) {
  auto machine = std::make_shared<Machine>();
  machine->file = origin;
  Fields f(document, "");
  f.String("name", machine->name);
  f.Object("driver", [&](Fields& d) { machine->driver = ReadDriver(d); });
  if (f.Has("smbios")) {
    f.Object("smbios", [&](Fields& s) { ReadSmbios(s, origin, machine->driver, machine->smbios); });
  } else if (machine->driver && !machine->driver->boards.empty()) {
    machine->smbios.table =
        BuildSmbiosTable(DevicesFromDriver(*machine->driver), machine->smbios.major, machine->smbios.minor);
  } else {
    machine->smbios.present = false;
  }
  f.Object("dataStore", [&](Fields& d) {
    d.Bool("present", machine->dataStore.present);
    d.Bool("dataAvailable", machine->dataStore.dataAvailable);
  });
  f.Array("journal", [&](const json& element, const std::string& path) {
    Fields j(element, path);
    JournalEntry entry;
    j.Unsigned("severity", entry.severity);
    j.Hex("rawData", entry.rawData);
    j.String("description", entry.description);
    j.Done();
    machine->journal.push_back(std::move(entry));
  });
  f.Object("names", [&](Fields& n) {
    n.String("dnsFullyQualified", machine->names.dnsFullyQualified);
    n.String("dnsHostname", machine->names.dnsHostname);
    n.String("netBios", machine->names.netBios);
    uint32_t fail_on_call = 0;
    n.Unsigned("failOnCall", fail_on_call);
    if (fail_on_call > 0x7FFFFFFF)
      throw DescriptionError{Join(n.Path(), "failOnCall"), "expected an unsigned number below 2^31"};
    machine->names.failOnCall = static_cast<int>(fail_on_call);
  });
  f.Array("chassis", [&](const json& element, const std::string& path) {
    Fields c(element, path);
    Chassis chassis;
    c.String("tag", chassis.tag);
    c.String("computerSystem", chassis.computerSystem);
    c.Done();
    machine->chassis.push_back(std::move(chassis));
  });
  if (const json* delays = f.Find("answerDelayMs")) {
    if (!delays->is_object()) throw DescriptionError{"answerDelayMs", "expected an object of class names and milliseconds"};
    for (auto it = delays->begin(); it != delays->end(); ++it)
      machine->answerDelayMs[it.key()] = Fields::UnsignedValue<uint32_t>(it.value(), Join("answerDelayMs", it.key()));
  }
  f.Done();
  return machine;
}

// nlohmann's parse messages carry the line and column after this marker; the rest is its reason.
std::string SyntaxMessage(const std::string& what) {
  size_t at = what.find("parse error at ");
  if (at != std::string::npos) return what.substr(at + std::strlen("parse error at "));
  at = what.find("parse error");
  return at != std::string::npos ? what.substr(at) : what;
}

struct CurrentMachine {
  std::mutex lock;
  std::shared_ptr<const Machine> machine;
};

CurrentMachine& TheMachine() {
  static CurrentMachine* current = new CurrentMachine;  // never destroyed: devices may open at exit
  return *current;
}

// The machine of a process that was given none: $QZWMI_MACHINE, else the bundled default server.
// A description that cannot be read leaves a machine with nothing but a data store, and says why.
std::shared_ptr<const Machine> LoadConfiguredMachine() {
  const char* configured = std::getenv("QZWMI_MACHINE");
  std::string path = configured && *configured ? configured : qz::DataDir() + "/machines/default.json";
  std::string error;
  if (std::shared_ptr<Machine> machine = LoadMachineFile(path, error)) return machine;
  std::fprintf(stderr, "qzwmi: %s\n", error.c_str());
  auto empty = std::make_shared<Machine>();
  empty->name = "empty machine";
  empty->smbios.present = false;
  return empty;
}

BOOL ReportLoad(std::shared_ptr<Machine> machine, const std::string& error, char* out, DWORD out_size) {
  if (machine) {
    SetMachine(std::move(machine));
    return TRUE;
  }
  if (out && out_size) {
    size_t n = std::min<size_t>(error.size(), out_size - 1);
    std::memcpy(out, error.data(), n);
    out[n] = '\0';
  }
  SetLastError(ERROR_INVALID_DATA);
  return FALSE;
}

}  // namespace

std::shared_ptr<Machine> ParseMachine(const std::string& text, const std::string& origin, std::string& error) {
  json document;
  try {
    document = json::parse(text);
  } catch (const json::parse_error& e) {
    error = origin + ": " + SyntaxMessage(e.what());
    return nullptr;
  }
  try {
    return ReadMachine(document, origin);
  } catch (const DescriptionError& e) {
    error = origin + ": " + (e.path.empty() ? "" : e.path + ": ") + e.problem;
  } catch (const std::exception& e) {
    error = origin + ": " + e.what();
  }
  return nullptr;
}

std::shared_ptr<Machine> LoadMachineFile(const std::string& path, std::string& error) {
  if (path == kHostMachine) return LoadHostMachine(HostRoot(), HealthRulesFromEnvironment(), error);
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be opened (" + std::strerror(errno) + ")";
    return nullptr;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseMachine(text.str(), path, error);
}

std::shared_ptr<const Machine> Current() {
  CurrentMachine& current = TheMachine();
  std::lock_guard<std::mutex> guard(current.lock);
  if (!current.machine) current.machine = LoadConfiguredMachine();
  return current.machine;
}

void SetMachine(std::shared_ptr<const Machine> machine) {
  CurrentMachine& current = TheMachine();
  std::lock_guard<std::mutex> guard(current.lock);
  current.machine = std::move(machine);
}

}  // namespace qz::machine

extern "C" BOOL QzLoadMachine(const char* path, char* error, DWORD errorSize) {
  std::string message;
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return qz::machine::ReportLoad(qz::machine::LoadMachineFile(path, message), message, error, errorSize);
}

extern "C" BOOL QzLoadMachineText(const char* text, const char* origin, char* error, DWORD errorSize) {
  std::string message;
  if (!text) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return qz::machine::ReportLoad(qz::machine::ParseMachine(text, origin ? origin : "(text)", message), message,
                                 error, errorSize);
}
