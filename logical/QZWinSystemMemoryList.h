// The system memory association list: the one pair that ties the system memory extent to the
// computer system.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include "logical/QZAssociation.h"

inline constexpr const WCHAR* kWinSystemMemoryClass = L"QZ_WinSystemMemory";

// Follows memory events, reads no element list; its mutex is named after the list.
extern const AssociationListDescription kWinSystemMemoryListDescription;

// The pair: first the computer system (GroupComponent), then the extent (PartComponent).
class CQZWinSystemMemoryList : public CQZAssociationList {
 public:
  CQZWinSystemMemoryList() : CQZAssociationList(kWinSystemMemoryListDescription) {}

 protected:
  // The pair, whenever the health driver is present. It names the extent by its fixed device ID,
  // so it does not depend on the system memory list having a record. Always true.
  bool RebuildList(IWbemContext* pCtx) override;
};
