// The generation rule and the memory-event watch of every list.
#include "framework/QZList.h"

#include "logical/EventCounters.h"

DWORD CQZList::NextGeneration(DWORD generation) {
  if (generation <= 1 || generation == 0xFFFFFFFF) return 2;
  return generation + 1;
}

DWORD CQZList::Update(IWbemContext* pCtx) {
  bool rebuild = true;
  if (m_bWatchEvents) {
    DWORD count = 0;
    if (ReadMemoryEventCounter(&count) && count != 0) {
      if (count == m_LastEventCount)
        rebuild = false;
      else
        m_LastEventCount = count;
    }
  }
  if (rebuild) {
    m_Generation = NextGeneration(m_Generation);
    if (!RebuildList(pCtx)) m_Generation = 0;
  }
  return m_Generation;
}

bool CQZList::HasChanged(IWbemContext* pCtx, DWORD& stamp) {
  DWORD generation = Update(pCtx);
  if (generation == stamp) return false;
  stamp = generation;
  return true;
}
