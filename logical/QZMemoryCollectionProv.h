// The provider of QZ_MemoryCollection: the one collection of its own memory collection list.
#pragma once

#include "framework/RecordProvider.h"
#include "logical/QZMemoryCollectionList.h"

// The class, its provider's names and its key (InstanceID).
extern const ProviderDescription kMemoryCollectionProviderDescription;
extern const RecordTable<CQZMemoryCollection> kMemoryCollectionTable;

class CQZMemoryCollectionProv : public CQZRecordProv<CQZMemoryCollectionList> {
 public:
  CQZMemoryCollectionProv() : CQZRecordProv(OwnList{}, kMemoryCollectionProviderDescription, kMemoryCollectionTable) {}
};
