// The provider of QZ_MemoryModule: the records of the static memory module list as instances.
#pragma once

#include "framework/RecordProvider.h"
#include "physical/QZMemoryModuleList.h"

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryModuleProviderDescription;
extern const RecordTable<CQZMemoryModule> kMemoryModuleTable;

class CQZMemoryModuleProv : public CQZRecordProv<CQZMemoryModuleList> {
 public:
  CQZMemoryModuleProv()
      : CQZRecordProv(kMemoryModuleProviderDescription, kMemoryModuleTable, g_MemoryModuleList.Get()) {}
};
