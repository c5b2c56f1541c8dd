// The memory module list: the driver path (board by board, socket by socket through the health
// driver's commands, completed from SMBIOS) and the SMBIOS path (type 17 devices, health from the
// journal).
#include "physical/QZMemoryModuleList.h"

#include <cstdarg>
#include <cstring>
#include <iterator>

#include "physical/QZMemoryBoardList.h"
#include "sources/ComputerSystem.h"
#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "support/CommonLog.h"
#include "support/LittleEndian.h"
#include "support/ResourceString.h"

constinit CQZStaticList<CQZMemoryModuleList> g_MemoryModuleList;

namespace {

// A module in the records always sits in a socket: its removal conditions are "removable when off".
constexpr WORD kRemovalConditionsWhenOff = 3;


std::wstring Cut(std::wstring text) {
  if (text.size() > kMemoryModuleTextLimit) text.resize(kMemoryModuleTextLimit);
  return text;
}

// String `number` of the structure when the structure is long enough to hold its number byte at
// `offset` and the number is not 0.
bool ReadStructureString(const MemoryDeviceEntry& entry, BYTE offset, std::wstring& text) {
  const BYTE length = entry.data[kSmbiosLength];
  if (length <= offset || entry.data[offset] == 0) return false;
  text = CSmbiosTable::GetString(entry.data[offset], entry.strings);
  return true;
}

// The texts the driver path also takes from SMBIOS: bank label, manufacturer, serial number and
// configured speed (0 when the structure is too short for it).
void SetSmbiosTexts(CQZMemoryModule& record, const MemoryDeviceEntry& entry) {
  std::wstring text;
  if (ReadStructureString(entry, kType17BankLocator, text)) record.SetBankLabel(text);
  if (ReadStructureString(entry, kType17Manufacturer, text)) record.SetManufacturer(text);
  if (ReadStructureString(entry, kType17SerialNumber, text)) record.SetSerialNumber(text);
  const BYTE length = entry.data[kSmbiosLength];
  record.SetSpeed(length >= kType17ConfiguredSpeed + 2 ? ReadWord(entry.data, kType17ConfiguredSpeed) : 0);
}

// Size and extended size count MiB, or KiB when bit 15 of the size is set; unset when unknown.
void SetSmbiosCapacity(CQZMemoryModule& record, const BYTE* device) {
  const WORD size = ReadWord(device, kType17Size);
  if (size == kType17SizeUnknown) return;
  const WORD amount = static_cast<WORD>(size & ~kType17SizeKiB);
  if (amount == kType17SizeExtended) {
    record.SetCapacity(static_cast<ULONGLONG>(ReadDword(device, kType17ExtendedSize) & 0x7FFFFFFF) << 20);
  } else if (size & kType17SizeKiB) {
    record.SetCapacity(static_cast<ULONGLONG>(amount) << 10);
  } else {
    record.SetCapacity(static_cast<ULONGLONG>(amount) << 20);
  }
}

// The part number of command 1706 is read as 8-bit text in the ANSI code page, as SMBIOS strings
// are: the field holds zero-padded bytes, so its first zero byte ends the text.
bool ReadDriverPartNumber(const ModuleInfoAnswer& info, std::wstring& text) {
  char bytes[sizeof(info.partNumber) + 1] = {};
  std::memcpy(bytes, info.partNumber, sizeof(info.partNumber));
  const int length = static_cast<int>(std::strlen(bytes));
  if (length == 0) return false;
  WCHAR wide[sizeof(info.partNumber) + 1] = {};
  const int chars = MultiByteToWideChar(CP_ACP, 0, bytes, length, wide, static_cast<int>(sizeof(info.partNumber)));
  text.assign(wide, chars > 0 ? static_cast<size_t>(chars) : 0);
  return true;
}

}  // namespace

WORD MapFormFactor(DWORD code) { return code < std::size(kFormFactorMap) ? kFormFactorMap[code] : 1; }

WORD MapMemoryType(DWORD code) { return code < std::size(kMemoryTypeMap) ? kMemoryTypeMap[code] : 0; }

bool IsListedFormFactor(WORD formFactor) { return formFactor == 2 || formFactor == 8 || formFactor == 11; }

const ModuleStatusRow& DriverModuleStatusRow(DWORD code) {
  for (const DriverModuleStatus& row : kDriverModuleStatusTable)
    if (row.code == code) return row.status;
  return kDriverModuleStatusOther;
}

