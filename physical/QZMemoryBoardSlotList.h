// The memory board slot list: one record per board slot (or processor board slot) that the health
// driver numbers, fitted or empty.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>

#include "physical/QZMemoryModuleSlotList.h"

inline constexpr SlotClassDescription kBoardSlotClass = {
    L"QZ_MemoryBoardSlot",
    IDS_BOARD_SLOT_CAPTION_BOARD,
    IDS_BOARD_SLOT_CAPTION_PROCESSOR,
    IDS_BOARD_SLOT_STATUS_OK,
    L"QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"%ls\"",
    L"CQZMemoryBoardSlotList::RebuildList",
};
inline constexpr const WCHAR* kBoardSlotTagFormat = L"VXN:QZ_MemoryBoardSlot:%d";  // board

// One board slot: the same fields as a module socket.
class CQZMemoryBoardSlot : public CQZSlotRecord {};

class CQZMemoryBoardSlotList : public CQZRecordList<CQZMemoryBoardSlot> {
 protected:
  // Empties the list and asks the driver for every board slot afresh. Always true: a source that
  // fails leaves the list empty, which is valid data.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  void BuildFromDriver(HANDLE device);
};

// The board number of a board slot tag ("VXN:<class>:<board>"), read as SplitSlotTag reads it.
// False, 0, when the tag has no colon after the "VXN:" prefix.
bool SplitBoardSlotTag(const std::wstring& tag, int& board);

extern CQZStaticList<CQZMemoryBoardSlotList> g_MemoryBoardSlotList;
