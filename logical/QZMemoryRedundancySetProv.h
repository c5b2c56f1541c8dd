// The provider of QZ_MemoryRedundancySet: the record of the static redundancy set list as an
// instance.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "logical/QZMemoryRedundancySetList.h"

// The class, its provider's names and its one key, InstanceID.
extern const ProviderDescription kMemoryRedundancySetProviderDescription;

class CQZMemoryRedundancySetProv : public CQZInstanceProvider {
 public:
  CQZMemoryRedundancySetProv();

  // Puts the record's properties into `instance` in the class's put order, each only when its
  // presence bit is set. WBEM_E_FAILED at the first put that fails.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZMemoryRedundancySet& record);

 protected:
  CQZList& List() override;
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;
};
