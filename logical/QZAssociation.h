// What every association of the module shares: the pair of references, the list that gathers
// pairs with its update rule, and the provider that publishes them under two role names.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <utility>

#include "framework/InstanceProvider.h"
#include "framework/QZList.h"

// The namespace of every reference an association holds.
inline constexpr const WCHAR* kAssociationNamespace = L"root\\VXN";

// One pair of full object paths; both are keys of the association's class.
class CQZAssociation {
 public:
  const std::wstring& GetFirst() const { return m_First; }
  const std::wstring& GetSecond() const { return m_Second; }
  void Set(const std::wstring& first, const std::wstring& second) {
    m_First = first;
    m_Second = second;
  }

 private:
  std::wstring m_First;
  std::wstring m_Second;
};

// How an association list decides to rebuild.
enum class AssociationUpdate {
  // On a move of the memory-event counter (or always, while the watch flag is clear), and only
  // when every element list it reads has valid data.
  FollowsEvents,
  // Once: again only while the watch flag is still clear after the last build.
  BuildOnce,
};

// A list that an association reads while it rebuilds.
using ElementListGetter = CQZList& (*)();

// What distinguishes one association list from another, besides its RebuildList.
struct AssociationListDescription {
  const WCHAR* listName;          // the list class, for the log and the mutex name
  bool namedMutex;                // the list's mutex is "Global\wmi_" + listName
  AssociationUpdate update;
  ElementListGetter elementLists[2];  // taken and updated in this order; null ends the list
};

// A list of pairs. Subclasses give RebuildList, which starts with BeginRebuild.
class CQZAssociationList : public CQZRecordList<CQZAssociation> {
 public:
  explicit CQZAssociationList(const AssociationListDescription& description);

  // The description's update rule. Following events: when the counter asks for a rebuild, the
  // element lists are locked in order and updated in order; the rebuild runs only when none of
  // them answered 0, and otherwise the old pairs and generation stay (the new count is kept, so
  // the next try waits for the next event). The element lists are released after the rebuild.
  DWORD Update(IWbemContext* pCtx) override;

  const AssociationListDescription& Description() const { return m_Description; }

 protected:
  // Empties the list and clears the watch flag; false, after "Health (or MQZ) driver not found"
  // under "<list>::RebuildList", when there is no health driver.
  bool BeginRebuild();

  void AddPair(const std::wstring& first, const std::wstring& second);

  // One pair for each record of `elements`, in list order, as `makePair` makes it from the record;
  // the watch flag is set with each pair.
  template <class TList, class MakePair>
  void AddPairs(const TList& elements, MakePair makePair) {
    for (DWORD i = 0; i < elements.GetCount(); ++i) {
      const std::pair<std::wstring, std::wstring> pair = makePair(*elements.GetAt(i));
      AddPair(pair.first, pair.second);
      m_bWatchEvents = TRUE;
    }
  }

 private:
  DWORD UpdateFollowingElements(IWbemContext* pCtx);
  DWORD UpdateOnce(IWbemContext* pCtx);

  const AssociationListDescription& m_Description;
};

// `relativePath` made full in root\VXN of this computer.
std::wstring AssociationFullPath(const std::wstring& relativePath);

// The computer system and chassis references, or empty when a lookup fails: an association
// publishes its pairs with whatever the lookup left.
std::wstring ComputerSystemReference();
std::wstring ChassisReference();

// The provider of an association whose list is its member: the description's two keys are the
// role names, the first filled from the pair's first reference, the second from its second.
template <class TList>
class CQZAssociationProv : public CQZInstanceProvider {
 public:
  explicit CQZAssociationProv(const ProviderDescription& description) : CQZInstanceProvider(description) {}

 protected:
  CQZList& List() override { return m_List; }

  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override {
    Trace(L"FillInstance");
    return FillPair(pInstance, Description(), m_List.GetAt(index));
  }

  const WCHAR* GetRecordKey(DWORD index, size_t key) override { return PairKey(m_List.GetAt(index), key); }

 private:
  TList m_List;
};

// The two role properties of `pair` as strings; WBEM_E_FAILED when there is no pair or a put fails.
HRESULT FillPair(IWbemClassObject* pInstance, const ProviderDescription& description, const CQZAssociation* pair);

// The pair's reference for key 0 (first) or 1 (second); null without a pair.
const WCHAR* PairKey(const CQZAssociation* pair, size_t key);

// The key tables of the role names the associations use, both references matched exactly.
extern const KeyDescription kGroupPartKeys[2];           // GroupComponent, PartComponent
extern const KeyDescription kAntecedentDependentKeys[2];  // Antecedent, Dependent
extern const KeyDescription kCollectionMemberKeys[2];    // Collection, Member
extern const KeyDescription kOwningOwnedKeys[2];         // OwningElement, OwnedElement