std::wstring MemoryModuleCaption(int board, int module) {
  const UINT text = g_bProcessorBoardMemory ? IDS_MODULE_CAPTION_PROCESSOR : IDS_MODULE_CAPTION_BOARD;
  const std::wstring format = LoadResourceString(kModuleFileName, text);
  return Cut(FormatText(format.c_str(), module, board));
}

std::wstring MemoryModuleTag(int board, int module) { return Cut(FormatText(kMemoryModuleTagFormat, board, module)); }

void SetMemoryModuleNames(CQZMemoryModule& record, int board, int module) {
  const std::wstring caption = MemoryModuleCaption(board, module);
  record.SetCaption(caption);
  record.SetDescription(caption);
  record.SetElementName(caption);
  record.SetName(caption);
  record.SetTag(MemoryModuleTag(board, module));
}

void SetMemoryModuleStatus(CQZMemoryModule& record, const ModuleStatusRow& status) {
  std::vector<WORD> values(status.values, status.values + status.count);
  std::vector<std::wstring> texts;
  for (BYTE i = 0; i < status.count; ++i) texts.push_back(LoadResourceString(kModuleFileName, status.texts[i]));
  record.SetOperationalStatus(values);
  record.SetStatusDescriptions(texts);
  record.SetHealthState(status.healthState);
}

bool MakeMemoryModulePath(const std::wstring& tag, std::wstring& path) {
  path.clear();
  std::wstring computerName;
  if (GetLocalComputerName(computerName) != ERROR_SUCCESS) return false;
  const std::wstring relative = FormatText(kMemoryModulePathFormat, tag.c_str());
  MakeFullPath(kMemoryModuleNamespace, relative.c_str(), path);
  return !path.empty();
}

bool CQZMemoryModuleList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;

  // Until the data store has data the list stays empty; the store's check moves the event counter,
  // so the next Update after it has data rebuilds.
  if (!IsDataStoreReady(pCtx)) {
    m_bWatchEvents = TRUE;
    ClearRecords();
    return true;
  }

  if (!g_bAmpStatusValid) g_MemAmpChecker.ProbePlatform();

  CAutoHandle device;
  if (g_bHealthDriverPresent && OpenHealthDriver(device))
    return g_bDriverMemoryData ? BuildFromDriver(device.Get()) : BuildFromSmbios(pCtx);
  LogHealthDriverNotFound(L"CQZMemoryModuleList::RebuildList");
  return true;
}

namespace {

// A fresh record with what the SMBIOS memory device of a listed module tells of it.
void SetSmbiosModuleFields(CQZMemoryModule& record, const MemoryDeviceEntry& entry, WORD formFactor) {
  const BYTE* device = entry.data;
  record.Reset();
  record.SetFormFactor(formFactor);
  SetMemoryModuleNames(record, entry.board, entry.module);
  std::wstring text;
  if (ReadStructureString(entry, kType17BankLocator, text)) record.SetBankLabel(text);
  SetSmbiosCapacity(record, device);
  record.SetDataWidth(ReadWord(device, kType17DataWidth));
  if (ReadStructureString(entry, kType17Manufacturer, text)) record.SetManufacturer(text);
  record.SetMemoryType(MapMemoryType(device[kType17MemoryType]));
  if (ReadStructureString(entry, kType17PartNumber, text)) record.SetPartNumber(text);
  record.SetRemovalConditions(kRemovalConditionsWhenOff);
  if (ReadStructureString(entry, kType17SerialNumber, text)) record.SetSerialNumber(text);
  record.SetSpd({});
  const BYTE length = device[kSmbiosLength];
  record.SetSpeed(length >= kType17ConfiguredSpeed + 2 ? ReadWord(device, kType17ConfiguredSpeed) : 0);
  record.SetIsSpeedInMhz(true);
  if (length >= kType17Speed + 2) record.SetMaxMemorySpeed(ReadWord(device, kType17Speed));
  record.SetTotalWidth(ReadWord(device, kType17TotalWidth));
  record.SetPositionInRow(entry.partitionRow);
  if (entry.interleavePosition != 0xFF) record.SetInterleavePosition(entry.interleavePosition);
}

}  // namespace

bool CQZMemoryModuleList::AppendModule(CQZMemoryModule& record) {
  std::wstring path;
  if (!MakeMemoryModulePath(record.GetTag(), path)) {
    ClearRecords();
    m_bWatchEvents = FALSE;
    return false;
  }
  record.SetObjectPath(path);
  AddRecord() = record;
  m_bWatchEvents = TRUE;
  return true;
}

