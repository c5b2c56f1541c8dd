// The provider of QZ_WinSystemMemory: the pair of the system memory association list, which each
// provider object owns.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "logical/QZWinSystemMemoryList.h"

// The class, its provider's names and its keys (GroupComponent, PartComponent).
extern const ProviderDescription kWinSystemMemoryProviderDescription;

class CQZWinSystemMemoryProv : public CQZInstanceProvider {
 public:
  CQZWinSystemMemoryProv();

  // Puts GroupComponent, then PartComponent, as strings; WBEM_E_FAILED when a put fails.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZWinSystemMemory& record);

 protected:
  CQZList& List() override { return m_List; }
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;

 private:
  CQZWinSystemMemoryList m_List;
};
