// The provider of QZ_MemoryModule: the records of the static memory module list as instances.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "physical/QZMemoryModuleList.h"

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryModuleProviderDescription;

class CQZMemoryModuleProv : public CQZInstanceProvider {
 public:
  CQZMemoryModuleProv();

  // Puts the record's properties into `instance` in the class's put order, each only when its
  // presence bit is set, CreationClassName always. WBEM_E_FAILED at the first put that fails.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZMemoryModule& record);

 protected:
  CQZList& List() override;
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;
};
