// The memory collection list: the board fold, the module fold and the group status decision, and
// the boards' statuses read from the health driver.
#include "logical/QZMemoryCollectionList.h"

#include <iterator>

#include "logical/QZWinMemoryList.h"
#include "physical/QZMemoryBoardList.h"
#include "sources/ComputerSystem.h"
#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/ResourceString.h"



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
  CQZMemoryBoardList& boards = g_MemoryBoardList.Get();
  boards.Lock();
  if (boards.Update(pCtx) != 0) {
    for (DWORD i = 0; i < boards.GetCount(); ++i) {
      const std::vector<WORD>& status = boards.GetAt(i)->GetOperationalStatus();
      // Every board carries a status; one without would count as Unknown.
      statuses.push_back(status.empty() ? 0 : status[0]);
    }
  }
  boards.Unlock();
}

bool CQZMemoryCollectionList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;
  if (!g_bHealthDriverPresent) {
    LogHealthDriverNotFound(L"CQZMemoryCollectionList::RebuildList");
    return true;
  }

  CQZMemoryCollection record;
  record.SetInstanceId(kMemoryCollectionInstanceId);
  const std::wstring caption = LoadResourceString(kModuleFileName, IDS_COLLECTION_CAPTION);
  record.SetCaption(caption);
  record.SetElementName(caption);
  record.SetDescription(LoadResourceString(kModuleFileName, IDS_COLLECTION_DESCRIPTION));

  std::vector<WORD> boards;
  ReadMemoryBoardStatuses(pCtx, boards);
  WORD boardFold = 2;
  for (WORD status : boards) boardFold = NextBoardFold(boardFold, status);
  const WORD moduleFold = FoldMemoryModules(pCtx);

  const WORD status = CollectionStatus(boardFold, moduleFold);
  record.SetGroupOperationalStatus({status});
  for (const CollectionStatusText& row : kCollectionStatusTexts)
    if (row.status == status) record.SetGroupStatusDescriptions({LoadResourceString(kModuleFileName, row.text)});
  AddRecord() = record;
  m_bWatchEvents = TRUE;
  return true;
}
