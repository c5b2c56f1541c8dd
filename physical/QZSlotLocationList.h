// The slot location lists: where each module socket and each board slot sits, told by the numbers
// in the slot's tag. A location list is filled once from its slot list and then kept.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "physical/QZMemoryBoardSlotList.h"
#include "physical/QZMemoryModuleSlotList.h"

// Codes of LocationInfoDesc: what each entry of LocationInformation holds.
inline constexpr WORD kLocationInfoSocketNumber = 4;
inline constexpr WORD kLocationInfoMemoryBoardNumber = 5;
inline constexpr WORD kLocationInfoProcessorBoardNumber = 15;

// One location. Every property of a location is always published.
class CQZSlotLocation {
 public:
  void SetCaption(const std::wstring& value) { m_Caption = value; }
  void SetDescription(const std::wstring& value) { m_Description = value; }
  void SetElementLocationTag(const std::wstring& value) { m_ElementLocationTag = value; }
  void SetElementLocationTagDesc(WORD value) { m_ElementLocationTagDesc = value; }
  void SetElementName(const std::wstring& value) { m_ElementName = value; }
  void SetLocationInfoDesc(const std::vector<WORD>& value) { m_LocationInfoDesc = value; }
  void SetLocationInformation(const std::vector<std::wstring>& value) { m_LocationInformation = value; }
  void SetName(const std::wstring& value) { m_Name = value; }
  void SetPhysicalPosition(const std::wstring& value) { m_PhysicalPosition = value; }
  void SetObjectPath(const std::wstring& value) { m_ObjectPath = value; }

  // The keys of the lookup by path.
  const std::wstring& GetName() const { return m_Name; }
  const std::wstring& GetPhysicalPosition() const { return m_PhysicalPosition; }
  // The location's full object path.
  const std::wstring& GetObjectPath() const { return m_ObjectPath; }
  // The values of the record's properties.
  const std::wstring& GetCaption() const { return m_Caption; }
  const std::wstring& GetDescription() const { return m_Description; }
  const std::wstring& GetElementLocationTag() const { return m_ElementLocationTag; }
  WORD GetElementLocationTagDesc() const { return m_ElementLocationTagDesc; }
  const std::wstring& GetElementName() const { return m_ElementName; }
  const std::vector<WORD>& GetLocationInfoDesc() const { return m_LocationInfoDesc; }
  const std::vector<std::wstring>& GetLocationInformation() const { return m_LocationInformation; }

 private:
  std::wstring m_Caption;
  std::wstring m_Description;
  std::wstring m_ElementLocationTag;
  WORD m_ElementLocationTagDesc = 0;
  std::wstring m_ElementName;
  std::vector<WORD> m_LocationInfoDesc;
  std::vector<std::wstring> m_LocationInformation;
  std::wstring m_Name;
  std::wstring m_PhysicalPosition;
  std::wstring m_ObjectPath;
};

// The slots a location class is made from: the slot list, locked around its Update and reads, and
// its records by index.
struct SlotSource {
  CQZList& (*list)();
  const CQZSlotRecord* (*record)(DWORD index);
  // The board and socket numbers of a slot's tag; a board slot has no socket (0).
  void (*splitTag)(const std::wstring& tag, int& board, int& socket);
};

// What distinguishes the module socket locations from the board slot locations.
struct SlotLocationClassDescription {
  const WCHAR* className;
  SlotSource source;
  bool hasSocket;            // the socket number is part of the location
  UINT captionText;          // caption, description and element name on memory boards
  UINT processorCaptionText; // and on processor boards; filled with socket and board, or board
  const WCHAR* nameFormat;      // Name, filled with board (and socket)
  const WCHAR* positionFormat;  // PhysicalPosition and ElementLocationTag, the same way
  WORD tagDesc;                 // ElementLocationTagDesc on memory boards
  WORD processorTagDesc;        // and on processor boards
  const WCHAR* pathFormat;      // the relative path, filled with Name and PhysicalPosition
  const WCHAR* rebuildFunction;
};

CQZList& ModuleSlotSourceList();
const CQZSlotRecord* ModuleSlotSourceRecord(DWORD index);
void SplitModuleSlotTag(const std::wstring& tag, int& board, int& socket);
CQZList& BoardSlotSourceList();
const CQZSlotRecord* BoardSlotSourceRecord(DWORD index);
void SplitBoardSlotTagNoSocket(const std::wstring& tag, int& board, int& socket);

