// The server that the system manages, as a machine description gives it: the health driver and its
// answers, the SMBIOS table in physical memory, the data store, the journal, the computer names and
// the chassis. One machine is current per process; the platform's devices and providers read it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz::machine {

// One module socket on a board, as the health driver reports it (commands 1706 and 1707).
struct DriverModule {
  uint32_t socket = 1;          // socket number on the board, from 1
  bool present = true;          // 1706 offset 12
  uint32_t status = 2;          // 1707 offset 12: the module status code
  uint32_t formFactor = 9;      // 1706 offset 54, SMBIOS type 17 coding (9 = DIMM)
  uint32_t memoryType = 0x1A;   // 1706 offset 58, SMBIOS type 17 coding (0x1A = DDR4)
  uint32_t sizeMiB = 0;         // 1706 offset 62
  uint32_t speedMHz = 0;        // 1706 offset 66
  uint16_t dataWidth = 64;      // 1706 offset 78
  std::string partNumber;       // 1706 offset 90, up to 32 bytes, zero-padded
  bool spdValid = false;        // 1706 offset 122
  std::vector<uint8_t> spd;     // 1706 offset 126, up to 256 bytes
  // Not in the driver's answers: only the SMBIOS records generated from the driver carry them.
  std::string manufacturer;
  std::string serialNumber;
};

// One board index as the health driver reports it (commands 1705 and 1702).
struct DriverBoard {
  uint32_t index = 1;           // the index the driver is asked with (the commands' parameter byte)
  uint32_t number = 1;          // 1705 offset 0 and 1702 offset 0 (0: no board slot at this index)
  bool present = true;          // 1705 offset 4
  bool hotPlug = false;         // 1705 offset 8
  uint32_t status = 1;          // 1705 offset 12: the board status code
  uint32_t lockState = 0;       // 1705 offset 16
  uint32_t sockets = 0;         // 1702 offset 4 (default: the configuration's sockets per board)
  uint32_t availableMemory = 0; // 1702 offset 140
  uint32_t totalMemory = 0;     // 1702 offset 148
  std::vector<DriverModule> modules;
};

// The memory configuration (command 1700): the geometry and the protection modes offered/selected.
struct DriverConfiguration {
  uint32_t socketsPerBoard = 0;  // offset 0
  uint32_t boardCount = 0;       // offset 4
  struct Mode {
    bool offered = false;
    bool selected = false;
  };
  Mode raid;         // offsets 12 / 24
  Mode onlineSpare;  // offsets 16 / 28
  Mode mirroring1;   // offsets 20 / 32
  Mode advancedEcc;  // offsets 84 / 88
  Mode mirroring2;   // offsets 92 / 96
  Mode mirroring3;   // offsets 100 / 104
  Mode lockstep;     // offsets 108 / 112
};

// The protection state (command 1701).
struct DriverProtection {
  uint32_t state = 0;            // offset 0, 0-14
  uint32_t operatingSpeed = 0;   // offset 4
  uint32_t availableMemory = 0;  // offset 8
  uint32_t totalMemory = 0;      // offset 16, MiB
};

// A fault that a command answers with instead of its normal answer.
struct CommandFault {
  uint16_t command = 0;
  std::optional<uint8_t> param0;  // only for this first parameter byte (any when absent)
  std::optional<uint8_t> param1;  // only for this second parameter byte (any when absent)
  bool fail = false;              // the I/O control fails
  std::optional<uint16_t> supplied;  // the supplied-length field of the frame, whatever the data
};

// An answer given as raw bytes, replacing the one built from the structured fields.
struct RawAnswer {
  uint16_t command = 0;
  std::optional<uint8_t> param0;
  std::optional<uint8_t> param1;
  std::vector<uint8_t> data;  // the answer data; supplied length = its size unless given
  std::optional<uint16_t> supplied;
};

struct HealthDriver {
  bool primaryDevice = true;    // \\.\MQZ exists
  bool secondaryDevice = true;  // \\.\VrlHlth exists
  DriverConfiguration configuration;
  DriverProtection protection;
  bool ampPresent = true;          // 1711 byte 0
  bool processorBoards = false;    // 1711 byte 5 bit 1
  std::vector<DriverBoard> boards;
  std::vector<RawAnswer> rawAnswers;
  std::vector<CommandFault> faults;
  bool physicalReadFails = false;  // the physical-memory read I/O control fails
};

// One SMBIOS memory device (type 17) to generate, with its mapped address (type 20) and its OEM
// location record (type 202).
struct SmbiosMemoryDevice {
  uint16_t handle = 0;              // 0: assigned in order
  uint16_t totalWidth = 72;
  uint16_t dataWidth = 64;
  uint16_t size = 0;                // the raw Size field (0 = empty socket; 0x7FFF: see extendedSize)
  uint32_t extendedSize = 0;        // MiB
  uint8_t formFactor = 9;
  uint8_t memoryType = 0x1A;
  std::string deviceLocator;
  std::string bankLocator;
  uint16_t speed = 0;
  std::string manufacturer;
  std::string serialNumber;
  std::string partNumber;
  uint16_t configuredSpeed = 0;
  std::optional<uint8_t> length;    // the structure length (default: the version's own)
  // Type 20: written when set.
  std::optional<uint8_t> partitionRow;
  std::optional<uint8_t> interleavePosition;
  // Type 202: written when set.
  std::optional<uint8_t> oemBoard;      // 0xFF: none
  std::optional<uint8_t> oemModule;     // 0xFF: none
  std::optional<uint8_t> oemProcessor;  // makes the record 9 bytes long
};

