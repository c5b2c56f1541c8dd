// The memory redundancy set list: offered, selected and running protection from commands 1700
// and 1701, and the module check of the protection states that depend on the modules' health.
#include "logical/QZMemoryRedundancySetList.h"

#include <iterator>

#include "physical/QZMemoryModuleList.h"
#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/ResourceString.h"

constinit CQZStaticList<CQZMemoryRedundancySetList> g_MemoryRedundancySetList;

namespace {

// An offered mode: published when any of its flags in the configuration answer is set.
struct OfferedModeRow {
  UINT text;
  DWORD MemoryConfigurationAnswer::*flags[3];
};
constexpr OfferedModeRow kOfferedModes[] = {
    {IDS_PROTECTION_ADVANCED_ECC, {&MemoryConfigurationAnswer::advancedEccOffered}},
    {IDS_PROTECTION_ONLINE_SPARE, {&MemoryConfigurationAnswer::onlineSpareOffered}},
    {IDS_PROTECTION_MIRRORED,
     {&MemoryConfigurationAnswer::mirroring3Offered, &MemoryConfigurationAnswer::mirroringOffered,
      &MemoryConfigurationAnswer::mirroring2Offered}},
    {IDS_PROTECTION_RAID, {&MemoryConfigurationAnswer::raidOffered}},
    {IDS_PROTECTION_LOCKSTEP, {&MemoryConfigurationAnswer::lockstepOffered}},
};

bool AnySet(const MemoryConfigurationAnswer& answer, DWORD MemoryConfigurationAnswer::* const (&flags)[3]) {
  for (DWORD MemoryConfigurationAnswer::*flag : flags)
    if (flag && answer.*flag != 0) return true;
  return false;
}

// The module status that the fold carries towards degraded protection.
constexpr WORD kModuleStatusDegraded = 3;

std::wstring Text(UINT number) { return LoadResourceString(kModuleFileName, number); }

}  // namespace

UINT ConfigurationTextId(WORD code, WORD subCode) {
  for (const ConfigurationTextRow& row : kConfigurationTextTable)
    if (row.code == code && (row.subCode == kAnySubCode || row.subCode == subCode)) return row.text;
  return IDS_PROTECTION_UNKNOWN;
}

std::wstring ConfigurationText(WORD code, WORD subCode) { return Text(ConfigurationTextId(code, subCode)); }

WORD FoldModuleStatus(WORD fold, WORD firstStatus) {
  switch (fold) {
    case 2:
      return firstStatus;
    case 0:
      return firstStatus == kModuleStatusDegraded ? kModuleStatusDegraded : 0;
    case kModuleStatusDegraded:
      return kModuleStatusDegraded;
    default:
      return 0;
  }
}

void SelectedConfiguration(const MemoryConfigurationAnswer& answer, WORD& code, WORD& subCode) {
  code = kSetTypeUnknown;
  subCode = kProtectionSubNone;
  if (answer.advancedEccSelected != 0 || answer.lockstepSelected != 0) {
    code = kSetTypeOther;
    if (answer.advancedEccSelected != 0) subCode = kProtectionSubAdvancedEcc;
    if (answer.lockstepSelected != 0) subCode = kProtectionSubLockstep;
  } else if (answer.onlineSpareSelected != 0) {
    code = kSetTypeOnlineSpare;
  } else if (answer.raidSelected != 0) {
    code = kSetTypeRaid;
  } else if (answer.mirroring3Selected != 0 || answer.mirroringSelected != 0 || answer.mirroring2Selected != 0) {
    code = kSetTypeMirrored;
  }
}

std::vector<std::wstring> OfferedConfigurations(const MemoryConfigurationAnswer& answer, bool primaryDevice) {
  if (primaryDevice) return {Text(IDS_PROTECTION_RAID)};
  std::vector<std::wstring> offered;
  for (const OfferedModeRow& row : kOfferedModes)
    if (AnySet(answer, row.flags)) offered.push_back(Text(row.text));
  return offered;
}

