// The memory module slot list: one record per module socket, fitted or empty, from the health
// driver or, when the driver has no memory data, from the SMBIOS memory devices; and the slot
// record that the module slot and board slot lists share.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "framework/PresenceBits.h"
#include "physical/QZMemoryBoardList.h"

// Presence bits of a slot record: a property goes into the instance only when its bit is set.
enum : DWORD {
  kSlotCaption = 0x1,
  kSlotConnectorDescription = 0x2,
  kSlotConnectorLayout = 0x4,
  kSlotDescription = 0x8,
  kSlotElementName = 0x10,
  kSlotHealthState = 0x20,
  kSlotName = 0x40,
  kSlotNumber = 0x80,
  kSlotOperationalStatus = 0x100,
  kSlotStatusDescriptions = 0x200,
  kSlotTag = 0x400,
};

// The fixed values of every slot: connector layout Other, OK.
inline constexpr WORD kSlotConnectorLayoutOther = 1;
inline constexpr WORD kSlotHealthOk = 5;
inline constexpr WORD kSlotStatusOk = 2;

// What distinguishes the two slot classes.
struct SlotClassDescription {
  const WCHAR* className;
  UINT nameText;           // the name format on memory boards
  UINT processorNameText;  // and on processor boards
  UINT statusText;
  const WCHAR* pathFormat;  // the relative path, filled with the tag
  const WCHAR* rebuildFunction;
};

inline constexpr SlotClassDescription kModuleSlotClass = {
    L"QZ_MemoryModuleSlot",
    IDS_MODULE_SLOT_CAPTION_BOARD,
    IDS_MODULE_SLOT_CAPTION_PROCESSOR,
    IDS_MODULE_SLOT_STATUS_OK,
    L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"%ls\"",
    L"CQZMemoryModuleSlotList::RebuildList",
};
inline constexpr const WCHAR* kModuleSlotTagFormat = L"VXN:QZ_MemoryModuleSlot:%d-%d";  // board, socket

// One socket or slot. Every setter stores its value and sets the property's presence bit.
class CQZSlotRecord : public CQZPresenceBits {
 public:
  // Back to the empty record: no bits, numbers 0, texts and lists empty.
  void Reset() { *this = CQZSlotRecord(); }

  void SetCaption(const std::wstring& value) { Set(m_Caption, value, kSlotCaption); }
  void SetConnectorDescription(const std::wstring& value) { Set(m_ConnectorDescription, value, kSlotConnectorDescription); }
  void SetConnectorLayout(WORD value) { Set(m_ConnectorLayout, value, kSlotConnectorLayout); }
  void SetDescription(const std::wstring& value) { Set(m_Description, value, kSlotDescription); }
  void SetElementName(const std::wstring& value) { Set(m_ElementName, value, kSlotElementName); }
  void SetHealthState(WORD value) { Set(m_HealthState, value, kSlotHealthState); }
  void SetName(const std::wstring& value) { Set(m_Name, value, kSlotName); }
  void SetNumber(WORD value) { Set(m_Number, value, kSlotNumber); }
  void SetOperationalStatus(const std::vector<WORD>& value) { Set(m_OperationalStatus, value, kSlotOperationalStatus); }
  void SetStatusDescriptions(const std::vector<std::wstring>& value) {
    Set(m_StatusDescriptions, value, kSlotStatusDescriptions);
  }
  void SetTag(const std::wstring& value) { Set(m_Tag, value, kSlotTag); }
  void SetObjectPath(const std::wstring& value) { m_ObjectPath = value; }

  // The key of the lookup by path.
  const std::wstring& GetTag() const { return m_Tag; }
  // The full object path, which the location and association lists publish as a reference.
  const std::wstring& GetObjectPath() const { return m_ObjectPath; }
  // The values of the record's properties.
  const std::wstring& GetCaption() const { return m_Caption; }
  const std::wstring& GetConnectorDescription() const { return m_ConnectorDescription; }
  WORD GetConnectorLayout() const { return m_ConnectorLayout; }
  const std::wstring& GetDescription() const { return m_Description; }
  const std::wstring& GetElementName() const { return m_ElementName; }
  WORD GetHealthState() const { return m_HealthState; }
  const std::wstring& GetName() const { return m_Name; }
  WORD GetNumber() const { return m_Number; }
  const std::vector<WORD>& GetOperationalStatus() const { return m_OperationalStatus; }
  const std::vector<std::wstring>& GetStatusDescriptions() const { return m_StatusDescriptions; }

 private:
  std::wstring m_Caption;
  std::wstring m_ConnectorDescription;
  WORD m_ConnectorLayout = 0;
  std::wstring m_Description;
  std::wstring m_ElementName;
  WORD m_HealthState = 0;
  std::wstring m_Name;
  WORD m_Number = 0;
  std::vector<WORD> m_OperationalStatus;
  std::vector<std::wstring> m_StatusDescriptions;
  std::wstring m_Tag;
  std::wstring m_ObjectPath;
};

class CQZMemoryModuleSlot : public CQZSlotRecord {};

// The names, number, key and fixed values of a slot of `slotClass` into `record`. The name is the
// class's format filled with `first` and `second` (as many as it takes).
void SetSlotFields(CQZSlotRecord& record, const SlotClassDescription& slotClass, WORD number, const std::wstring& tag,
                   int first, int second = 0);

// The record's full object path from its tag into the record; false when it cannot be made.
bool SetSlotPath(CQZSlotRecord& record, const SlotClassDescription& slotClass);

class CQZMemoryModuleSlotList : public CQZRecordList<CQZMemoryModuleSlot> {
 protected:
  // Empties the list and gathers every socket afresh. Always true: a source that fails leaves the
  // list empty, which is valid data.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  void BuildFromDriver(HANDLE device);
  void BuildFromSmbios();
  // Completes the record of socket `socket` on board `board` and appends it; false (list emptied,
  // watch cleared) when its path cannot be made.
  bool AppendSocket(int board, int socket);
};

// The board and socket numbers of a module slot tag ("VXN:<class>:<board>-<socket>"): the text
// after the first colon that follows the "VXN:" prefix, split at its first "-", each side read as
// a decimal number (0 when it has no digits). False, both 0, when the tag has no such colon.
bool SplitSlotTag(const std::wstring& tag, int& board, int& socket);

// A number of a tag as the C library reads it: leading blanks and a sign, then decimal digits, 0
// when there are none. Past the range of an int it gives the nearest end of that range.
int ReadTagNumber(const WCHAR* text);

extern CQZStaticList<CQZMemoryModuleSlotList> g_MemoryModuleSlotList;
