// The system memory list: the total size from the health driver's protection-state answer or from
// the SMBIOS memory devices, and the health of the memory modules folded into one status.
#include "logical/QZWinMemoryList.h"

#include <cstdarg>

#include "physical/QZMemoryModuleList.h"
#include "sources/ComputerSystem.h"
#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "support/CommonLog.h"
#include "support/LittleEndian.h"
#include "support/ResourceString.h"

constinit CQZStaticList<CQZWinMemoryList> g_WinMemoryList;

const SystemMemoryStatusRow& SystemMemoryStatus(WORD fold) {
  for (const SystemMemoryStatusRow& row : kSystemMemoryStatusTable)
    if (row.fold == fold) return row;
  return kSystemMemoryStatusOther;
}

WORD NextModuleFold(WORD fold, WORD moduleStatus) {
  switch (fold) {
    case 2:
      return moduleStatus;
    case 0:
      return moduleStatus == 3 ? 3 : 0;
    case 3:
      return 3;
    default:
      return 0;
  }
}

WORD FoldMemoryModules(IWbemContext* pCtx) {
  CQZMemoryModuleList& modules = g_MemoryModuleList.Get();
  WORD fold = 2;
  modules.Lock();
  if (modules.Update(pCtx) != 0) {
    for (DWORD i = 0; i < modules.GetCount(); ++i) {
      const CQZMemoryModule* module = modules.GetAt(i);
      // Every module carries a status; one without would count as Unknown.
      const std::vector<WORD>& status = module->GetOperationalStatus();
      const WORD first = status.empty() ? 0 : status[0];
      fold = NextModuleFold(fold, first);
    }
  }
  modules.Unlock();
  return fold;
}

ULONGLONG MemoryDeviceBytes(const BYTE* device) {
  const WORD size = ReadWord(device, kType17Size);
  if (size == kType17SizeUnknown) return 0;
  const WORD amount = static_cast<WORD>(size & ~kType17SizeKiB);
  if (amount == 0) return 0;
  if (amount == kType17SizeExtended) return static_cast<ULONGLONG>(ReadDword(device, kType17ExtendedSize) & 0x7FFFFFFF) << 20;
  if (size & kType17SizeKiB) return static_cast<ULONGLONG>(amount) << 10;
  return static_cast<ULONGLONG>(amount) << 20;
}

void SetWinMemoryFields(CQZWinMemory& record, ULONGLONG totalBytes, WORD fold) {
  record.Reset();
  record.SetAccess(kWinMemoryReadWrite);
  record.SetBlockSize(1);
  record.SetCaption(LoadResourceString(kModuleFileName, IDS_SYSTEM_MEMORY_CAPTION));
  record.SetConsumableBlocks(totalBytes);
  record.SetDescription(LoadResourceString(kModuleFileName, IDS_SYSTEM_MEMORY_DESCRIPTION));
  record.SetDeviceId(kWinMemoryDeviceIdText);
  record.SetElementName(kWinMemoryNameText);
  // Without any known size there is no last address: the property stays null rather than showing
  // the wrapped (0 - 1) >> 10.
  if (totalBytes != 0) record.SetEndingAddress((totalBytes - 1) >> 10);
  record.SetName(kWinMemoryNameText);
  record.SetNumberOfBlocks(totalBytes);
  record.SetPrimordial(true);
  record.SetPurpose(kWinMemoryNameText);
  record.SetSequentialAccess(false);
  record.SetStartingAddress(0);
  record.SetVolatile(true);
  const SystemMemoryStatusRow& status = SystemMemoryStatus(fold);
  record.SetOperationalStatus({status.operationalStatus});
  record.SetHealthState(status.healthState);
  record.SetStatusDescriptions({LoadResourceString(kModuleFileName, status.text)});
}

bool CQZWinMemoryList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;

  if (!IsDataStoreReady(pCtx)) {
    m_bWatchEvents = TRUE;
    return true;
  }
  if (!g_bAmpStatusValid) g_MemAmpChecker.ProbePlatform();
  if (!g_bHealthDriverPresent) {
    LogHealthDriverNotFound(L"CQZWinMemoryList::RebuildList");
    return true;
  }
  CAutoHandle device;
  if (!OpenHealthDriver(device)) return true;
  return g_bDriverMemoryData ? BuildFromDriver(pCtx, device.Get()) : BuildFromSmbios(pCtx);
}

bool CQZWinMemoryList::BuildFromSmbios(IWbemContext* pCtx) {
  MemoryDeviceList devices;
  if (!CollectMemoryDevices(devices)) return true;
  ULONGLONG total = 0;
  for (const MemoryDeviceEntry& entry : devices) total += MemoryDeviceBytes(entry.data);
  return AddExtent(pCtx, total);
}

bool CQZWinMemoryList::BuildFromDriver(IWbemContext* pCtx, HANDLE device) {
  ProtectionStateAnswer answer = {};
  WORD length = sizeof(answer);
  if (DriverCommand(device, kCommandProtectionState, &answer, length) != 0) return true;
  return AddExtent(pCtx, static_cast<ULONGLONG>(answer.totalMemory) << 20);
}

bool CQZWinMemoryList::AddExtent(IWbemContext* pCtx, ULONGLONG totalBytes) {
  CQZWinMemory record;
  SetWinMemoryFields(record, totalBytes, FoldMemoryModules(pCtx));

  std::wstring computerName;
  if (GetLocalComputerName(computerName) != ERROR_SUCCESS) {
    m_bWatchEvents = FALSE;
    return true;
  }
  const std::wstring relative = FormatText(kWinMemoryPathFormat, kWinMemoryDeviceIdText, kComputerSystemClass, computerName.c_str());
  std::wstring path;
  MakeFullPath(kWinMemoryNamespace, relative.c_str(), path);
  record.SetObjectPath(path);
  AddRecord() = record;
  m_bWatchEvents = TRUE;
  return true;
}
