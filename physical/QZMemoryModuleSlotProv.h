// The provider of QZ_MemoryModuleSlot: the records of the static module slot list as instances,
// and the FillInstance of both slot classes.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "physical/QZMemoryModuleSlotList.h"

// Puts a slot record's properties into `instance` in the slot classes' put order, each only when
// its presence bit is set, CreationClassName (`className`) always. WBEM_E_FAILED at the first put
// that fails.
HRESULT FillSlotRecord(IWbemClassObject* instance, const CQZSlotRecord& record, const WCHAR* className);

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryModuleSlotProviderDescription;

class CQZMemoryModuleSlotProv : public CQZInstanceProvider {
 public:
  CQZMemoryModuleSlotProv();

 protected:
  CQZList& List() override;
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;
};
