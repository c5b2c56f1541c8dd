// The memory redundancy set list: the one record that says which memory protection modes the
// server offers, which is selected, which runs now and whether it is intact, built from the health
// driver's configuration and protection-state answers.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "framework/PresenceBits.h"
#include "framework/QZList.h"
#include "sources/HealthDriver.h"
#include "support/ResourceIds.h"

// Presence bits of CQZMemoryRedundancySet, in the order the properties are put.
enum : DWORD {
  kRedundancyAvailableMemory = 0x1,
  kRedundancyCaption = 0x2,
  kRedundancyConfigurationsAvailable = 0x4,
  kRedundancyCurrentConfiguration = 0x8,
  kRedundancyDescription = 0x10,
  kRedundancyElementName = 0x20,
  kRedundancyInstanceId = 0x40,
  kRedundancyOperatingSpeed = 0x80,
  kRedundancyOtherTypeOfSet = 0x100,
  kRedundancyRedundancyStatus = 0x200,
  kRedundancyTargetConfiguration = 0x400,
  kRedundancyTotalMemory = 0x800,
  kRedundancyTypeOfSet = 0x1000,
};

inline constexpr const WCHAR* kMemoryRedundancySetClass = L"QZ_MemoryRedundancySet";
// The key of the one instance.
inline constexpr const WCHAR* kMemoryRedundancySetInstanceId = L"VXN:QZ_MemoryRedundancySet:001";

// The kind of protection, as published in TypeOfSet.
enum : WORD {
  kSetTypeUnknown = 0,
  kSetTypeOther = 1,  // the sub-code says which
  kSetTypeRaid = 2,
  kSetTypeMirrored = 3,
  kSetTypeOnlineSpare = 4,
};

// Which protection kSetTypeOther stands for.
enum : WORD {
  kProtectionSubNone = 0,
  kProtectionSubAdvancedEcc = 1,
  kProtectionSubLockstep = 2,
};

// RedundancyStatus values.
inline constexpr WORD kRedundancyFull = 2;
inline constexpr WORD kRedundancyDegraded = 3;

// The name of a protection mode by set type and sub-code. A row whose sub-code is kAnySubCode
// matches every sub-code; a type in no row is "Unknown".
inline constexpr WORD kAnySubCode = 0xFFFF;
struct ConfigurationTextRow {
  WORD code;
  WORD subCode;
  UINT text;
};
inline constexpr ConfigurationTextRow kConfigurationTextTable[] = {
    {kSetTypeOther, kProtectionSubAdvancedEcc, IDS_PROTECTION_ADVANCED_ECC},
    {kSetTypeOther, kProtectionSubLockstep, IDS_PROTECTION_LOCKSTEP},
    {kSetTypeOther, kAnySubCode, IDS_PROTECTION_UNKNOWN},
    {kSetTypeRaid, kAnySubCode, IDS_PROTECTION_RAID},
    {kSetTypeMirrored, kAnySubCode, IDS_PROTECTION_MIRRORED},
    {kSetTypeOnlineSpare, kAnySubCode, IDS_PROTECTION_ONLINE_SPARE},
};

// The string number of the mode's name, and the name itself from the string table.
UINT ConfigurationTextId(WORD code, WORD subCode);
std::wstring ConfigurationText(WORD code, WORD subCode);

// What the driver's protection state (command 1701) says about the running protection.
struct ProtectionStateRow {
  WORD redundancyStatus;
  bool currentIsTarget;  // the running mode is the selected one
  WORD currentCode;      // otherwise this set type runs
  bool moduleCheck;      // a module whose first status is Degraded degrades the protection
};
// Indexed by the protection state; states past the table set no redundancy status and run
// kSetTypeUnknown.
inline constexpr ProtectionStateRow kProtectionStateTable[] = {
    /* 0 */ {kRedundancyDegraded, false, kSetTypeOther, false},
    /* 1 */ {kRedundancyFull, true, 0, false},
    /* 2 */ {kRedundancyDegraded, true, 0, false},
    /* 3 */ {kRedundancyDegraded, true, 0, false},
    /* 4 */ {kRedundancyFull, false, kSetTypeOther, true},
    /* 5 */ {kRedundancyFull, false, kSetTypeMirrored, false},
    /* 6 */ {kRedundancyDegraded, false, kSetTypeMirrored, false},
    /* 7 */ {kRedundancyFull, false, kSetTypeOnlineSpare, false},
    /* 8 */ {kRedundancyDegraded, false, kSetTypeOnlineSpare, false},
    /* 9 */ {kRedundancyFull, false, kSetTypeRaid, false},
    /* 10 */ {kRedundancyDegraded, false, kSetTypeRaid, false},
    /* 11 */ {kRedundancyFull, false, kSetTypeOther, true},
    /* 12 */ {kRedundancyDegraded, false, kSetTypeOther, false},
    /* 13 */ {kRedundancyFull, false, kSetTypeOther, true},
    /* 14 */ {kRedundancyDegraded, false, kSetTypeOther, false},
};

