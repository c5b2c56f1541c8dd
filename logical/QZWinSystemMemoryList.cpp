// The system memory association list: the computer system reference and the extent's full path.
#include "logical/QZWinSystemMemoryList.h"

#include <cstdarg>

#include "logical/ComputerSystem.h"
#include "logical/QZWinMemoryList.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"

CQZWinSystemMemoryList::CQZWinSystemMemoryList() { m_Mutex.SetName(kWinSystemMemoryListMutexName); }

bool CQZWinSystemMemoryList::RebuildList(IWbemContext*) {
  ClearRecords();
  m_bWatchEvents = FALSE;
  if (!g_bHealthDriverPresent) {
    g_CommonLog.Lock();
    g_CommonLog.SetFunctionName(L"CQZWinSystemMemoryList::RebuildList");
    g_CommonLog.LogInformation(L"Health (or MQZ) driver not found");
    g_CommonLog.Unlock();
    return true;
  }

  CQZWinSystemMemory& record = AddRecord();
  // A failed lookup leaves the reference empty, and the pair is published all the same; so is a
  // missing computer name, which then leaves SystemName empty in the extent's path.
  GetComputerSystemReference(record.m_GroupComponent);
  std::wstring computerName;
  GetLocalComputerName(computerName);
  const std::wstring relative = FormatText(kWinSystemMemoryPartFormat, kComputerSystemClass, computerName.c_str());
  MakeFullPath(kWinMemoryNamespace, relative.c_str(), record.m_PartComponent);
  m_bWatchEvents = TRUE;
  return true;
}
