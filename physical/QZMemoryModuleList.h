// The memory module list: one record per installed memory module, built from the health driver
// or from SMBIOS, and shared by the memory module provider and the lists that read its modules.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "framework/PresenceBits.h"
#include "framework/QZList.h"
#include "sources/PlatformProbe.h"
#include "support/ResourceIds.h"

// Presence bits of CQZMemoryModule: a property goes into the instance only when its bit is set.
enum : DWORD {
  kModuleBankLabel = 0x1,
  kModuleCapacity = 0x2,
  kModuleCaption = 0x4,
  kModuleDataWidth = 0x8,
  kModuleDescription = 0x10,
  kModuleElementName = 0x20,
  kModuleFormFactor = 0x40,
  kModuleHealthState = 0x80,
  kModuleInterleavePosition = 0x100,
  kModuleManufacturer = 0x200,
  kModuleMemoryType = 0x400,
  kModuleName = 0x800,
  kModuleOperationalStatus = 0x1000,
  kModulePartNumber = 0x2000,
  kModulePositionInRow = 0x4000,
  kModuleRemovalConditions = 0x8000,
  kModuleSerialNumber = 0x10000,
  kModuleSpd = 0x20000,
  kModuleSpeed = 0x40000,
  kModuleStatusDescriptions = 0x80000,
  kModuleTag = 0x100000,
  kModuleTotalWidth = 0x200000,
  kModuleIsSpeedInMhz = 0x400000,
  kModuleMaxMemorySpeed = 0x800000,
};

// The WMI class, its namespace, and the formats of the names, key and relative path of a module.
inline constexpr const WCHAR* kMemoryModuleClass = L"QZ_MemoryModule";
inline constexpr const WCHAR* kMemoryModuleNamespace = L"root\\VXN";
inline constexpr const WCHAR* kMemoryModuleTagFormat = L"VXN:QZ_MemoryModule:%d-%d";  // board, module
inline constexpr const WCHAR* kMemoryModulePathFormat = L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"%ls\"";
// Captions and tags are cut to this many characters.
inline constexpr size_t kMemoryModuleTextLimit = 127;

// CIM form factor by SMBIOS form-factor code; codes past the table give 1 (Other).
inline constexpr WORD kFormFactorMap[16] = {1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 8};
// CIM memory type by SMBIOS memory-type code; codes past the table give 0 (Unknown).
inline constexpr WORD kMemoryTypeMap[26] = {0,  1,  0,  2,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                            15, 16, 17, 18, 19, 20, 21, 23, 0,  0,  0,  24, 25};

WORD MapFormFactor(DWORD code);
WORD MapMemoryType(DWORD code);
// Only SIMMs, DIMMs and FB-DIMMs are modules of this list.
bool IsListedFormFactor(WORD formFactor);

// One status a module can be in: its operational status values with their texts, and its health.
struct ModuleStatusRow {
  BYTE count;          // entries used in values and texts
  WORD values[2];      // OperationalStatus
  UINT texts[2];       // StatusDescriptions, as string numbers
  WORD healthState;
};

// The status of a module by the driver's module status code (command 1707).
struct DriverModuleStatus {
  DWORD code;
  ModuleStatusRow status;
};
inline constexpr DriverModuleStatus kDriverModuleStatusTable[] = {
    {2, {1, {2}, {IDS_MODULE_STATUS_OK}, 5}},
    {1, {2, {2, 15}, {IDS_MODULE_STATUS_OK, IDS_MODULE_STATUS_NOT_IN_USE}, 5}},
    {3, {2, {2, 15}, {IDS_MODULE_STATUS_OK, IDS_MODULE_STATUS_NOT_IN_USE}, 5}},
    {4, {2, {2, 15}, {IDS_MODULE_STATUS_OK, IDS_MODULE_STATUS_NOT_IN_USE}, 5}},
    {9, {2, {3, 5}, {IDS_MODULE_STATUS_DEGRADED, IDS_MODULE_STATUS_PREFAILURE}, 10}},
    {0, {2, {0, 0}, {IDS_MODULE_STATUS_UNKNOWN, IDS_MODULE_STATUS_NOT_PRESENT}, 10}},
    {5, {2, {0, 0}, {IDS_MODULE_STATUS_UNKNOWN, IDS_MODULE_STATUS_NOT_PRESENT}, 10}},
    {6, {2, {0, 0}, {IDS_MODULE_STATUS_UNKNOWN, IDS_MODULE_STATUS_BAD_CONFIG}, 10}},
    {7, {2, {0, 0}, {IDS_MODULE_STATUS_UNKNOWN, IDS_MODULE_STATUS_BAD_CONFIG}, 10}},
};
// Code 8 and every code not in the table.
inline constexpr ModuleStatusRow kDriverModuleStatusOther = {1, {0}, {IDS_MODULE_STATUS_UNKNOWN}, 0};

