// The element-location association lists: the slot's own path and its location's composed path.
#include "physical/QZSlotElementLocationList.h"

#include "sources/ComputerSystem.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"

CQZSlotElementLocationList::CQZSlotElementLocationList(const SlotElementLocationClassDescription& associationClass)
    : m_Class(associationClass) {
  m_Generation = 0;
  m_Mutex.SetName(m_Class.listMutexName);
}

DWORD CQZSlotElementLocationList::Update(IWbemContext* pCtx) {
  return UpdateFromSlots(pCtx, m_Class.location.source, false);
}

bool CQZSlotElementLocationList::RebuildList(IWbemContext*) {
  ClearRecords();
  if (!g_bHealthDriverPresent) {
    LogHealthDriverNotFound(m_Class.rebuildFunction);
    return true;
  }

  const SlotSource& source = m_Class.location.source;
  const CQZList& slots = source.list();
  for (DWORD i = 0; i < slots.GetCount(); ++i) {
    const CQZSlotRecord* slot = source.record(i);
    if (!slot) continue;
    int board = 0;
    int socket = 0;
    source.splitTag(slot->GetTag(), board, socket);
    // No check of the computer's name or of an empty path here: the slot list has made its own
    // path already, and a location path without a server still names the location.
    const std::wstring relative = MakeSlotLocationRelativePath(m_Class.location, board, socket);
    std::wstring location;
    MakeFullPath(kElementNamespace, relative.c_str(), location);
    AddRecord().Set(slot->GetObjectPath(), location);
  }
  return true;
}
