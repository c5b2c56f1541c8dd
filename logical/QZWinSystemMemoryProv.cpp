// The system memory association provider: its class description and FillInstance.
#include "logical/QZWinSystemMemoryProv.h"

#include <iterator>

#include "support/WmiProperty.h"

namespace {

constexpr KeyDescription kWinSystemMemoryKeys[] = {
    {L"GroupComponent", KeyMatch::Record, nullptr},
    {L"PartComponent", KeyMatch::Record, nullptr},
};

}  // namespace

const ProviderDescription kWinSystemMemoryProviderDescription = {
    kWinSystemMemoryClass, L"CQZWinSystemMemoryProv", nullptr, false, WBEMPATH_INFO_IS_INST_REF,
    kWinSystemMemoryKeys,  std::size(kWinSystemMemoryKeys), false,
};

CQZWinSystemMemoryProv::CQZWinSystemMemoryProv() : CQZInstanceProvider(kWinSystemMemoryProviderDescription) {}

HRESULT CQZWinSystemMemoryProv::FillRecord(IWbemClassObject* instance, const CQZWinSystemMemory& record) {
  if (FAILED(PutString(instance, L"GroupComponent", record.m_GroupComponent))) return WBEM_E_FAILED;
  if (FAILED(PutString(instance, L"PartComponent", record.m_PartComponent))) return WBEM_E_FAILED;
  return WBEM_S_NO_ERROR;
}

HRESULT CQZWinSystemMemoryProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZWinSystemMemory* record = m_List.GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZWinSystemMemoryProv::GetRecordKey(DWORD index, size_t key) {
  const CQZWinSystemMemory* record = m_List.GetAt(index);
  if (!record) return nullptr;
  return key == 0 ? record->GetGroupComponent().c_str() : record->GetPartComponent().c_str();
}