// The status of a module on the SMBIOS path: failing when the journal names it or its board.
inline constexpr ModuleStatusRow kJournalModuleFailing = {2, {3, 5}, {IDS_MODULE_STATUS_DEGRADED, IDS_MODULE_STATUS_PREFAILURE}, 10};
inline constexpr ModuleStatusRow kJournalModuleOk = {1, {2}, {IDS_MODULE_STATUS_OK}, 5};

const ModuleStatusRow& DriverModuleStatusRow(DWORD code);

// One memory module. Every setter stores its value and sets the property's presence bit.
class CQZMemoryModule : public CQZPresenceBits {
 public:
  CQZMemoryModule() = default;

  // Back to the empty record: no bits, numbers 0, FormFactor 1, texts and lists empty.
  void Reset() { *this = CQZMemoryModule(); }

  void SetBankLabel(const std::wstring& value) { Set(m_BankLabel, value, kModuleBankLabel); }
  void SetCapacity(ULONGLONG value) { Set(m_Capacity, value, kModuleCapacity); }
  void SetCaption(const std::wstring& value) { Set(m_Caption, value, kModuleCaption); }
  void SetDataWidth(WORD value) { Set(m_DataWidth, value, kModuleDataWidth); }
  void SetDescription(const std::wstring& value) { Set(m_Description, value, kModuleDescription); }
  void SetElementName(const std::wstring& value) { Set(m_ElementName, value, kModuleElementName); }
  void SetFormFactor(WORD value) { Set(m_FormFactor, value, kModuleFormFactor); }
  void SetHealthState(WORD value) { Set(m_HealthState, value, kModuleHealthState); }
  void SetInterleavePosition(DWORD value) { Set(m_InterleavePosition, value, kModuleInterleavePosition); }
  void SetIsSpeedInMhz(bool value) { Set(m_IsSpeedInMhz, value, kModuleIsSpeedInMhz); }
  void SetMaxMemorySpeed(DWORD value) { Set(m_MaxMemorySpeed, value, kModuleMaxMemorySpeed); }
  void SetManufacturer(const std::wstring& value) { Set(m_Manufacturer, value, kModuleManufacturer); }
  void SetMemoryType(WORD value) { Set(m_MemoryType, value, kModuleMemoryType); }
  void SetName(const std::wstring& value) { Set(m_Name, value, kModuleName); }
  void SetOperationalStatus(const std::vector<WORD>& value) { Set(m_OperationalStatus, value, kModuleOperationalStatus); }
  void SetPartNumber(const std::wstring& value) { Set(m_PartNumber, value, kModulePartNumber); }
  void SetPositionInRow(DWORD value) { Set(m_PositionInRow, value, kModulePositionInRow); }
  void SetRemovalConditions(WORD value) { Set(m_RemovalConditions, value, kModuleRemovalConditions); }
  void SetSerialNumber(const std::wstring& value) { Set(m_SerialNumber, value, kModuleSerialNumber); }
  void SetSpd(const std::vector<BYTE>& value) { Set(m_Spd, value, kModuleSpd); }
  void SetSpeed(DWORD value) { Set(m_Speed, value, kModuleSpeed); }
  void SetStatusDescriptions(const std::vector<std::wstring>& value) {
    Set(m_StatusDescriptions, value, kModuleStatusDescriptions);
  }
  void SetTag(const std::wstring& value) { Set(m_Tag, value, kModuleTag); }
  void SetTotalWidth(WORD value) { Set(m_TotalWidth, value, kModuleTotalWidth); }
  void SetObjectPath(const std::wstring& value) { m_ObjectPath = value; }

