// The generation rule and the memory-event watch of every list.
#include "framework/QZList.h"

#include "support/EventCounters.h"

DWORD CQZList::NextGeneration(DWORD generation) {
  if (generation <= 1) return 2;
  return generation + 1;
}

bool CQZList::EventsDemandRebuild() {
  if (!m_bWatchEvents) return true;
  DWORD count = 0;
  if (!ReadMemoryEventCounter(&count) || count == 0) return true;
  if (count == m_LastEventCount) return false;
  m_LastEventCount = count;
  return true;
}

DWORD CQZList::Rebuild(IWbemContext* pCtx) {
  m_Generation = NextGeneration(m_Generation);
  if (!RebuildList(pCtx)) m_Generation = 0;
  return m_Generation;
}

DWORD CQZList::Update(IWbemContext* pCtx) {
  if (EventsDemandRebuild()) Rebuild(pCtx);
  return m_Generation;
}

bool CQZList::HasChanged(IWbemContext* pCtx, DWORD& stamp) {
  DWORD generation = Update(pCtx);
  if (generation == stamp) return false;
  stamp = generation;
  return true;
}
