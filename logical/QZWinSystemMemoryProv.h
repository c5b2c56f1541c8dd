// The provider of QZ_WinSystemMemory: the pair of the system memory association list, which each
// provider object owns.
#pragma once

#include "logical/QZAssociation.h"
#include "logical/QZWinSystemMemoryList.h"

// The class, its provider's names and its keys (GroupComponent, PartComponent).
extern const ProviderDescription kWinSystemMemoryProviderDescription;

class CQZWinSystemMemoryProv : public CQZAssociationProv<CQZWinSystemMemoryList> {
 public:
  CQZWinSystemMemoryProv() : CQZAssociationProv(kWinSystemMemoryProviderDescription) {}
};
