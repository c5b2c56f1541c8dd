// The pairs of the ten memory associations, gathered from the element lists and the computer
// system and chassis references.
#include "logical/QZMemoryAssociationLists.h"

#include <string>
#include <utility>

#include "physical/QZMemoryBoardList.h"
#include "physical/QZMemoryBoardSlotList.h"
#include "physical/QZMemoryModuleList.h"
#include "physical/QZMemoryModuleSlotList.h"
#include "sources/ComputerSystem.h"
#include "sources/DataStore.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"

namespace {

CQZList& ModuleList() { return g_MemoryModuleList.Get(); }
CQZList& BoardList() { return g_MemoryBoardList.Get(); }
CQZList& ModuleSlotList() { return g_MemoryModuleSlotList.Get(); }
CQZList& BoardSlotList() { return g_MemoryBoardSlotList.Get(); }

constexpr AssociationUpdate kEvents = AssociationUpdate::FollowsEvents;
constexpr AssociationUpdate kOnce = AssociationUpdate::BuildOnce;

using Pair = std::pair<std::wstring, std::wstring>;

}  // namespace

const AssociationListDescription kHostedMemoryCollectionListDescription = {
    L"CQZHostedMemoryCollectionList", true, kOnce, {}};
const AssociationListDescription kMemberOfMemoryCollectionListDescription = {
    L"CQZMemberOfMemoryCollectionList", true, kEvents, {&ModuleList, &BoardList}};
const AssociationListDescription kMemberOfMemoryRedundancySetListDescription = {
    L"CQZMemberOfMemoryRedundancySetList", true, kEvents, {&BoardList}};
const AssociationListDescription kHostedMemoryRedundancySetListDescription = {
    L"CQZHostedMemoryRedundancySetList", true, kOnce, {}};
const AssociationListDescription kRealizesMemoryModuleListDescription = {
    L"CQZRealizesMemoryModuleList", false, kEvents, {&ModuleList}};
const AssociationListDescription kMemoryModuleInSlotListDescription = {
    L"CQZMemoryModuleInSlotList", false, kEvents, {&ModuleList}};
const AssociationListDescription kMemoryBoardInSlotListDescription = {
    L"CQZMemoryBoardInSlotList", false, kEvents, {&BoardList}};
const AssociationListDescription kMemoryModuleSlotOnBoardListDescription = {
    L"CQZMemoryModuleSlotOnBoardList", false, kEvents, {&ModuleSlotList}};
const AssociationListDescription kSystemMemoryModuleSlotListDescription = {
    L"CQZSystemMemoryModuleSlotList", true, kEvents, {&ModuleSlotList}};
const AssociationListDescription kSystemMemoryBoardSlotListDescription = {
    L"CQZSystemMemoryBoardSlotList", true, kEvents, {&BoardSlotList}};

std::wstring SystemMemoryReference() {
  std::wstring computerName;
  GetLocalComputerName(computerName);
  return AssociationFullPath(FormatText(kSystemMemoryPathFormat, kComputerSystemClass, computerName.c_str()));
}

bool CQZHostedMemoryCollectionList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  AddPair(ComputerSystemReference(), AssociationFullPath(kMemoryCollectionPath));
  m_bWatchEvents = TRUE;
  return true;
}

bool CQZMemberOfMemoryCollectionList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  const std::wstring collection = AssociationFullPath(kMemoryCollectionPath);
  const auto member = [&](const auto& element) { return Pair(collection, element.GetObjectPath()); };
  AddPairs(g_MemoryModuleList.Get(), member);
  AddPairs(g_MemoryBoardList.Get(), member);
  return true;
}

bool CQZMemberOfMemoryRedundancySetList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  if (!g_bDriverMemoryData) return true;
  const std::wstring set = AssociationFullPath(kMemoryRedundancySetPath);
  AddPairs(g_MemoryBoardList.Get(), [&](const CQZMemoryBoard& board) { return Pair(set, board.GetObjectPath()); });
  return true;
}

