// The memory board slot provider: its class description; it fills its instances as the module
// slot provider does.
#include "physical/QZMemoryBoardSlotProv.h"

#include <iterator>

#include "physical/QZMemoryModuleSlotProv.h"

namespace {

constexpr KeyDescription kMemoryBoardSlotKeys[] = {
    {L"Tag", KeyMatch::Record, nullptr},
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_MemoryBoardSlot"},
};

}  // namespace

const ProviderDescription kMemoryBoardSlotProviderDescription = {
    kBoardSlotClass.className, L"CQZMemoryBoardSlotProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryBoardSlotKeys,      std::size(kMemoryBoardSlotKeys), false,
};

CQZMemoryBoardSlotProv::CQZMemoryBoardSlotProv() : CQZInstanceProvider(kMemoryBoardSlotProviderDescription) {}

CQZList& CQZMemoryBoardSlotProv::List() { return g_MemoryBoardSlotList.Get(); }

HRESULT CQZMemoryBoardSlotProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZMemoryBoardSlot* record = g_MemoryBoardSlotList.Get().GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillSlotRecord(pInstance, *record, kBoardSlotClass.className);
}

const WCHAR* CQZMemoryBoardSlotProv::GetRecordKey(DWORD index, size_t) {
  const CQZMemoryBoardSlot* record = g_MemoryBoardSlotList.Get().GetAt(index);
  return record ? record->GetTag().c_str() : nullptr;
}
