// The provider of QZ_WinMemory: the system memory extent of the static system memory list.
#pragma once

#include <wbemidl.h>

#include <string>

#include "framework/InstanceProvider.h"
#include "logical/QZWinMemoryList.h"

// The class, its provider's names and its keys (CreationClassName, SystemCreationClassName,
// SystemName, DeviceID).
extern const ProviderDescription kWinMemoryProviderDescription;

class CQZWinMemoryProv : public CQZInstanceProvider {
 public:
  CQZWinMemoryProv();

  // Puts the record's properties into `instance` in the class's put order, each only when its
  // presence bit is set; CreationClassName, SystemCreationClassName and SystemName always, the last
  // with the computer's name asked for now. WBEM_E_FAILED at the first put that fails or when the
  // name cannot be had.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZWinMemory& record);

 protected:
  CQZList& List() override;
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;
  DWORD GetKeyComputerName(std::wstring* name) override;
};