bool CQZMemoryRedundancySetList::RebuildList(IWbemContext* pCtx) {
  ClearRecords();
  m_bWatchEvents = FALSE;

  // Until the data store has data the list stays empty; the store's check moves the event counter,
  // so the next Update after it has data rebuilds.
  if (!IsDataStoreReady(pCtx)) {
    m_bWatchEvents = TRUE;
    return true;
  }
  if (!g_bAmpStatusValid) g_MemAmpChecker.ProbePlatform();
  if (!g_bHealthDriverPresent) {
    LogHealthDriverNotFound(L"CQZMemoryRedundancySetList::RebuildList");
    return true;
  }
  CAutoHandle device;
  if (!OpenHealthDriver(device)) return true;
  if (g_bDriverMemoryData) BuildRecord(device.Get(), pCtx);
  return true;
}

void CQZMemoryRedundancySetList::BuildRecord(HANDLE device, IWbemContext* pCtx) {
  MemoryConfigurationAnswer configuration = {};
  WORD length = sizeof(configuration);
  if (DriverCommand(device, kCommandMemoryConfiguration, &configuration, length) != 0) return;
  if (configuration.socketsPerBoard == 0 || configuration.boardCount == 0) return;

  ProtectionStateAnswer protection = {};
  length = sizeof(protection);
  if (DriverCommand(device, kCommandProtectionState, &protection, length) != 0) return;

  CQZMemoryRedundancySet record;
  const std::wstring caption = Text(IDS_REDUNDANCY_SET_CAPTION);
  record.SetCaption(caption);
  record.SetElementName(caption);
  record.SetDescription(Text(IDS_REDUNDANCY_SET_DESCRIPTION));
  record.SetInstanceId(kMemoryRedundancySetInstanceId);
  record.SetOperatingSpeed(protection.operatingSpeed);
  record.SetAvailableMemory(protection.availableMemory);
  record.SetTotalMemory(protection.totalMemory);
  record.SetConfigurationsAvailable(OfferedConfigurations(configuration, g_bPrimaryDriverDevice));

  WORD targetCode = kSetTypeUnknown;
  WORD subCode = kProtectionSubNone;
  SelectedConfiguration(configuration, targetCode, subCode);
  record.SetTargetConfiguration(ConfigurationText(targetCode, subCode));

  WORD currentCode = kSetTypeUnknown;
  if (protection.protectionState < std::size(kProtectionStateTable)) {
    const ProtectionStateRow& row = kProtectionStateTable[protection.protectionState];
    currentCode = row.currentIsTarget ? targetCode : row.currentCode;
    record.SetRedundancyStatus(row.moduleCheck && ModulesDegrade(pCtx) ? kRedundancyDegraded : row.redundancyStatus);
  }
  // The sub-code of the selected mode names the running "other" mode as well.
  record.SetCurrentConfiguration(ConfigurationText(currentCode, subCode));
  record.SetTypeOfSet({currentCode});
  if (currentCode == kSetTypeOther) record.SetOtherTypeOfSet({ConfigurationText(kSetTypeOther, subCode)});

  AddRecord() = record;
  m_bWatchEvents = TRUE;
}

bool CQZMemoryRedundancySetList::ModulesDegrade(IWbemContext* pCtx) {
  CQZMemoryModuleList& modules = g_MemoryModuleList.Get();
  modules.Lock();
  WORD fold = 2;
  if (modules.Update(pCtx) != 0) {
    for (DWORD i = 0; i < modules.GetCount(); ++i) {
      const CQZMemoryModule* module = modules.GetAt(i);
      // Every module the list builds carries a status; one without would count as Unknown.
      const std::vector<WORD>& status = module->GetOperationalStatus();
      const WORD first = status.empty() ? 0 : status.front();
      fold = FoldModuleStatus(fold, first);
    }
  }
  modules.Unlock();
  return fold == kModuleStatusDegraded;
}