// One step of the fold over the modules' first OperationalStatus values, which starts at 2 (OK):
// from 2 the fold takes the module's value; from 0 (Unknown) only a 3 (Degraded) moves it, to 3;
// 3 stays; any other value falls to 0. A fold that ends at 3 degrades the protection.
WORD FoldModuleStatus(WORD fold, WORD firstStatus);

// The set type and sub-code of the selected mode: Advanced ECC or Lockstep (Lockstep when both),
// else online spare, else RAID, else any mirroring, else unknown.
void SelectedConfiguration(const MemoryConfigurationAnswer& answer, WORD& code, WORD& subCode);

// The names of the offered modes, in the order they are published. With the first-choice driver
// device in use the driver offers RAID alone, whatever its answer says.
std::vector<std::wstring> OfferedConfigurations(const MemoryConfigurationAnswer& answer, bool primaryDevice);

// The redundancy set. Every setter stores its value and sets the property's presence bit.
class CQZMemoryRedundancySet : public CQZPresenceBits {
 public:
  // Back to the empty record: no bits, numbers 0, texts and lists empty.
  void Reset() { *this = CQZMemoryRedundancySet(); }

  void SetAvailableMemory(DWORD value) { Set(m_AvailableMemory, value, kRedundancyAvailableMemory); }
  void SetCaption(const std::wstring& value) { Set(m_Caption, value, kRedundancyCaption); }
  void SetConfigurationsAvailable(const std::vector<std::wstring>& value) {
    Set(m_ConfigurationsAvailable, value, kRedundancyConfigurationsAvailable);
  }
  void SetCurrentConfiguration(const std::wstring& value) {
    Set(m_CurrentConfiguration, value, kRedundancyCurrentConfiguration);
  }
  void SetDescription(const std::wstring& value) { Set(m_Description, value, kRedundancyDescription); }
  void SetElementName(const std::wstring& value) { Set(m_ElementName, value, kRedundancyElementName); }
  void SetInstanceId(const std::wstring& value) { Set(m_InstanceId, value, kRedundancyInstanceId); }
  void SetOperatingSpeed(DWORD value) { Set(m_OperatingSpeed, value, kRedundancyOperatingSpeed); }
  void SetOtherTypeOfSet(const std::vector<std::wstring>& value) {
    Set(m_OtherTypeOfSet, value, kRedundancyOtherTypeOfSet);
  }
  void SetRedundancyStatus(WORD value) { Set(m_RedundancyStatus, value, kRedundancyRedundancyStatus); }
  void SetTargetConfiguration(const std::wstring& value) {
    Set(m_TargetConfiguration, value, kRedundancyTargetConfiguration);
  }
  void SetTotalMemory(DWORD value) { Set(m_TotalMemory, value, kRedundancyTotalMemory); }
  void SetTypeOfSet(const std::vector<WORD>& value) { Set(m_TypeOfSet, value, kRedundancyTypeOfSet); }

  // The key of the lookup by path.
  const std::wstring& GetInstanceId() const { return m_InstanceId; }
  // The values of the record's properties.
  DWORD GetAvailableMemory() const { return m_AvailableMemory; }
  const std::wstring& GetCaption() const { return m_Caption; }
  const std::vector<std::wstring>& GetConfigurationsAvailable() const { return m_ConfigurationsAvailable; }
  const std::wstring& GetCurrentConfiguration() const { return m_CurrentConfiguration; }
  const std::wstring& GetDescription() const { return m_Description; }
  const std::wstring& GetElementName() const { return m_ElementName; }
  DWORD GetOperatingSpeed() const { return m_OperatingSpeed; }
  const std::vector<std::wstring>& GetOtherTypeOfSet() const { return m_OtherTypeOfSet; }
  WORD GetRedundancyStatus() const { return m_RedundancyStatus; }
  const std::wstring& GetTargetConfiguration() const { return m_TargetConfiguration; }
  DWORD GetTotalMemory() const { return m_TotalMemory; }
  const std::vector<WORD>& GetTypeOfSet() const { return m_TypeOfSet; }

 private:
  DWORD m_AvailableMemory = 0;
  std::wstring m_Caption;
  std::vector<std::wstring> m_ConfigurationsAvailable;
  std::wstring m_CurrentConfiguration;
  std::wstring m_Description;
  std::wstring m_ElementName;
  std::wstring m_InstanceId;
  DWORD m_OperatingSpeed = 0;
  std::vector<std::wstring> m_OtherTypeOfSet;
  WORD m_RedundancyStatus = 0;
  std::wstring m_TargetConfiguration;
  DWORD m_TotalMemory = 0;
  std::vector<WORD> m_TypeOfSet;
};

class CQZMemoryRedundancySetList : public CQZRecordList<CQZMemoryRedundancySet> {
 public:
  CQZMemoryRedundancySetList() = default;

 protected:
  // Empties the list and builds the record afresh when the driver describes the memory and its
  // protection. Always true: a source that fails leaves the list empty, which is valid data.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  void BuildRecord(HANDLE device, IWbemContext* pCtx);
  // Whether the modules of the memory module list degrade the protection (the fold ends at 3).
  static bool ModulesDegrade(IWbemContext* pCtx);
};

// The module's one redundancy set list, made at its first use.
extern CQZStaticList<CQZMemoryRedundancySetList> g_MemoryRedundancySetList;
