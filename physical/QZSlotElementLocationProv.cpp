// The element-location association providers: their class descriptions and FillInstance.
#include "physical/QZSlotElementLocationProv.h"

#include <iterator>

#include "support/WmiProperty.h"

namespace {

constexpr KeyDescription kSlotElementLocationKeys[] = {
    {L"Element", KeyMatch::Record, nullptr},
    {L"PhysicalLocation", KeyMatch::Record, nullptr},
};

// A pair may be named by an instance path or by a compound-key path.
constexpr ULONGLONG kSlotElementLocationPathInfo = WBEMPATH_INFO_IS_INST_REF | WBEMPATH_INFO_IS_COMPOUND;

}  // namespace

const ProviderDescription kMemoryModuleSlotElementLocationProviderDescription = {
    kModuleSlotElementLocationClass.className,
    L"CQZMemoryModuleSlotElementLocationProv",
    L"QZMemoryModuleSlotElementLocationProv",
    false,
    kSlotElementLocationPathInfo,
    kSlotElementLocationKeys,
    std::size(kSlotElementLocationKeys),
    true,
};

const ProviderDescription kMemoryBoardSlotElementLocationProviderDescription = {
    kBoardSlotElementLocationClass.className,
    L"CQZMemoryBoardSlotElementLocationProv",
    L"QZMemoryBoardSlotElementLocationProv",
    false,
    kSlotElementLocationPathInfo,
    kSlotElementLocationKeys,
    std::size(kSlotElementLocationKeys),
    true,
};

CQZSlotElementLocationProv::CQZSlotElementLocationProv(const ProviderDescription& description,
                                                       const SlotElementLocationClassDescription& associationClass)
    : CQZInstanceProvider(description), m_List(associationClass) {}

HRESULT CQZSlotElementLocationProv::FillRecord(IWbemClassObject* instance, const CQZElementLocation& record) {
  if (FAILED(PutString(instance, L"Element", record.m_Element))) return WBEM_E_FAILED;
  if (FAILED(PutString(instance, L"PhysicalLocation", record.m_PhysicalLocation))) return WBEM_E_FAILED;
  return WBEM_S_NO_ERROR;
}

HRESULT CQZSlotElementLocationProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZElementLocation* record = m_List.GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZSlotElementLocationProv::GetRecordKey(DWORD index, size_t key) {
  const CQZElementLocation* record = m_List.GetAt(index);
  if (!record) return nullptr;
  return key == 0 ? record->GetElement().c_str() : record->GetPhysicalLocation().c_str();
}
