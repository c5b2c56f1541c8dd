// The memory collection list: the one collection of all the server's memory, with a group status
// that sums up the health of the memory boards and the memory modules.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "framework/QZList.h"
#include "support/ResourceIds.h"

inline constexpr const WCHAR* kMemoryCollectionClass = L"QZ_MemoryCollection";
inline constexpr const WCHAR* kMemoryCollectionInstanceId = L"VXN:QZ_MemoryCollection:001";

// The group status and its text by status value; a value not in the table has no text row.
struct CollectionStatusText {
  WORD status;
  UINT text;
};
inline constexpr CollectionStatusText kCollectionStatusTexts[] = {
    {2, IDS_COLLECTION_STATUS_OK},
    {3, IDS_COLLECTION_STATUS_DEGRADED},
    {0, IDS_COLLECTION_STATUS_UNKNOWN},
    {6, IDS_COLLECTION_STATUS_ERROR},
};

// One step of the fold over the boards' first statuses, which starts at 2 (OK): the first board sets
// it; from Unknown only Degraded or Error move it; from Degraded only Error; Error stays; anything
// else is Unknown.
WORD NextBoardFold(WORD fold, WORD boardStatus);

// The group status from the board fold and the module fold: a degraded or failed board decides
// alone; with boards OK or unknown, a degraded module makes the group degraded.
WORD CollectionStatus(WORD boardFold, WORD moduleFold);

// The first OperationalStatus value of every board of the memory board list, in list order, read
// under the list's lock after its Update; nothing when the Update gives no build.
void ReadMemoryBoardStatuses(IWbemContext* pCtx, std::vector<WORD>& statuses);

// The collection. Every field is always written.
class CQZMemoryCollection {
 public:
  void SetInstanceId(const std::wstring& value) { m_InstanceId = value; }
  void SetElementName(const std::wstring& value) { m_ElementName = value; }
  void SetCaption(const std::wstring& value) { m_Caption = value; }
  void SetDescription(const std::wstring& value) { m_Description = value; }
  void SetGroupOperationalStatus(const std::vector<WORD>& value) { m_GroupOperationalStatus = value; }
  void SetGroupStatusDescriptions(const std::vector<std::wstring>& value) { m_GroupStatusDescriptions = value; }

  // The key of the lookup by path.
  const std::wstring& GetInstanceId() const { return m_InstanceId; }
  // The values of the record's properties.
  const std::wstring& GetElementName() const { return m_ElementName; }
  const std::wstring& GetCaption() const { return m_Caption; }
  const std::wstring& GetDescription() const { return m_Description; }
  const std::vector<WORD>& GetGroupOperationalStatus() const { return m_GroupOperationalStatus; }
  const std::vector<std::wstring>& GetGroupStatusDescriptions() const { return m_GroupStatusDescriptions; }

 private:
  std::wstring m_InstanceId;
  std::wstring m_ElementName;
  std::wstring m_Caption;
  std::wstring m_Description;
  std::vector<WORD> m_GroupOperationalStatus;
  std::vector<std::wstring> m_GroupStatusDescriptions;
};

class CQZMemoryCollectionList : public CQZRecordList<CQZMemoryCollection> {
 protected:
  // The collection, whenever the health driver is present; boards and modules without valid data
  // leave their folds at OK. Always true.
  bool RebuildList(IWbemContext* pCtx) override;
};
