// The provider of QZ_MemoryBoard: the records of the static memory board list as instances.
#pragma once

#include "framework/RecordProvider.h"
#include "physical/QZMemoryBoardList.h"

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryBoardProviderDescription;
extern const RecordTable<CQZMemoryBoard> kMemoryBoardTable;

class CQZMemoryBoardProv : public CQZRecordProv<CQZMemoryBoardList> {
 public:
  CQZMemoryBoardProv() : CQZRecordProv(kMemoryBoardProviderDescription, kMemoryBoardTable, g_MemoryBoardList.Get()) {}
};
