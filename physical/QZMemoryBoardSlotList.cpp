// The memory board slot list, walked board index by board index through the driver's command 1702.
#include "physical/QZMemoryBoardSlotList.h"

#include <cstdarg>

#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"

constinit CQZStaticList<CQZMemoryBoardSlotList> g_MemoryBoardSlotList;

bool SplitBoardSlotTag(const std::wstring& tag, int& board) {
  board = 0;
  if (tag.size() < 4) return false;
  const size_t colon = tag.find(L':', 4);
  if (colon == std::wstring::npos) return false;
  board = ReadTagNumber(tag.c_str() + colon + 1);
  return true;
}

bool CQZMemoryBoardSlotList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;
  CAutoHandle device;
  if (!OpenDriverForRebuild(pCtx, kBoardSlotClass.rebuildFunction, m_bWatchEvents, device)) return true;
  // Board slots come only from the driver; without its memory data the list is retried at every
  // request.
  if (g_bDriverMemoryData) BuildFromDriver(device.Get());
  return true;
}

void CQZMemoryBoardSlotList::BuildFromDriver(HANDLE device) {
  DriverBoardRange range;
  if (!ReadDriverBoardRange(device, range)) return;

  CQZMemoryBoardSlot record;
  for (ULONGLONG index = range.first; index <= range.last; ++index) {
    BoardInfoAnswer info = {};
    WORD length = sizeof(info);
    // The present flag plays no part: an empty slot is a slot too.
    if (DriverCommand(device, kCommandBoardInfo, &info, length, {static_cast<DWORD>(index)}) != 0) continue;
    if (info.boardNumber == 0) continue;

    const int board = static_cast<int>(info.boardNumber);
    record.Reset();
    SetSlotFields(record, kBoardSlotClass, static_cast<WORD>(board), FormatText(kBoardSlotTagFormat, board), board);
    if (!SetSlotPath(record, kBoardSlotClass)) {
      ClearRecords();
      m_bWatchEvents = FALSE;
      return;
    }
    AddRecord() = record;
    m_bWatchEvents = TRUE;
  }
}
