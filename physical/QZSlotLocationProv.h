// The providers of QZ_MemoryModuleSlotLocation and QZ_MemoryBoardSlotLocation: the records of the
// static location lists as instances.
#pragma once

#include "framework/RecordProvider.h"
#include "physical/QZSlotLocationList.h"

// The classes, their providers' names and mutexes, and their keys (Name, then PhysicalPosition).
extern const ProviderDescription kMemoryModuleSlotLocationProviderDescription;
extern const ProviderDescription kMemoryBoardSlotLocationProviderDescription;

extern const RecordTable<CQZSlotLocation> kSlotLocationTable;

// A location provider of either class, over its static list.
class CQZSlotLocationProv : public CQZRecordProv<CQZSlotLocationList> {
 public:
  CQZSlotLocationProv(const ProviderDescription& description, CQZSlotLocationList& list)
      : CQZRecordProv(description, kSlotLocationTable, list) {}
};

class CQZMemoryModuleSlotLocationProv : public CQZSlotLocationProv {
 public:
  CQZMemoryModuleSlotLocationProv()
      : CQZSlotLocationProv(kMemoryModuleSlotLocationProviderDescription, g_MemoryModuleSlotLocationList.Get()) {}
};

class CQZMemoryBoardSlotLocationProv : public CQZSlotLocationProv {
 public:
  CQZMemoryBoardSlotLocationProv()
      : CQZSlotLocationProv(kMemoryBoardSlotLocationProviderDescription, g_MemoryBoardSlotLocationList.Get()) {}
};
