// The provider of QZ_MemoryModuleSlot: the records of the static module slot list as instances,
// and the table of properties that both slot classes share.
#pragma once

#include "framework/RecordProvider.h"
#include "physical/QZMemoryModuleSlotList.h"

// The slot classes' properties; CreationClassName is the provider's class.
extern const RecordTable<CQZSlotRecord> kSlotTable;

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryModuleSlotProviderDescription;

class CQZMemoryModuleSlotProv : public CQZRecordProv<CQZMemoryModuleSlotList, CQZSlotRecord> {
 public:
  CQZMemoryModuleSlotProv()
      : CQZRecordProv(kMemoryModuleSlotProviderDescription, kSlotTable, g_MemoryModuleSlotList.Get()) {}
};
