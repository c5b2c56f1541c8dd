// The providers of QZ_MemoryModuleSlotElementLocation and QZ_MemoryBoardSlotElementLocation: the
// pairs of the association list that each provider object owns.
#pragma once

#include "framework/RecordProvider.h"
#include "physical/QZSlotElementLocationList.h"

// The classes, their providers' names and mutexes, and their keys (Element, then PhysicalLocation).
extern const ProviderDescription kMemoryModuleSlotElementLocationProviderDescription;
extern const ProviderDescription kMemoryBoardSlotElementLocationProviderDescription;

extern const RecordTable<CQZElementLocation> kSlotElementLocationTable;

// An association provider of either class, with its own list.
class CQZSlotElementLocationProv : public CQZRecordProv<CQZSlotElementLocationList> {
 public:
  CQZSlotElementLocationProv(const ProviderDescription& description,
                             const SlotElementLocationClassDescription& associationClass)
      : CQZRecordProv(OwnList{}, description, kSlotElementLocationTable, associationClass) {}
};

class CQZMemoryModuleSlotElementLocationProv : public CQZSlotElementLocationProv {
 public:
  CQZMemoryModuleSlotElementLocationProv()
      : CQZSlotElementLocationProv(kMemoryModuleSlotElementLocationProviderDescription,
                                   kModuleSlotElementLocationClass) {}
};

class CQZMemoryBoardSlotElementLocationProv : public CQZSlotElementLocationProv {
 public:
  CQZMemoryBoardSlotElementLocationProv()
      : CQZSlotElementLocationProv(kMemoryBoardSlotElementLocationProviderDescription,
                                   kBoardSlotElementLocationClass) {}
};
