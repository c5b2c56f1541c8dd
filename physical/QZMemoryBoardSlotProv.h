// The provider of QZ_MemoryBoardSlot: the records of the static board slot list as instances.
#pragma once

#include "physical/QZMemoryBoardSlotList.h"
#include "physical/QZMemoryModuleSlotProv.h"

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryBoardSlotProviderDescription;

// Filled as a module slot is, with its own class name.
class CQZMemoryBoardSlotProv : public CQZRecordProv<CQZMemoryBoardSlotList, CQZSlotRecord> {
 public:
  CQZMemoryBoardSlotProv()
      : CQZRecordProv(kMemoryBoardSlotProviderDescription, kSlotTable, g_MemoryBoardSlotList.Get()) {}
};
