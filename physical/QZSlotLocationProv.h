// The providers of QZ_MemoryModuleSlotLocation and QZ_MemoryBoardSlotLocation: the records of the
// static location lists as instances.
#pragma once

#include <wbemidl.h>

#include "framework/InstanceProvider.h"
#include "physical/QZSlotLocationList.h"

// The classes, their providers' names and mutexes, and their keys (Name, then PhysicalPosition).
extern const ProviderDescription kMemoryModuleSlotLocationProviderDescription;
extern const ProviderDescription kMemoryBoardSlotLocationProviderDescription;

// A location provider of either class, over its static list.
class CQZSlotLocationProv : public CQZInstanceProvider {
 public:
  CQZSlotLocationProv(const ProviderDescription& description, CQZSlotLocationList& list);

  // Puts every property of the location, in the classes' put order; no CreationClassName.
  // WBEM_E_FAILED at the first put that fails.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZSlotLocation& record);

 protected:
  CQZList& List() override { return m_List; }
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;

 private:
  CQZSlotLocationList& m_List;
};

class CQZMemoryModuleSlotLocationProv : public CQZSlotLocationProv {
 public:
  CQZMemoryModuleSlotLocationProv()
      : CQZSlotLocationProv(kMemoryModuleSlotLocationProviderDescription, g_MemoryModuleSlotLocationList.Get()) {}
};

class CQZMemoryBoardSlotLocationProv : public CQZSlotLocationProv {
 public:
  CQZMemoryBoardSlotLocationProv()
      : CQZSlotLocationProv(kMemoryBoardSlotLocationProviderDescription, g_MemoryBoardSlotLocationList.Get()) {}
};
