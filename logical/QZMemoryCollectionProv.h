// The provider of QZ_MemoryCollection: the one collection of its own memory collection list.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "logical/QZMemoryCollectionList.h"

// The class, its provider's names and its key (InstanceID).
extern const ProviderDescription kMemoryCollectionProviderDescription;

class CQZMemoryCollectionProv : public CQZInstanceProvider {
 public:
  CQZMemoryCollectionProv();

  // Puts Caption, Description, ElementName, GroupOperationalStatus, GroupStatusDescriptions and
  // InstanceID in this order; WBEM_E_FAILED at the first put that fails.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZMemoryCollection& record);

 protected:
  CQZList& List() override { return m_List; }
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;

 private:
  CQZMemoryCollectionList m_List;
};
