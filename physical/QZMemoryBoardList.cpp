// The memory board list, walked board index by board index through the health driver's commands
// 1700, 1705 and 1702, and the rebuild pieces it shares with the slot lists.
#include "physical/QZMemoryBoardList.h"

#include <cstdarg>
#include <iterator>

#include "sources/ComputerSystem.h"
#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"
#include "support/ResourceString.h"

constinit CQZStaticList<CQZMemoryBoardList> g_MemoryBoardList;

const BoardStatusRow& BoardStatus(DWORD code) {
  return code < std::size(kBoardStatusByCode) ? *kBoardStatusByCode[code] : kBoardStatusUnknown;
}

WORD MapBoardLocked(DWORD lockState) {
  if (lockState == 1) return 2;
  if (lockState == 0) return 3;
  return 1;
}

bool ReadDriverBoardRange(HANDLE device, DriverBoardRange& range) {
  MemoryConfigurationAnswer configuration = {};
  WORD length = sizeof(configuration);
  if (DriverCommand(device, kCommandMemoryConfiguration, &configuration, length) != 0) return false;
  if (configuration.socketsPerBoard == 0 || configuration.boardCount == 0) return false;

  BoardNumberingAnswer numbering = {};
  length = sizeof(numbering);
  if (DriverCommand(device, kCommandBoardNumbering, &numbering, length, {0}) != 0) return false;

  range.socketsPerBoard = configuration.socketsPerBoard;
  range.first = (numbering.present != 0 && numbering.boardNumber == 0) ? 0 : 1;
  range.last = range.first + configuration.boardCount - 1;
  return true;
}

bool OpenDriverForRebuild(IWbemContext* pCtx, const WCHAR* functionName, BYTE& watchEvents, CAutoHandle& device) {
  device.Close();
  // Until the data store has data the list stays empty; the store's check moves the event counter,
  // so the next Update after it has data rebuilds.
  if (!IsDataStoreReady(pCtx)) {
    watchEvents = TRUE;
    return false;
  }
  if (!g_bAmpStatusValid) g_MemAmpChecker.ProbePlatform();
  if (!g_bHealthDriverPresent) {
    LogHealthDriverNotFound(functionName);
    return false;
  }
  return OpenHealthDriver(device);
}

std::wstring FormatElementText(UINT boardText, UINT processorText, ...) {
  const std::wstring format = LoadResourceString(kModuleFileName, g_bProcessorBoardMemory ? processorText : boardText);
  va_list args;
  va_start(args, processorText);
  std::wstring text = FormatMessageText(format.c_str(), args);
  va_end(args);
  if (text.size() > kElementTextLimit) text.resize(kElementTextLimit);
  return text;
}

bool MakeElementPath(const WCHAR* relativeFormat, const std::wstring& tag, std::wstring& path) {
  path.clear();
  std::wstring computerName;
  if (GetLocalComputerName(computerName) != ERROR_SUCCESS) return false;
  const std::wstring relative = FormatText(relativeFormat, tag.c_str());
  MakeFullPath(kElementNamespace, relative.c_str(), path);
  return !path.empty();
}

void SetMemoryBoardNames(CQZMemoryBoard& record, int board) {
  const std::wstring caption = FormatElementText(IDS_BOARD_CAPTION_BOARD, IDS_BOARD_CAPTION_PROCESSOR, board);
  record.SetCaption(caption);
  record.SetDescription(caption);
  record.SetElementName(caption);
  record.SetName(caption);
  record.SetTag(FormatText(kMemoryBoardTagFormat, board));
  record.SetVendorCompatibilityStrings({kMemoryBoardVendorString});
  record.SetPackageType(kBoardPackageModuleCard);
  record.SetHostingBoard(false);
}

void SetMemoryBoardStatus(CQZMemoryBoard& record, const BoardStatusRow& status) {
  std::vector<std::wstring> texts;
  for (BYTE i = 0; i < status.count; ++i) texts.push_back(LoadResourceString(kModuleFileName, status.texts[i]));
  record.SetOperationalStatus(std::vector<WORD>(status.values, status.values + status.count));
  record.SetStatusDescriptions(texts);
  record.SetHealthState(status.healthState);
}

bool CQZMemoryBoardList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;
  CAutoHandle device;
  if (!OpenDriverForRebuild(pCtx, L"CQZMemoryBoardList::RebuildList", m_bWatchEvents, device)) return true;
  // Boards come only from the driver: without its memory data the list waits for the next event.
  if (!g_bDriverMemoryData) {
    m_bWatchEvents = TRUE;
  } else {
    BuildFromDriver(device.Get());
  }
  return true;
}

void CQZMemoryBoardList::BuildFromDriver(HANDLE device) {
  DriverBoardRange range;
  if (!ReadDriverBoardRange(device, range)) return;

  CQZMemoryBoard record;
  for (ULONGLONG index = range.first; index <= range.last; ++index) {
    const DWORD b = static_cast<DWORD>(index);
    BoardNumberingAnswer numbering = {};
    BoardInfoAnswer info = {};
    WORD numberingLength = sizeof(numbering);
    WORD infoLength = sizeof(info);
    if (DriverCommand(device, kCommandBoardNumbering, &numbering, numberingLength, {b}) != 0 ||
        DriverCommand(device, kCommandBoardInfo, &info, infoLength, {b}) != 0)
      continue;
    if (numbering.present == 0 || info.boardNumber == 0) continue;

    record.Reset();
    SetMemoryBoardNames(record, static_cast<int>(info.boardNumber));
    record.SetLocked(MapBoardLocked(numbering.lockState));
    record.SetNumberOfSockets(info.socketCount);
    record.SetAvailableMemory(info.availableMemory);
    record.SetTotalMemory(info.totalMemory);
    record.SetRemovalConditions(numbering.hotPlug != 0 ? kBoardRemovableWhenOnOrOff : kBoardRemovableWhenOff);
    SetMemoryBoardStatus(record, BoardStatus(numbering.status));

    std::wstring path;
    if (!MakeElementPath(kMemoryBoardPathFormat, record.GetTag(), path)) {
      ClearRecords();
      m_bWatchEvents = FALSE;
      return;
    }
    record.SetObjectPath(path);
    AddRecord() = record;
    m_bWatchEvents = TRUE;
  }
}