bool CQZMemoryModuleList::BuildFromSmbios(IWbemContext* pCtx) {
  JournalErrorSet errors;
  ReadJournalErrors(pCtx, errors);

  MemoryDeviceList devices;
  if (!CollectMemoryDevices(devices)) return true;

  CQZMemoryModule record;
  for (const MemoryDeviceEntry& entry : devices) {
    const WORD size = ReadWord(entry.data, kType17Size);
    if ((size & ~kType17SizeKiB) == 0) continue;  // an empty socket
    const WORD formFactor = MapFormFactor(entry.data[kType17FormFactor]);
    if (!IsListedFormFactor(formFactor)) continue;

    SetSmbiosModuleFields(record, entry, formFactor);
    const bool failing = errors.count({entry.board, entry.module}) != 0 || errors.count({entry.board, kWholeBoard}) != 0;
    SetMemoryModuleStatus(record, failing ? kJournalModuleFailing : kJournalModuleOk);
    if (!AppendModule(record)) return true;
  }
  return true;
}

namespace {

// A fresh record with what the driver's two answers tell of a listed module.
void SetDriverModuleFields(CQZMemoryModule& record, WORD formFactor, const ModuleStatusAnswer& status,
                           const ModuleInfoAnswer& info) {
  record.Reset();
  record.SetFormFactor(formFactor);
  SetMemoryModuleNames(record, static_cast<int>(status.boardNumber), static_cast<int>(status.socketNumber));
  record.SetCapacity(static_cast<ULONGLONG>(info.sizeMiB) << 20);
  record.SetDataWidth(info.dataWidth);
  record.SetMemoryType(MapMemoryType(info.memoryType));
  std::wstring partNumber;
  if (ReadDriverPartNumber(info, partNumber)) record.SetPartNumber(partNumber);
  record.SetRemovalConditions(kRemovalConditionsWhenOff);
  record.SetSpd(info.spdValid != 0 ? std::vector<BYTE>(info.spd, info.spd + sizeof(info.spd)) : std::vector<BYTE>());
  record.SetIsSpeedInMhz(true);
  record.SetSpeed(0);
  record.SetMaxMemorySpeed(info.speedMHz);
  SetMemoryModuleStatus(record, DriverModuleStatusRow(status.status));
}

// The texts and layout of the SMBIOS device at the module's board and socket, when there is one.
void SetDeviceFields(CQZMemoryModule& record, const MemoryDeviceList& devices, const ModuleStatusAnswer& status) {
  for (const MemoryDeviceEntry& entry : devices) {
    if (entry.board != status.boardNumber || entry.module != status.socketNumber) continue;
    SetSmbiosTexts(record, entry);
    record.SetInterleavePosition(entry.interleavePosition);
    record.SetPositionInRow(entry.partitionRow);
    record.SetTotalWidth(ReadWord(entry.data, kType17TotalWidth));
    return;
  }
}

}  // namespace

bool CQZMemoryModuleList::BuildFromDriver(HANDLE device) {
  DriverBoardRange range;
  if (!ReadDriverBoardRange(device, range)) return true;

  CQZMemoryModule record;
  // The SMBIOS devices that enrich each module. The table never changes once loaded, so the
  // collection is made once, at the first module that needs it, and serves the whole rebuild.
  MemoryDeviceList devices;
  bool devicesCollected = false;
  for (ULONGLONG board = range.first; board <= range.last; ++board) {
    for (ULONGLONG socket = 1; socket <= range.socketsPerBoard; ++socket) {
      const DWORD b = static_cast<DWORD>(board);
      const DWORD s = static_cast<DWORD>(socket);
      ModuleStatusAnswer status = {};
      ModuleInfoAnswer info = {};
      WORD statusLength = sizeof(status);
      WORD infoLength = sizeof(info);
      if (DriverCommand(device, kCommandModuleStatus, &status, statusLength, {b, s}) != 0 ||
          DriverCommand(device, kCommandModuleInfo, &info, infoLength, {b, s}) != 0) {
        // A board 0 that does not answer does not count: one more board is visited at the end.
        if (board == 0) ++range.last;
        break;
      }
      if (info.present == 0) continue;
      const WORD formFactor = MapFormFactor(info.formFactor);
      if (!IsListedFormFactor(formFactor)) continue;

      SetDriverModuleFields(record, formFactor, status, info);
      if (!devicesCollected) {
        CollectMemoryDevices(devices);
        devicesCollected = true;
      }
      SetDeviceFields(record, devices, status);
      // Unlike the SMBIOS path the walk goes on, with the next board.
      if (!AppendModule(record)) break;
    }
  }
  return true;
}