  // The key of the lookup by path.
  const std::wstring& GetTag() const { return m_Tag; }
  // The full object path, which association lists publish as a reference.
  const std::wstring& GetObjectPath() const { return m_ObjectPath; }
  // The values of the record's properties.
  const std::wstring& GetBankLabel() const { return m_BankLabel; }
  ULONGLONG GetCapacity() const { return m_Capacity; }
  const std::wstring& GetCaption() const { return m_Caption; }
  WORD GetDataWidth() const { return m_DataWidth; }
  const std::wstring& GetDescription() const { return m_Description; }
  const std::wstring& GetElementName() const { return m_ElementName; }
  WORD GetFormFactor() const { return m_FormFactor; }
  WORD GetHealthState() const { return m_HealthState; }
  DWORD GetInterleavePosition() const { return m_InterleavePosition; }
  bool GetIsSpeedInMhz() const { return m_IsSpeedInMhz; }
  DWORD GetMaxMemorySpeed() const { return m_MaxMemorySpeed; }
  const std::wstring& GetManufacturer() const { return m_Manufacturer; }
  WORD GetMemoryType() const { return m_MemoryType; }
  const std::wstring& GetName() const { return m_Name; }
  const std::vector<WORD>& GetOperationalStatus() const { return m_OperationalStatus; }
  const std::wstring& GetPartNumber() const { return m_PartNumber; }
  DWORD GetPositionInRow() const { return m_PositionInRow; }
  WORD GetRemovalConditions() const { return m_RemovalConditions; }
  const std::wstring& GetSerialNumber() const { return m_SerialNumber; }
  const std::vector<BYTE>& GetSpd() const { return m_Spd; }
  DWORD GetSpeed() const { return m_Speed; }
  const std::vector<std::wstring>& GetStatusDescriptions() const { return m_StatusDescriptions; }
  WORD GetTotalWidth() const { return m_TotalWidth; }

 private:
  std::wstring m_BankLabel;
  ULONGLONG m_Capacity = 0;
  std::wstring m_Caption;
  WORD m_DataWidth = 0;
  std::wstring m_Description;
  std::wstring m_ElementName;
  WORD m_FormFactor = 1;
  WORD m_HealthState = 0;
  DWORD m_InterleavePosition = 0;
  bool m_IsSpeedInMhz = false;
  DWORD m_MaxMemorySpeed = 0;
  std::wstring m_Manufacturer;
  WORD m_MemoryType = 0;
  std::wstring m_Name;
  std::vector<WORD> m_OperationalStatus;
  std::wstring m_PartNumber;
  DWORD m_PositionInRow = 0;
  WORD m_RemovalConditions = 0;
  std::wstring m_SerialNumber;
  std::vector<BYTE> m_Spd;
  DWORD m_Speed = 0;
  std::vector<std::wstring> m_StatusDescriptions;
  std::wstring m_Tag;
  WORD m_TotalWidth = 0;
  std::wstring m_ObjectPath;
};

class CQZMemoryModuleList : public CQZRecordList<CQZMemoryModule> {
 public:
  CQZMemoryModuleList() = default;

 protected:
  // Empties the list and gathers every module afresh. Always true: a source that fails leaves the
  // list empty, which is valid data.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  bool BuildFromDriver(HANDLE device);
  bool BuildFromSmbios(IWbemContext* pCtx);
  // Completes the record with its full object path and appends a copy; false (list emptied, watch
  // cleared) when the path cannot be made.
  bool AppendModule(CQZMemoryModule& record);
};

// Captions, Description, ElementName and Name of a module: text 101, or 142 for memory on processor
// boards, filled with the module and then the board number, cut to 127 characters.
std::wstring MemoryModuleCaption(int board, int module);
// The tag: board first, then module.
std::wstring MemoryModuleTag(int board, int module);
// The names and key of a module into `record`.
void SetMemoryModuleNames(CQZMemoryModule& record, int board, int module);
// The status row into `record`, its texts from the string table.
void SetMemoryModuleStatus(CQZMemoryModule& record, const ModuleStatusRow& status);
// The full object path of the module with `tag`; false (path empty) when the computer's name cannot
// be had or the full path comes out empty.
bool MakeMemoryModulePath(const std::wstring& tag, std::wstring& path);

// The module's one memory module list, made at its first use.
extern CQZStaticList<CQZMemoryModuleList> g_MemoryModuleList;