bool CQZHostedMemoryRedundancySetList::RebuildList(IWbemContext* pCtx) {
  if (!BeginRebuild()) return true;
  if (!IsDataStoreReady(pCtx)) {
    m_bWatchEvents = TRUE;
    return true;
  }
  if (!g_bAmpStatusValid) g_MemAmpChecker.ProbePlatform();
  if (!g_bDriverMemoryData) return true;
  AddPair(ComputerSystemReference(), AssociationFullPath(kMemoryRedundancySetPath));
  m_bWatchEvents = TRUE;
  return true;
}

bool CQZRealizesMemoryModuleList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  const std::wstring systemMemory = SystemMemoryReference();
  AddPairs(g_MemoryModuleList.Get(),
           [&](const CQZMemoryModule& module) { return Pair(module.GetObjectPath(), systemMemory); });
  return true;
}

// A tag that does not split leaves its numbers 0, and the pair names socket 0-0 (or slot 0): the
// pair is published as the numbers say rather than dropped.
bool CQZMemoryModuleInSlotList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  AddPairs(g_MemoryModuleList.Get(), [](const CQZMemoryModule& module) {
    int board = 0;
    int socket = 0;
    SplitSlotTag(module.GetTag(), board, socket);
    return Pair(AssociationFullPath(FormatText(kModuleSlotPathFormat, board, socket)), module.GetObjectPath());
  });
  return true;
}

bool CQZMemoryBoardInSlotList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  AddPairs(g_MemoryBoardList.Get(), [](const CQZMemoryBoard& record) {
    int board = 0;
    SplitBoardSlotTag(record.GetTag(), board);
    return Pair(AssociationFullPath(FormatText(kBoardSlotPathFormat, board)), record.GetObjectPath());
  });
  // Set also without boards: the list has read a valid board list.
  m_bWatchEvents = TRUE;
  return true;
}

// The watch flag is set once the lists have been read, also when one of them had no valid data
// and no pair was made: the next memory event brings the next try.
bool CQZMemoryModuleSlotOnBoardList::RebuildList(IWbemContext* pCtx) {
  if (!BeginRebuild()) return true;
  CQZMemoryModuleSlotList& slots = g_MemoryModuleSlotList.Get();
  CQZMemoryBoardList& boards = g_MemoryBoardList.Get();
  slots.Lock();
  boards.Lock();
  if (slots.Update(pCtx) != 0 && boards.Update(pCtx) != 0) {
    for (DWORD s = 0; s < slots.GetCount(); ++s) {
      const CQZMemoryModuleSlot* slot = slots.GetAt(s);
      int slotBoard = 0;
      int socket = 0;
      SplitSlotTag(slot->GetTag(), slotBoard, socket);
      for (DWORD b = 0; b < boards.GetCount(); ++b) {
        int board = 0;
        SplitBoardSlotTag(boards.GetAt(b)->GetTag(), board);
        if (board == slotBoard) AddPair(boards.GetAt(b)->GetObjectPath(), slot->GetObjectPath());
      }
    }
  }
  boards.Unlock();
  slots.Unlock();
  m_bWatchEvents = TRUE;
  return true;
}

bool CQZSystemMemoryModuleSlotList::RebuildList(IWbemContext* pCtx) {
  if (!BeginRebuild()) return true;
  CQZMemoryModuleSlotList& slots = g_MemoryModuleSlotList.Get();
  slots.Lock();
  if (slots.Update(pCtx) != 0) {
    const std::wstring chassis = ChassisReference();
    AddPairs(slots, [&](const CQZMemoryModuleSlot& slot) { return Pair(chassis, slot.GetObjectPath()); });
  }
  slots.Unlock();
  return true;
}

bool CQZSystemMemoryBoardSlotList::RebuildList(IWbemContext*) {
  if (!BeginRebuild()) return true;
  const std::wstring chassis = ChassisReference();
  AddPairs(g_MemoryBoardSlotList.Get(),
           [&](const CQZMemoryBoardSlot& slot) { return Pair(chassis, slot.GetObjectPath()); });
  return true;
}
