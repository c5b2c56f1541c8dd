// The provider of QZ_MemoryRedundancySet: the record of the static redundancy set list as an
// instance.
#pragma once

#include "framework/RecordProvider.h"
#include "logical/QZMemoryRedundancySetList.h"

// The class, its provider's names and its one key, InstanceID.
extern const ProviderDescription kMemoryRedundancySetProviderDescription;
extern const RecordTable<CQZMemoryRedundancySet> kMemoryRedundancySetTable;

class CQZMemoryRedundancySetProv : public CQZRecordProv<CQZMemoryRedundancySetList> {
 public:
  CQZMemoryRedundancySetProv()
      : CQZRecordProv(kMemoryRedundancySetProviderDescription, kMemoryRedundancySetTable,
                      g_MemoryRedundancySetList.Get()) {}
};
