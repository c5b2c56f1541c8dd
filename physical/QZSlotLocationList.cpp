// The slot location lists: each slot's tag turned back into its numbers, and those numbers into the
// location's names, codes and full object path.
#include "physical/QZSlotLocationList.h"

#include "sources/ComputerSystem.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"

constinit CQZStaticList<CQZMemoryModuleSlotLocationList> g_MemoryModuleSlotLocationList;
constinit CQZStaticList<CQZMemoryBoardSlotLocationList> g_MemoryBoardSlotLocationList;

CQZList& ModuleSlotSourceList() { return g_MemoryModuleSlotList.Get(); }
const CQZSlotRecord* ModuleSlotSourceRecord(DWORD index) { return g_MemoryModuleSlotList.Get().GetAt(index); }
CQZList& BoardSlotSourceList() { return g_MemoryBoardSlotList.Get(); }
const CQZSlotRecord* BoardSlotSourceRecord(DWORD index) { return g_MemoryBoardSlotList.Get().GetAt(index); }

// A tag without the expected colon reads as zeros, which is what the splitters leave behind.
void SplitModuleSlotTag(const std::wstring& tag, int& board, int& socket) { SplitSlotTag(tag, board, socket); }

void SplitBoardSlotTagNoSocket(const std::wstring& tag, int& board, int& socket) {
  socket = 0;
  SplitBoardSlotTag(tag, board);
}

namespace {

std::wstring FormatLimited(const WCHAR* format, int first, int second) {
  std::wstring text = FormatText(format, first, second);
  if (text.size() > kElementTextLimit) text.resize(kElementTextLimit);
  return text;
}

}  // namespace

void MakeSlotLocationKeys(const SlotLocationClassDescription& locationClass, int board, int socket, std::wstring& name,
                          std::wstring& position) {
  // A board slot's formats take the board alone; the socket that follows it is not read.
  name = FormatLimited(locationClass.nameFormat, board, socket);
  position = FormatLimited(locationClass.positionFormat, board, socket);
}

std::wstring MakeSlotLocationRelativePath(const SlotLocationClassDescription& locationClass, int board, int socket) {
  std::wstring name;
  std::wstring position;
  MakeSlotLocationKeys(locationClass, board, socket, name, position);
  return FormatText(locationClass.pathFormat, name.c_str(), position.c_str());
}

namespace {

// The location of board `board`, socket `socket`; false when its full path comes out empty.
bool MakeSlotLocation(const SlotLocationClassDescription& locationClass, bool processorBoards, int board, int socket,
                      CQZSlotLocation& location) {
  const std::wstring caption =
      locationClass.hasSocket
          ? FormatElementText(locationClass.captionText, locationClass.processorCaptionText, socket, board)
          : FormatElementText(locationClass.captionText, locationClass.processorCaptionText, board);
  location.SetCaption(caption);
  location.SetDescription(caption);
  location.SetElementName(caption);
  std::wstring name;
  std::wstring position;
  MakeSlotLocationKeys(locationClass, board, socket, name, position);
  location.SetName(name);
  location.SetPhysicalPosition(position);
  location.SetElementLocationTag(position);
  location.SetElementLocationTagDesc(processorBoards ? locationClass.processorTagDesc : locationClass.tagDesc);

  std::vector<std::wstring> information;
  std::vector<WORD> infoDesc;
  if (locationClass.hasSocket) {
    information.push_back(std::to_wstring(socket));
    infoDesc.push_back(kLocationInfoSocketNumber);
  }
  information.push_back(std::to_wstring(board));
  infoDesc.push_back(processorBoards ? kLocationInfoProcessorBoardNumber : kLocationInfoMemoryBoardNumber);
  location.SetLocationInformation(information);
  location.SetLocationInfoDesc(infoDesc);

  std::wstring path;
  MakeFullPath(kElementNamespace, MakeSlotLocationRelativePath(locationClass, board, socket).c_str(), path);
  location.SetObjectPath(path);
  return !path.empty();
}

}  // namespace

DWORD CQZSlotLocationList::Update(IWbemContext* pCtx) {
  // The watch flag marks a list that has been filled; it is never rebuilt after that.
  return UpdateFromSlots(pCtx, m_Class.source, true);
}

bool CQZSlotLocationList::RebuildList(IWbemContext*) {
  ClearRecords();
  m_bWatchEvents = FALSE;
  if (!g_bHealthDriverPresent) {
    LogHealthDriverNotFound(m_Class.rebuildFunction);
    return true;
  }

  const bool processorBoards = g_bProcessorBoardMemory;
  const CQZList& slots = m_Class.source.list();
  for (DWORD i = 0; i < slots.GetCount(); ++i) {
    const CQZSlotRecord* slot = m_Class.source.record(i);
    if (!slot) continue;
    int board = 0;
    int socket = 0;
    m_Class.source.splitTag(slot->GetTag(), board, socket);

    CQZSlotLocation location;
    if (!MakeSlotLocation(m_Class, processorBoards, board, socket, location)) {
      ClearRecords();
      m_bWatchEvents = FALSE;
      return true;
    }
    AddRecord() = std::move(location);
    m_bWatchEvents = TRUE;
  }
  return true;
}
