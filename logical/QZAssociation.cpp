// The update rules of the association lists, their common start of a rebuild, and the filling and
// key reading of a pair.
#include "logical/QZAssociation.h"

#include <type_traits>

#include "sources/ComputerSystem.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "support/CommonLog.h"
#include "support/WmiProperty.h"

const KeyDescription kGroupPartKeys[2] = {
    {L"GroupComponent", KeyMatch::Record, nullptr},
    {L"PartComponent", KeyMatch::Record, nullptr},
};
const KeyDescription kAntecedentDependentKeys[2] = {
    {L"Antecedent", KeyMatch::Record, nullptr},
    {L"Dependent", KeyMatch::Record, nullptr},
};
const KeyDescription kCollectionMemberKeys[2] = {
    {L"Collection", KeyMatch::Record, nullptr},
    {L"Member", KeyMatch::Record, nullptr},
};
const KeyDescription kOwningOwnedKeys[2] = {
    {L"OwningElement", KeyMatch::Record, nullptr},
    {L"OwnedElement", KeyMatch::Record, nullptr},
};

CQZAssociationList::CQZAssociationList(const AssociationListDescription& description) : m_Description(description) {
  if (description.namedMutex) m_Mutex.SetName(description.listName);
}

DWORD CQZAssociationList::Update(IWbemContext* pCtx) {
  if (m_Description.update == AssociationUpdate::BuildOnce) return UpdateOnce(pCtx);
  return UpdateFollowingElements(pCtx);
}

// All element lists are locked before the first of them is updated, so that what one update
// reads cannot change under the next one.
DWORD CQZAssociationList::UpdateFollowingElements(IWbemContext* pCtx) {
  if (!EventsDemandRebuild()) return m_Generation;
  CQZList* lists[std::extent_v<decltype(AssociationListDescription::elementLists)>] = {};
  size_t count = 0;
  for (ElementListGetter getter : m_Description.elementLists)
    if (getter) lists[count++] = &getter();
  for (size_t i = 0; i < count; ++i) lists[i]->Lock();
  bool elementsValid = true;
  for (size_t i = 0; i < count && elementsValid; ++i) elementsValid = lists[i]->Update(pCtx) != 0;
  if (elementsValid) Rebuild(pCtx);
  while (count > 0) lists[--count]->Unlock();
  return m_Generation;
}

DWORD CQZAssociationList::UpdateOnce(IWbemContext* pCtx) {
  m_Mutex.Lock();
  if (!m_bWatchEvents) Rebuild(pCtx);
  const DWORD generation = m_Generation;
  m_Mutex.Unlock();
  return generation;
}

bool CQZAssociationList::BeginRebuild() {
  ClearRecords();
  m_bWatchEvents = FALSE;
  if (g_bHealthDriverPresent) return true;
  LogHealthDriverNotFound(FormatText(L"%ls::RebuildList", m_Description.listName).c_str());
  return false;
}

void CQZAssociationList::AddPair(const std::wstring& first, const std::wstring& second) {
  AddRecord().Set(first, second);
}

std::wstring AssociationFullPath(const std::wstring& relativePath) {
  std::wstring full;
  MakeFullPath(kAssociationNamespace, relativePath.c_str(), full);
  return full;
}

std::wstring ComputerSystemReference() {
  std::wstring reference;
  GetComputerSystemReference(reference);
  return reference;
}

std::wstring ChassisReference() {
  std::wstring reference;
  GetChassisReference(reference);
  return reference;
}

HRESULT FillPair(IWbemClassObject* pInstance, const ProviderDescription& description, const CQZAssociation* pair) {
  if (!pair) return WBEM_E_FAILED;
  if (FAILED(PutString(pInstance, description.keys[0].name, pair->GetFirst()))) return WBEM_E_FAILED;
  if (FAILED(PutString(pInstance, description.keys[1].name, pair->GetSecond()))) return WBEM_E_FAILED;
  return WBEM_S_NO_ERROR;
}

const WCHAR* PairKey(const CQZAssociation* pair, size_t key) {
  if (!pair) return nullptr;
  return key == 0 ? pair->GetFirst().c_str() : pair->GetSecond().c_str();
}
