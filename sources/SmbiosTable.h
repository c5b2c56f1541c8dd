// The SMBIOS structure table of the machine, fetched once (physical memory through the health driver,
// else WMI) and held in one static cache, with lookups of structures by type and of their strings.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "support/Mutex.h"

// The strings of one structure: element 0 is empty, element n is string number n.
using SmbiosStrings = std::vector<std::wstring>;

// Structure header, every type.
constexpr BYTE kSmbiosType = 0x00;
constexpr BYTE kSmbiosLength = 0x01;
constexpr BYTE kSmbiosHandle = 0x02;
constexpr BYTE kSmbiosHeaderLength = 4;

// Structure types the system reads.
constexpr BYTE kSmbiosTypeMemoryDevice = 17;
constexpr BYTE kSmbiosTypeMemoryDeviceMappedAddress = 20;
constexpr BYTE kSmbiosTypeInactive = 126;
constexpr BYTE kSmbiosTypeEndOfTable = 127;
constexpr BYTE kSmbiosTypeMemoryModuleLocation = 202;  // OEM

// Type 17, memory device.
constexpr BYTE kType17Handle = 0x02;
constexpr BYTE kType17TotalWidth = 0x08;
constexpr BYTE kType17DataWidth = 0x0A;
constexpr BYTE kType17Size = 0x0C;                 // bit 15: KiB; 0x7FFF: extended size; 0xFFFF: unknown
constexpr BYTE kType17FormFactor = 0x0E;
constexpr BYTE kType17DeviceLocator = 0x10;
constexpr BYTE kType17BankLocator = 0x11;
constexpr BYTE kType17MemoryType = 0x12;
constexpr BYTE kType17Speed = 0x15;
constexpr BYTE kType17Manufacturer = 0x17;
constexpr BYTE kType17SerialNumber = 0x18;
constexpr BYTE kType17PartNumber = 0x1A;
constexpr BYTE kType17ExtendedSize = 0x1C;         // MiB, bit 31 reserved
constexpr BYTE kType17ConfiguredSpeed = 0x20;
constexpr BYTE kType17CopyLength = 34;             // bytes the readers copy

constexpr WORD kType17SizeUnknown = 0xFFFF;
constexpr WORD kType17SizeExtended = 0x7FFF;
constexpr WORD kType17SizeKiB = 0x8000;

// Type 20, memory device mapped address.
constexpr BYTE kType20DeviceHandle = 0x0C;
constexpr BYTE kType20PartitionRow = 0x10;
constexpr BYTE kType20InterleavePosition = 0x11;
constexpr BYTE kType20CopyLength = 19;

// Type 202, OEM memory module location.
constexpr BYTE kType202DeviceHandle = 0x04;
constexpr BYTE kType202Board = 0x06;               // 0xFF: none
constexpr BYTE kType202Module = 0x07;              // 0xFF: none
constexpr BYTE kType202Processor = 0x08;           // present when the length is at least 9
constexpr BYTE kType202CopyLength = 9;

// The 2.x entry point ("_SM_").
constexpr BYTE kEntryPointLength = 0x05;
constexpr BYTE kEntryPointMajor = 0x06;
constexpr BYTE kEntryPointMinor = 0x07;
constexpr BYTE kEntryPointTableLength = 0x16;
constexpr BYTE kEntryPointTableAddress = 0x18;
constexpr BYTE kEntryPointStructureCount = 0x1C;
constexpr BYTE kEntryPointBcdRevision = 0x1E;
constexpr BYTE kEntryPointKeptBytes = 24;
constexpr BYTE kEntryPointFullLength = 0x1F;

// Where the entry point is searched in physical memory, and in which steps.
constexpr DWORD kEntryPointSearchBase = 0xF0000;
constexpr DWORD kEntryPointSearchLength = 0x10000;
constexpr DWORD kEntryPointSearchStep = 16;
constexpr WORD kMinimumSmbiosVersion = 0x0201;

// The offset in `area` (the search area as read from physical memory) of the first acceptable entry
// point: an "_SM_" anchor on a 16-byte boundary whose checksum over the count of its length byte is 0
// (not checked when that byte is 0) and whose version is at least 2.1. -1 when there is none.
long FindSmbiosEntryPoint(const std::vector<BYTE>& area);

class CSmbiosTable {
 public:
  // Nothing runs here: the table may be used before its constructor would have run.
  constexpr CSmbiosTable() = default;
  ~CSmbiosTable();
  CSmbiosTable(const CSmbiosTable&) = delete;
  CSmbiosTable& operator=(const CSmbiosTable&) = delete;

  // Whether a table is held.
  bool IsLoaded();

  // Drops any table held and fetches it again: from physical memory when \\.\VrlHlth opens (entry
  // point in 0xF0000-0xFFFFF), else from root\wmi MSSmBios_RawSMBiosTables. True when a table is held.
  [[nodiscard]] bool LoadTable();

  // Finds structure `index` (0 = first) of `type`, copies min(its length, `length`) bytes of its
  // formatted area into `buffer`, sets `length` to the count copied and `strings` to its strings.
  // Loads the table first when none is held. False when there is no such structure.
  [[nodiscard]] bool FindStructure(BYTE type, WORD index, BYTE* buffer, BYTE& length, SmbiosStrings& strings);

  // String `number` of `strings`; empty for 0 and for numbers past the list.
  static std::wstring GetString(BYTE number, const SmbiosStrings& strings);

  // Creates the table mutex (the module's load sequence; also done on first use).
  void CreateMutex();
  // Closes the mutex and frees the table (the module's unload sequence).
  void Unload();

  // Holds `table` as if it had been loaded (tests and fuzzing). False, holding nothing, when the
  // table is empty or longer than a 16-bit length can state.
  [[nodiscard]] bool SetTableForTesting(std::vector<BYTE> table);

  // The number of structures the walk accepted (0 when nothing is held).
  size_t StructureCountForTesting();

 private:
  friend class CLockGuard<CSmbiosTable>;
  HANDLE Mutex();
  void Lock();
  void Unlock();
  void Drop();
  // LoadTable with the mutex held.
  [[nodiscard]] bool LoadLocked();
  [[nodiscard]] bool LoadFromPhysicalMemory();
  [[nodiscard]] bool LoadFromWmi();
  // Walks the held table once and records where every structure of every type begins.
  void BuildIndex();
  static void ReadStrings(const BYTE* start, const BYTE* end, SmbiosStrings& strings);

  bool m_bLoaded = false;
  std::vector<BYTE> m_Table;
  std::array<BYTE, kEntryPointKeptBytes> m_EntryPoint{};
  DWORD m_TableAddress = 0;
  WORD m_StructureCount = 0;
  BYTE m_BcdRevision = 0;
  WORD m_TableLength = 0;
  std::atomic<HANDLE> m_hMutex{nullptr};
  // Offsets of the structures of each type, in table order; filled by BuildIndex.
  std::array<std::vector<uint32_t>, 256> m_Index{};
  size_t m_IndexedCount = 0;
};

extern CSmbiosTable g_SmbiosTable;
