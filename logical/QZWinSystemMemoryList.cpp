// The system memory association list: the computer system reference and the extent's full path.
#include "logical/QZWinSystemMemoryList.h"

#include "logical/QZMemoryAssociationLists.h"

const AssociationListDescription kWinSystemMemoryListDescription = {
    L"CQZWinSystemMemoryList", true, AssociationUpdate::FollowsEvents, {}};

bool CQZWinSystemMemoryList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  AddPair(ComputerSystemReference(), SystemMemoryReference());
  m_bWatchEvents = TRUE;
  return true;
}