inline constexpr SlotLocationClassDescription kModuleSlotLocationClass = {
    L"QZ_MemoryModuleSlotLocation",
    {&ModuleSlotSourceList, &ModuleSlotSourceRecord, &SplitModuleSlotTag},
    true,
    IDS_MODULE_SLOT_LOCATION_CAPTION_BOARD,
    IDS_MODULE_SLOT_LOCATION_CAPTION_PROCESSOR,
    L"VXN:QZ_MemoryModuleSlotLocation:%d-%d",
    L"%d-%d",
    8,
    8,
    L"QZ_MemoryModuleSlotLocation.Name=\"%ls\",PhysicalPosition=\"%ls\"",
    L"CQZMemoryModuleSlotLocationList::RebuildList",
};

inline constexpr SlotLocationClassDescription kBoardSlotLocationClass = {
    L"QZ_MemoryBoardSlotLocation",
    {&BoardSlotSourceList, &BoardSlotSourceRecord, &SplitBoardSlotTagNoSocket},
    false,
    IDS_BOARD_SLOT_LOCATION_CAPTION_BOARD,
    IDS_BOARD_SLOT_LOCATION_CAPTION_PROCESSOR,
    L"VXN:QZ_MemoryBoardSlotLocation:%d",
    L"%d",
    9,
    13,
    L"QZ_MemoryBoardSlotLocation.Name=\"%ls\",PhysicalPosition=\"%ls\"",
    L"CQZMemoryBoardSlotLocationList::RebuildList",
};

// The two keys of the location of board `board`, socket `socket`, each cut to 127 characters.
void MakeSlotLocationKeys(const SlotLocationClassDescription& locationClass, int board, int socket, std::wstring& name,
                          std::wstring& position);

// The location's relative path: the class's path format filled with its two keys.
std::wstring MakeSlotLocationRelativePath(const SlotLocationClassDescription& locationClass, int board, int socket);

// A list made from a slot list, which it reads under its own lock and then the slot list's.
template <class TRecord>
class CQZSlotDerivedList : public CQZRecordList<TRecord> {
 protected:
  // Rebuilds the list when the slot list has valid data, unless `keepFill` is set and the list has
  // been filled already; returns the generation after that.
  DWORD UpdateFromSlots(IWbemContext* pCtx, const SlotSource& source, bool keepFill) {
    this->Lock();
    if (!keepFill || !this->m_bWatchEvents) {
      CQZList& slots = source.list();
      slots.Lock();
      if (slots.Update(pCtx) != 0) this->Rebuild(pCtx);
      slots.Unlock();
    }
    const DWORD generation = this->m_Generation;
    this->Unlock();
    return generation;
  }
};

// A location list of either class.
class CQZSlotLocationList : public CQZSlotDerivedList<CQZSlotLocation> {
 public:
  explicit CQZSlotLocationList(const SlotLocationClassDescription& locationClass) : m_Class(locationClass) {}

  // Fills the list from the slot list while it has never been filled: once a fill has kept a
  // location, the list and its generation stay as they are until the module is unloaded, whatever
  // the slot list does afterwards. Takes the list's own lock, then the slot list's.
  DWORD Update(IWbemContext* pCtx) override;

 protected:
  // One location per slot, in slot order. Always true: without the driver, or when a full path
  // comes out empty, the list is left empty and the next request tries again.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  const SlotLocationClassDescription& m_Class;
};

class CQZMemoryModuleSlotLocationList : public CQZSlotLocationList {
 public:
  CQZMemoryModuleSlotLocationList() : CQZSlotLocationList(kModuleSlotLocationClass) {}
};

class CQZMemoryBoardSlotLocationList : public CQZSlotLocationList {
 public:
  CQZMemoryBoardSlotLocationList() : CQZSlotLocationList(kBoardSlotLocationClass) {}
};

extern CQZStaticList<CQZMemoryModuleSlotLocationList> g_MemoryModuleSlotLocationList;
extern CQZStaticList<CQZMemoryBoardSlotLocationList> g_MemoryBoardSlotLocationList;
