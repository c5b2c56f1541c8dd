// The provider of QZ_MemoryBoardSlot: the records of the static board slot list as instances.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "physical/QZMemoryBoardSlotList.h"

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryBoardSlotProviderDescription;

class CQZMemoryBoardSlotProv : public CQZInstanceProvider {
 public:
  CQZMemoryBoardSlotProv();

 protected:
  CQZList& List() override;
  // The slot classes' FillInstance, with CreationClassName "QZ_MemoryBoardSlot".
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;
};
