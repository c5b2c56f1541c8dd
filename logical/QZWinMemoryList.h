// The system memory list: the server's memory seen as one storage extent, its size from the health
// driver or from SMBIOS and its health folded from the memory modules.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "framework/PresenceBits.h"
#include "framework/QZList.h"
#include "sources/PlatformProbe.h"
#include "support/ResourceIds.h"

// Presence bits of CQZWinMemory: a property goes into the instance only when its bit is set.
enum : DWORD {
  kWinMemoryAccess = 0x1,
  kWinMemoryBlockSize = 0x2,
  kWinMemoryCaption = 0x4,
  kWinMemoryConsumableBlocks = 0x8,
  kWinMemoryDescription = 0x10,
  kWinMemoryDeviceId = 0x20,
  kWinMemoryElementName = 0x40,
  kWinMemoryEndingAddress = 0x80,
  kWinMemoryHealthState = 0x100,
  kWinMemoryName = 0x200,
  kWinMemoryNumberOfBlocks = 0x400,
  kWinMemoryOperationalStatus = 0x800,
  kWinMemoryPrimordial = 0x1000,
  kWinMemoryPurpose = 0x2000,
  kWinMemorySequentialAccess = 0x4000,
  kWinMemoryStartingAddress = 0x8000,
  kWinMemoryStatusDescriptions = 0x10000,
  kWinMemoryVolatile = 0x20000,
};

// The WMI class, the one extent's device ID, the name it goes by and the formats of its path.
inline constexpr const WCHAR* kWinMemoryClass = L"QZ_WinMemory";
inline constexpr const WCHAR* kWinMemoryNamespace = L"root\\VXN";
inline constexpr const WCHAR* kWinMemoryDeviceIdText = L"VXN:QZ_WinMemory:001";
inline constexpr const WCHAR* kWinMemoryNameText = L"System Memory";
// Device ID, system creation class name, computer name.
inline constexpr const WCHAR* kWinMemoryPathFormat =
    L"QZ_WinMemory.CreationClassName=\"QZ_WinMemory\",DeviceID=\"%ls\",SystemCreationClassName=\"%ls\",SystemName=\"%ls\"";
// Read/Write Supported.
inline constexpr WORD kWinMemoryReadWrite = 3;

// The health of the system memory by the fold of its modules' first statuses.
struct SystemMemoryStatusRow {
  WORD fold;
  WORD operationalStatus;
  WORD healthState;
  UINT text;
};
inline constexpr SystemMemoryStatusRow kSystemMemoryStatusTable[] = {
    {2, 2, 5, IDS_SYSTEM_MEMORY_STATUS_OK},
    {3, 3, 10, IDS_SYSTEM_MEMORY_STATUS_DEGRADED},
};
// Every other fold.
inline constexpr SystemMemoryStatusRow kSystemMemoryStatusOther = {0, 0, 0, IDS_SYSTEM_MEMORY_STATUS_UNKNOWN};

const SystemMemoryStatusRow& SystemMemoryStatus(WORD fold);

// One step of the fold over the memory modules' first OperationalStatus values, which starts at 2
// (OK): the first module sets it; from Unknown only Degraded moves it; Degraded stays; anything
// else is Unknown.
WORD NextModuleFold(WORD fold, WORD moduleStatus);

// The module fold over the static memory module list, locked around its Update and the reading of
// its records; 2 when the list has no valid data or no module.
WORD FoldMemoryModules(IWbemContext* pCtx);

// The bytes one SMBIOS memory device (the copied type 17 bytes) adds to the system's memory: 0 for
// an unknown size or an empty socket, else its size or extended size.
ULONGLONG MemoryDeviceBytes(const BYTE* device);

// The system memory extent. Every setter stores its value and sets the property's presence bit.
class CQZWinMemory : public CQZPresenceBits {
 public:
  void Reset() { *this = CQZWinMemory(); }