struct Smbios {
  bool present = true;
  uint8_t major = 2, minor = 8;   // the entry point's version
  std::vector<uint8_t> table;     // the structure table (generated or loaded)
  bool badChecksum = false;       // the entry point's checksum is wrong
  std::string source;             // the file it came from, for messages ("" when generated)
};

struct DataStore {
  bool present = true;              // DataStoreStatus has an instance
  bool dataAvailable = true;
};

// An entry of the management journal (QZ_CommonLogEntry).
struct JournalEntry {
  uint32_t severity = 2;
  std::vector<uint8_t> rawData;
  std::string description;
};

struct ComputerNames {
  std::string dnsFullyQualified = "qz-server.example.net";
  std::string dnsHostname = "qz-server";
  std::string netBios = "QZ-SERVER";
  int failOnCall = 0;               // the Nth GetComputerNameExW call fails (0: never)
};

struct Chassis {
  std::string tag = "Chassis 0";    // the chassis instance's key
  std::string computerSystem;       // the computer system it holds ("" = this one)
};

struct Machine {
  std::string name;                 // a short description for messages
  std::string file;                 // where it was loaded from
  std::optional<HealthDriver> driver;  // absent: no health driver on this machine
  Smbios smbios;
  DataStore dataStore;
  std::vector<JournalEntry> journal;
  ComputerNames names;
  std::vector<Chassis> chassis;
  // Slow answers, by WMI class name (DataStoreStatus, MSSmBios_RawSMBiosTables, QZ_CommonLogEntry):
  // each instance of the class reaches the client this many milliseconds after the one before.
  std::map<std::string, uint32_t> answerDelayMs;
  // A machine read from the running host: the folder that stood for "/", and a summary of its
  // health sources when it was read (the watcher compares it to see a change).
  std::string hostRoot;
  std::string hostFingerprint;
};

// The machine of this process: the one set last (LoadMachine / SetMachine), else the file named by
// $QZWMI_MACHINE, else the bundled default server. Never null; loaded on first use.
std::shared_ptr<const Machine> Current();

// Makes `machine` current; its devices appear and disappear accordingly. Null forgets the current
// machine: the next Current() loads $QZWMI_MACHINE or the default again.
void SetMachine(std::shared_ptr<const Machine> machine);

// The name that stands for the running host instead of a description file.
constexpr char kHostMachine[] = "host";

// Reads a machine description file ("host": reads the running host). On failure returns null and sets `error` to one line naming the
// file, the field and the problem ("machines/x.json: driver.boards[1].modules[0].sizeMiB: expected
// an unsigned number").
std::shared_ptr<Machine> LoadMachineFile(const std::string& path, std::string& error);
// The same from text; `origin` names it in messages.
std::shared_ptr<Machine> ParseMachine(const std::string& text, const std::string& origin, std::string& error);

// The SMBIOS structure table for `devices` (types 17, 20, 202 with their strings, then the end
// structure), laid out for SMBIOS version major.minor.
std::vector<uint8_t> BuildSmbiosTable(const std::vector<SmbiosMemoryDevice>& devices, uint8_t major, uint8_t minor);

// Reads an SMBIOS table from a file: a `dmidecode --dump-bin` file (entry point at 0, table from
// its stated address), a bare table as Linux exposes it (/sys/firmware/dmi/tables/DMI) or a table
// behind the 8-byte header of the Windows firmware-table call. False with `error` on a file that is
// none of these.
bool LoadSmbiosFile(const std::string& path, Smbios& smbios, std::string& error);

// The 16-byte "_SM_" entry point (31 bytes with its intermediate "_DMI_" part) that describes a
// table of `length` bytes at `address` with `count` structures.
std::vector<uint8_t> BuildEntryPoint(const Smbios& smbios, uint32_t address, uint16_t count);

// The machine's physical memory as the health driver copies it out: the 64 KiB BIOS area at
// 0xF0000 holds the SMBIOS entry point (at a 16-byte boundary), the structure table lies at its own
// address, and every other byte reads as zero. A machine without SMBIOS has neither.
constexpr uint32_t kSmbiosAreaAddress = 0x000F0000;
constexpr uint32_t kSmbiosAreaSize = 0x10000;
constexpr uint32_t kSmbiosEntryPointAddress = 0x000F6A70;
constexpr uint32_t kSmbiosTableAddress = 0x7FFF0000;

// Copies `size` bytes of the machine's physical memory from `address` into `buffer`.
void ReadPhysical(const Machine& machine, uint64_t address, void* buffer, size_t size);

// The lowest SMBIOS version whose type 17 length the table's first memory device reaches: what a
// table without an entry point is taken for.
void InferSmbiosVersion(const std::vector<uint8_t>& table, Smbios& smbios);

// The number of structures in an SMBIOS structure table, up to and including the end structure
// (type 127) or the last whole structure.
uint16_t CountSmbiosStructures(const std::vector<uint8_t>& table);

// The I/O control codes of the health-driver devices: a command request, a physical-memory read.
constexpr uint32_t kIoctlDriverCommand = 0x721E0;
constexpr uint32_t kIoctlReadPhysicalMemory = 0x72154;

// The driver's answer to `command` with the parameter bytes `params` (8 bytes), built from the
// structured fields, or false for a command this driver does not know. Raw answers and faults are
// not applied here.
bool BuildDriverAnswer(const HealthDriver& driver, uint16_t command, const uint8_t* params,
                       std::vector<uint8_t>& answer);

}  // namespace qz::machine
