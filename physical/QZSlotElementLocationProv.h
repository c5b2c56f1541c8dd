// The providers of QZ_MemoryModuleSlotElementLocation and QZ_MemoryBoardSlotElementLocation: the
// pairs of the association list that each provider object owns.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "physical/QZSlotElementLocationList.h"

// The classes, their providers' names and mutexes, and their keys (Element, then PhysicalLocation).
extern const ProviderDescription kMemoryModuleSlotElementLocationProviderDescription;
extern const ProviderDescription kMemoryBoardSlotElementLocationProviderDescription;

// An association provider of either class, with its own list.
class CQZSlotElementLocationProv : public CQZInstanceProvider {
 public:
  CQZSlotElementLocationProv(const ProviderDescription& description,
                             const SlotElementLocationClassDescription& associationClass);

  // Puts Element, then PhysicalLocation, as strings; WBEM_E_FAILED when a put fails.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZElementLocation& record);

 protected:
  CQZList& List() override { return m_List; }
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;

 private:
  CQZSlotElementLocationList m_List;
};

class CQZMemoryModuleSlotElementLocationProv : public CQZSlotElementLocationProv {
 public:
  CQZMemoryModuleSlotElementLocationProv()
      : CQZSlotElementLocationProv(kMemoryModuleSlotElementLocationProviderDescription,
                                   kModuleSlotElementLocationClass) {}
};

class CQZMemoryBoardSlotElementLocationProv : public CQZSlotElementLocationProv {
 public:
  CQZMemoryBoardSlotElementLocationProv()
      : CQZSlotElementLocationProv(kMemoryBoardSlotElementLocationProviderDescription,
                                   kBoardSlotElementLocationClass) {}
};
