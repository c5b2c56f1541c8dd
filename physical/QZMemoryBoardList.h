// The memory board list: one record per fitted memory board (or per processor board with memory)
// from the health driver, and the pieces that the board and slot lists share: the board index walk,
// the start of a driver rebuild, names from the string table and full object paths.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "framework/PresenceBits.h"
#include "framework/QZList.h"
#include "support/AutoHandle.h"
#include "support/ResourceIds.h"

// Presence bits of CQZMemoryBoard: a property goes into the instance only when its bit is set.
enum : DWORD {
  kBoardAvailableMemory = 0x1,
  kBoardCaption = 0x2,
  kBoardDescription = 0x4,
  kBoardElementName = 0x8,
  kBoardHealthState = 0x10,
  kBoardHostingBoard = 0x20,
  kBoardLocked = 0x40,
  kBoardName = 0x80,
  kBoardNumberOfSockets = 0x100,
  kBoardOperationalStatus = 0x200,
  kBoardPackageType = 0x400,
  kBoardRemovalConditions = 0x800,
  kBoardStatusDescriptions = 0x1000,
  kBoardTag = 0x2000,
  kBoardTotalMemory = 0x4000,
  kBoardVendorCompatibilityStrings = 0x8000,
};

// The namespace of every element's full object path.
inline constexpr const WCHAR* kElementNamespace = L"root\\VXN";
// Names and captions are formatted into 128 characters, so at most this many are kept.
inline constexpr size_t kElementTextLimit = 127;

inline constexpr const WCHAR* kMemoryBoardClass = L"QZ_MemoryBoard";
inline constexpr const WCHAR* kMemoryBoardTagFormat = L"VXN:QZ_MemoryBoard:%d";  // board number
inline constexpr const WCHAR* kMemoryBoardPathFormat = L"QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"%ls\"";
inline constexpr const WCHAR* kMemoryBoardVendorString = L"VXN:QZ_MemoryBoard";
// CIM package type Module/Card.
inline constexpr WORD kBoardPackageModuleCard = 9;
// CIM removal conditions by the driver's hot-plug flag.
inline constexpr WORD kBoardRemovableWhenOff = 3;
inline constexpr WORD kBoardRemovableWhenOnOrOff = 4;

// One status a board can be in: its operational status values with their texts, and its health.
struct BoardStatusRow {
  BYTE count;      // entries used in values and texts
  WORD values[2];  // OperationalStatus
  UINT texts[2];   // StatusDescriptions, as string numbers
  WORD healthState;
};

inline constexpr BoardStatusRow kBoardStatusOk = {1, {2}, {IDS_BOARD_STATUS_OK}, 5};
inline constexpr BoardStatusRow kBoardStatusPreFailure = {
    2, {3, 5}, {IDS_BOARD_STATUS_DEGRADED, IDS_BOARD_STATUS_PREFAILURE}, 10};
inline constexpr BoardStatusRow kBoardStatusConfigError = {
    2, {3, 3}, {IDS_BOARD_STATUS_DEGRADED, IDS_BOARD_STATUS_CONFIG_ERROR}, 10};
inline constexpr BoardStatusRow kBoardStatusBusOrPower = {
    2, {6, 6}, {IDS_BOARD_STATUS_ERROR, IDS_BOARD_STATUS_BUS_POWER_ERROR}, 20};
inline constexpr BoardStatusRow kBoardStatusUnknown = {1, {0}, {IDS_BOARD_STATUS_UNKNOWN}, 0};

// The status of a board by the driver's board status code (command 1705); codes past the table are
// unknown.
inline constexpr const BoardStatusRow* kBoardStatusByCode[] = {
    &kBoardStatusOk,           // 0
    &kBoardStatusPreFailure,   // 1
    &kBoardStatusConfigError,  // 2
    &kBoardStatusConfigError,  // 3
    &kBoardStatusBusOrPower,   // 4
    &kBoardStatusBusOrPower,   // 5
    &kBoardStatusOk,           // 6
    &kBoardStatusOk,           // 7
    &kBoardStatusOk,           // 8
    &kBoardStatusPreFailure,   // 9
    &kBoardStatusOk,           // 10
    &kBoardStatusPreFailure,   // 11
    &kBoardStatusOk,           // 12
    &kBoardStatusPreFailure,   // 13
};

const BoardStatusRow& BoardStatus(DWORD code);

// CIM Locked by the driver's lock state: 1 locked (2), 0 unlocked (3), anything else other (1).
WORD MapBoardLocked(DWORD lockState);

// One memory board. Every setter stores its value and sets the property's presence bit.
class CQZMemoryBoard : public CQZPresenceBits {
 public:
  // Back to the empty record: no bits, numbers 0, texts and lists empty.
  void Reset() { *this = CQZMemoryBoard(); }