  void SetAccess(WORD value) { Set(m_Access, value, kWinMemoryAccess); }
  void SetBlockSize(ULONGLONG value) { Set(m_BlockSize, value, kWinMemoryBlockSize); }
  void SetCaption(const std::wstring& value) { Set(m_Caption, value, kWinMemoryCaption); }
  void SetConsumableBlocks(ULONGLONG value) { Set(m_ConsumableBlocks, value, kWinMemoryConsumableBlocks); }
  void SetDescription(const std::wstring& value) { Set(m_Description, value, kWinMemoryDescription); }
  void SetDeviceId(const std::wstring& value) { Set(m_DeviceId, value, kWinMemoryDeviceId); }
  void SetElementName(const std::wstring& value) { Set(m_ElementName, value, kWinMemoryElementName); }
  void SetEndingAddress(ULONGLONG value) { Set(m_EndingAddress, value, kWinMemoryEndingAddress); }
  void SetHealthState(WORD value) { Set(m_HealthState, value, kWinMemoryHealthState); }
  void SetName(const std::wstring& value) { Set(m_Name, value, kWinMemoryName); }
  void SetNumberOfBlocks(ULONGLONG value) { Set(m_NumberOfBlocks, value, kWinMemoryNumberOfBlocks); }
  void SetOperationalStatus(const std::vector<WORD>& value) {
    Set(m_OperationalStatus, value, kWinMemoryOperationalStatus);
  }
  void SetPrimordial(bool value) { Set(m_Primordial, value, kWinMemoryPrimordial); }
  void SetPurpose(const std::wstring& value) { Set(m_Purpose, value, kWinMemoryPurpose); }
  void SetSequentialAccess(bool value) { Set(m_SequentialAccess, value, kWinMemorySequentialAccess); }
  void SetStartingAddress(ULONGLONG value) { Set(m_StartingAddress, value, kWinMemoryStartingAddress); }
  void SetStatusDescriptions(const std::vector<std::wstring>& value) {
    Set(m_StatusDescriptions, value, kWinMemoryStatusDescriptions);
  }
  void SetVolatile(bool value) { Set(m_Volatile, value, kWinMemoryVolatile); }
  void SetObjectPath(const std::wstring& value) { m_ObjectPath = value; }

  // The key of the lookup by path that the record holds.
  const std::wstring& GetDeviceId() const { return m_DeviceId; }
  // The full object path, which the association lists publish as a reference.
  const std::wstring& GetObjectPath() const { return m_ObjectPath; }
  // The values of the record's properties.
  WORD GetAccess() const { return m_Access; }
  ULONGLONG GetBlockSize() const { return m_BlockSize; }
  const std::wstring& GetCaption() const { return m_Caption; }
  ULONGLONG GetConsumableBlocks() const { return m_ConsumableBlocks; }
  const std::wstring& GetDescription() const { return m_Description; }
  const std::wstring& GetElementName() const { return m_ElementName; }
  ULONGLONG GetEndingAddress() const { return m_EndingAddress; }
  WORD GetHealthState() const { return m_HealthState; }
  const std::wstring& GetName() const { return m_Name; }
  ULONGLONG GetNumberOfBlocks() const { return m_NumberOfBlocks; }
  const std::vector<WORD>& GetOperationalStatus() const { return m_OperationalStatus; }
  bool GetPrimordial() const { return m_Primordial; }
  const std::wstring& GetPurpose() const { return m_Purpose; }
  bool GetSequentialAccess() const { return m_SequentialAccess; }
  ULONGLONG GetStartingAddress() const { return m_StartingAddress; }
  const std::vector<std::wstring>& GetStatusDescriptions() const { return m_StatusDescriptions; }
  bool GetVolatile() const { return m_Volatile; }

 private:
  WORD m_Access = 0;
  ULONGLONG m_BlockSize = 0;
  std::wstring m_Caption;
  ULONGLONG m_ConsumableBlocks = 0;
  std::wstring m_Description;
  std::wstring m_DeviceId;
  std::wstring m_ElementName;
  ULONGLONG m_EndingAddress = 0;
  WORD m_HealthState = 0;
  std::wstring m_Name;
  ULONGLONG m_NumberOfBlocks = 0;
  std::vector<WORD> m_OperationalStatus;
  bool m_Primordial = false;
  std::wstring m_Purpose;
  bool m_SequentialAccess = false;
  ULONGLONG m_StartingAddress = 0;
  std::vector<std::wstring> m_StatusDescriptions;
  bool m_Volatile = false;
  std::wstring m_ObjectPath;
};

class CQZWinMemoryList : public CQZRecordList<CQZWinMemory> {
 protected:
  // Empties the list and builds the one extent afresh. Always true: a source that fails leaves the
  // list empty, which is valid data.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  bool BuildFromDriver(IWbemContext* pCtx, HANDLE device);
  bool BuildFromSmbios(IWbemContext* pCtx);
  // The record of `totalBytes` with the modules' health and its path; no record when the computer's
  // name cannot be had.
  bool AddExtent(IWbemContext* pCtx, ULONGLONG totalBytes);
};

// The extent's fields for `totalBytes` of memory, health from the module fold `fold`.
void SetWinMemoryFields(CQZWinMemory& record, ULONGLONG totalBytes, WORD fold);

// The module's one system memory list, made at its first use.
extern CQZStaticList<CQZWinMemoryList> g_WinMemoryList;
