// The memory module slot list: the driver scan (board by board, socket by socket through commands
// 1705, 1707 and 1706) and the SMBIOS scan (one socket per memory device, fitted or empty).
#include "physical/QZMemoryModuleSlotList.h"

#include <climits>
#include <cstdarg>
#include <cwchar>

#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"
#include "support/ResourceString.h"

constinit CQZStaticList<CQZMemoryModuleSlotList> g_MemoryModuleSlotList;

void SetSlotFields(CQZSlotRecord& record, const SlotClassDescription& slotClass, WORD number, const std::wstring& tag,
                   int first, int second) {
  const std::wstring name = FormatElementText(slotClass.nameText, slotClass.processorNameText, first, second);
  record.SetCaption(name);
  record.SetConnectorDescription(name);
  record.SetConnectorLayout(kSlotConnectorLayoutOther);
  record.SetDescription(name);
  record.SetElementName(name);
  record.SetHealthState(kSlotHealthOk);
  record.SetName(name);
  record.SetNumber(number);
  record.SetOperationalStatus({kSlotStatusOk});
  record.SetStatusDescriptions({LoadResourceString(kModuleFileName, slotClass.statusText)});
  record.SetTag(tag);
}

bool SetSlotPath(CQZSlotRecord& record, const SlotClassDescription& slotClass) {
  std::wstring path;
  if (!MakeElementPath(slotClass.pathFormat, record.GetTag(), path)) return false;
  record.SetObjectPath(path);
  return true;
}

int ReadTagNumber(const WCHAR* text) {
  const long long value = std::wcstoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool SplitSlotTag(const std::wstring& tag, int& board, int& socket) {
  board = 0;
  socket = 0;
  if (tag.size() < 4) return false;
  const size_t colon = tag.find(L':', 4);
  if (colon == std::wstring::npos) return false;
  const std::wstring numbers = tag.substr(colon + 1);
  const size_t dash = numbers.find(L'-');
  board = ReadTagNumber(numbers.substr(0, dash).c_str());
  if (dash != std::wstring::npos) socket = ReadTagNumber(numbers.c_str() + dash + 1);
  return true;
}

bool CQZMemoryModuleSlotList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;
  CAutoHandle device;
  if (!OpenDriverForRebuild(pCtx, kModuleSlotClass.rebuildFunction, m_bWatchEvents, device)) return true;
  if (g_bDriverMemoryData) {
    BuildFromDriver(device.Get());
  } else {
    BuildFromSmbios();
  }
  return true;
}

bool CQZMemoryModuleSlotList::AppendSocket(int board, int socket) {
  CQZMemoryModuleSlot record;
  SetSlotFields(record, kModuleSlotClass, static_cast<WORD>(socket), FormatText(kModuleSlotTagFormat, board, socket),
                socket, board);
  if (!SetSlotPath(record, kModuleSlotClass)) {
    ClearRecords();
    m_bWatchEvents = FALSE;
    return false;
  }
  AddRecord() = record;
  m_bWatchEvents = TRUE;
  return true;
}

void CQZMemoryModuleSlotList::BuildFromDriver(HANDLE device) {
  DriverBoardRange range;
  if (!ReadDriverBoardRange(device, range)) return;

  for (ULONGLONG index = range.first; index <= range.last; ++index) {
    const DWORD b = static_cast<DWORD>(index);
    BoardNumberingAnswer numbering = {};
    WORD length = sizeof(numbering);
    if (DriverCommand(device, kCommandBoardNumbering, &numbering, length, {b}) != 0 || numbering.present == 0) continue;
    for (ULONGLONG socket = 1; socket <= range.socketsPerBoard; ++socket) {
      const DWORD s = static_cast<DWORD>(socket);
      ModuleStatusAnswer status = {};
      ModuleInfoAnswer info = {};
      WORD statusLength = sizeof(status);
      WORD infoLength = sizeof(info);
      if (DriverCommand(device, kCommandModuleStatus, &status, statusLength, {b, s}) != 0 ||
          DriverCommand(device, kCommandModuleInfo, &info, infoLength, {b, s}) != 0) {
        // A board 0 that does not answer does not count: one more board index is visited at the end.
        if (index == 0) ++range.last;
        break;
      }
      // A socket whose path cannot be made empties the list; unlike the other scans this one goes on,
      // with the next board.
      if (!AppendSocket(static_cast<int>(status.boardNumber), static_cast<int>(status.socketNumber))) break;
    }
  }
}

void CQZMemoryModuleSlotList::BuildFromSmbios() {
  MemoryDeviceList devices;
  if (!CollectMemoryDevices(devices)) return;
  for (const MemoryDeviceEntry& entry : devices)
    if (!AppendSocket(entry.board, entry.module)) return;
}