  void SetAvailableMemory(DWORD value) { Set(m_AvailableMemory, value, kBoardAvailableMemory); }
  void SetCaption(const std::wstring& value) { Set(m_Caption, value, kBoardCaption); }
  void SetDescription(const std::wstring& value) { Set(m_Description, value, kBoardDescription); }
  void SetElementName(const std::wstring& value) { Set(m_ElementName, value, kBoardElementName); }
  void SetHealthState(WORD value) { Set(m_HealthState, value, kBoardHealthState); }
  void SetHostingBoard(bool value) { Set(m_HostingBoard, value, kBoardHostingBoard); }
  void SetLocked(WORD value) { Set(m_Locked, value, kBoardLocked); }
  void SetName(const std::wstring& value) { Set(m_Name, value, kBoardName); }
  void SetNumberOfSockets(DWORD value) { Set(m_NumberOfSockets, value, kBoardNumberOfSockets); }
  void SetOperationalStatus(const std::vector<WORD>& value) { Set(m_OperationalStatus, value, kBoardOperationalStatus); }
  void SetPackageType(WORD value) { Set(m_PackageType, value, kBoardPackageType); }
  void SetRemovalConditions(WORD value) { Set(m_RemovalConditions, value, kBoardRemovalConditions); }
  void SetStatusDescriptions(const std::vector<std::wstring>& value) {
    Set(m_StatusDescriptions, value, kBoardStatusDescriptions);
  }
  void SetTag(const std::wstring& value) { Set(m_Tag, value, kBoardTag); }
  void SetTotalMemory(DWORD value) { Set(m_TotalMemory, value, kBoardTotalMemory); }
  void SetVendorCompatibilityStrings(const std::vector<std::wstring>& value) {
    Set(m_VendorCompatibilityStrings, value, kBoardVendorCompatibilityStrings);
  }
  void SetObjectPath(const std::wstring& value) { m_ObjectPath = value; }

  // The key of the lookup by path.
  const std::wstring& GetTag() const { return m_Tag; }
  // The full object path, which association lists publish as a reference.
  const std::wstring& GetObjectPath() const { return m_ObjectPath; }
  // The parallel status lists, read by the memory collection.
  const std::vector<WORD>& GetOperationalStatus() const { return m_OperationalStatus; }
  const std::vector<std::wstring>& GetStatusDescriptions() const { return m_StatusDescriptions; }
  // The values of the record's properties.
  DWORD GetAvailableMemory() const { return m_AvailableMemory; }
  const std::wstring& GetCaption() const { return m_Caption; }
  const std::wstring& GetDescription() const { return m_Description; }
  const std::wstring& GetElementName() const { return m_ElementName; }
  WORD GetHealthState() const { return m_HealthState; }
  bool GetHostingBoard() const { return m_HostingBoard; }
  WORD GetLocked() const { return m_Locked; }
  const std::wstring& GetName() const { return m_Name; }
  DWORD GetNumberOfSockets() const { return m_NumberOfSockets; }
  WORD GetPackageType() const { return m_PackageType; }
  WORD GetRemovalConditions() const { return m_RemovalConditions; }
  DWORD GetTotalMemory() const { return m_TotalMemory; }
  const std::vector<std::wstring>& GetVendorCompatibilityStrings() const { return m_VendorCompatibilityStrings; }

 private:
  DWORD m_AvailableMemory = 0;
  std::wstring m_Caption;
  std::wstring m_Description;
  std::wstring m_ElementName;
  WORD m_HealthState = 0;
  bool m_HostingBoard = false;
  WORD m_Locked = 0;
  std::wstring m_Name;
  DWORD m_NumberOfSockets = 0;
  std::vector<WORD> m_OperationalStatus;
  WORD m_PackageType = 0;
  WORD m_RemovalConditions = 0;
  std::vector<std::wstring> m_StatusDescriptions;
  std::wstring m_Tag;
  DWORD m_TotalMemory = 0;
  std::vector<std::wstring> m_VendorCompatibilityStrings;
  std::wstring m_ObjectPath;
};

class CQZMemoryBoardList : public CQZRecordList<CQZMemoryBoard> {
 protected:
  // Empties the list and asks the driver for every board afresh. Always true: a source that fails
  // leaves the list empty, which is valid data.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  void BuildFromDriver(HANDLE device);
};

// The board indexes that a driver scan visits, from commands 1700 and 1705 for index 0. Indexes
// run from 0 when index 0 answers board 0 present, else from 1. They are wider than the driver's
// fields so that no answer can make a walk wrap around.
struct DriverBoardRange {
  DWORD socketsPerBoard = 0;
  ULONGLONG first = 0;
  ULONGLONG last = 0;
};

// False (range untouched) when either command fails or 1700 has no sockets or no boards.
bool ReadDriverBoardRange(HANDLE device, DriverBoardRange& range);

// The start of the rebuild of every list that reads the driver: waits for the data store (when it
// has no data, `watchEvents` is set), probes the platform again while the memory-protection status
// is unknown, and opens the driver ("Health (or MQZ) driver not found" under `functionName` when
// there is none). True with `device` open, which the caller closes.
bool OpenDriverForRebuild(IWbemContext* pCtx, const WCHAR* functionName, BYTE& watchEvents, CAutoHandle& device);

// String `boardText`, or `processorText` for memory on processor boards, formatted with the numbers
// and cut to 127 characters.
std::wstring FormatElementText(UINT boardText, UINT processorText, ...);

// The full object path of an element: `relativeFormat` filled with `tag` under root\VXN of this
// computer. False (path empty) when the computer's name cannot be had or the path comes out empty.
bool MakeElementPath(const WCHAR* relativeFormat, const std::wstring& tag, std::wstring& path);

// The board's names, key and fixed values into `record`, for board number `board`.
void SetMemoryBoardNames(CQZMemoryBoard& record, int board);
// The status row into `record`, its texts from the string table.
void SetMemoryBoardStatus(CQZMemoryBoard& record, const BoardStatusRow& status);

extern CQZStaticList<CQZMemoryBoardList> g_MemoryBoardList;
