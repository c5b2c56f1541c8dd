// The memory collection list: the board fold, the module fold and the group status decision, and
// the boards' statuses read from the health driver.
#include "logical/QZMemoryCollectionList.h"

#include <iterator>

#include "logical/ComputerSystem.h"
#include "logical/QZWinMemoryList.h"
#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"
#include "support/ResourceString.h"

namespace {

// Board indexes run from the first to the last; only their low byte reaches the driver.
void ReadBoards(HANDLE device, std::vector<WORD>& statuses) {
  MemoryConfigurationAnswer configuration = {};
  WORD length = sizeof(configuration);
  if (DriverCommand(device, kCommandMemoryConfiguration, &configuration, length) != 0) return;
  if (configuration.socketsPerBoard == 0 || configuration.boardCount == 0) return;

  BoardNumberingAnswer numbering = {};
  length = sizeof(numbering);
  if (DriverCommand(device, kCommandBoardNumbering, &numbering, length, {0}) != 0) return;
  const DWORD first = (numbering.present != 0 && numbering.boardNumber == 0) ? 0 : 1;
  const DWORD last = first + configuration.boardCount - 1;

  for (DWORD index = first;; ++index) {
    numbering = {};
    BoardInfoAnswer info = {};
    WORD numberingLength = sizeof(numbering);
    WORD infoLength = sizeof(info);
    const bool answered = DriverCommand(device, kCommandBoardNumbering, &numbering, numberingLength, {index}) == 0 &&
                          DriverCommand(device, kCommandBoardInfo, &info, infoLength, {index}) == 0;
    if (answered && numbering.present != 0 && info.boardNumber != 0) statuses.push_back(BoardFirstStatus(numbering.status));
    if (index == last) break;
  }

  std::wstring computerName;
  if (GetLocalComputerName(computerName) != ERROR_SUCCESS) statuses.clear();
}

}  // namespace

WORD BoardFirstStatus(DWORD code) {
  return code < std::size(kBoardFirstStatusByCode) ? kBoardFirstStatusByCode[code] : 0;
}

WORD NextBoardFold(WORD fold, WORD boardStatus) {
  switch (fold) {
    case 2:
      return boardStatus;
    case 0:
      return boardStatus == 3 || boardStatus == 6 ? boardStatus : 0;
    case 3:
      return boardStatus == 6 ? 6 : 3;
    case 6:
      return 6;
    default:
      return 0;
  }
}

WORD CollectionStatus(WORD boardFold, WORD moduleFold) {
  switch (boardFold) {
    case 2:
      return moduleFold == 2 || moduleFold == 3 ? moduleFold : 0;
    case 0:
      return moduleFold == 3 ? 3 : 0;
    case 3:
    case 6:
      return boardFold;
    default:
      return 0;
  }
}

void ReadMemoryBoardStatuses(IWbemContext* pCtx, std::vector<WORD>& statuses) {
  statuses.clear();
  if (!IsDataStoreReady(pCtx)) return;
  if (!g_bAmpStatusValid) g_MemAmpChecker.ProbePlatform();
  if (!g_bHealthDriverPresent) return;
  HANDLE device = INVALID_HANDLE_VALUE;
  if (!OpenHealthDriver(device)) return;
  if (g_bDriverMemoryData) ReadBoards(device, statuses);
  CloseHealthDriver(device);
}

bool CQZMemoryCollectionList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;
  if (!g_bHealthDriverPresent) {
    g_CommonLog.Lock();
    g_CommonLog.SetFunctionName(L"CQZMemoryCollectionList::RebuildList");
    g_CommonLog.LogInformation(L"Health (or MQZ) driver not found");
    g_CommonLog.Unlock();
    return true;
  }

  CQZMemoryCollection record;
  record.m_InstanceId = kMemoryCollectionInstanceId;
  record.m_Caption = LoadResourceString(kModuleFileName, IDS_COLLECTION_CAPTION);
  record.m_ElementName = record.m_Caption;
  record.m_Description = LoadResourceString(kModuleFileName, IDS_COLLECTION_DESCRIPTION);

  std::vector<WORD> boards;
  ReadMemoryBoardStatuses(pCtx, boards);
  WORD boardFold = 2;
  for (WORD status : boards) boardFold = NextBoardFold(boardFold, status);
  const WORD moduleFold = FoldMemoryModules(pCtx);

  const WORD status = CollectionStatus(boardFold, moduleFold);
  record.m_GroupOperationalStatus = {status};
  for (const CollectionStatusText& row : kCollectionStatusTexts)
    if (row.status == status) record.m_GroupStatusDescriptions = {LoadResourceString(kModuleFileName, row.text)};
  AddRecord() = record;
  m_bWatchEvents = TRUE;
  return true;
}
