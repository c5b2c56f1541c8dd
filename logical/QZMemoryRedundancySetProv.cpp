// The memory redundancy set provider: its class description and FillInstance as a table of
// properties.
#include "logical/QZMemoryRedundancySetProv.h"

#include <iterator>
#include <string>
#include <vector>

#include "support/WmiProperty.h"

namespace {

constexpr KeyDescription kMemoryRedundancySetKeys[] = {
    {L"InstanceID", KeyMatch::Record, nullptr},
};

// The put of each kind of record field in the form the service keeps for it.
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::wstring& value) {
  return PutString(instance, name, value);
}
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, WORD value) { return PutUint16(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, DWORD value) { return PutUint32(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<WORD>& value) {
  return PutUint16List(instance, name, value);
}
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<std::wstring>& value) {
  return PutStringList(instance, name, value);
}

template <auto Field>
HRESULT PutField(IWbemClassObject* instance, LPCWSTR name, const CQZMemoryRedundancySet& record) {
  return PutValue(instance, name, record.*Field);
}

struct PropertyRow {
  const WCHAR* name;
  DWORD bit;
  HRESULT (*put)(IWbemClassObject*, LPCWSTR, const CQZMemoryRedundancySet&);
};

// In the order the properties are put.
constexpr PropertyRow kMemoryRedundancySetProperties[] = {
    {L"AvailableMemory", kRedundancyAvailableMemory, PutField<&CQZMemoryRedundancySet::m_AvailableMemory>},
    {L"Caption", kRedundancyCaption, PutField<&CQZMemoryRedundancySet::m_Caption>},
    {L"ConfigurationsAvailable", kRedundancyConfigurationsAvailable,
     PutField<&CQZMemoryRedundancySet::m_ConfigurationsAvailable>},
    {L"CurrentConfiguration", kRedundancyCurrentConfiguration,
     PutField<&CQZMemoryRedundancySet::m_CurrentConfiguration>},
    {L"Description", kRedundancyDescription, PutField<&CQZMemoryRedundancySet::m_Description>},
    {L"ElementName", kRedundancyElementName, PutField<&CQZMemoryRedundancySet::m_ElementName>},
    {L"InstanceID", kRedundancyInstanceId, PutField<&CQZMemoryRedundancySet::m_InstanceId>},
    {L"OperatingSpeed", kRedundancyOperatingSpeed, PutField<&CQZMemoryRedundancySet::m_OperatingSpeed>},
    {L"OtherTypeOfSet", kRedundancyOtherTypeOfSet, PutField<&CQZMemoryRedundancySet::m_OtherTypeOfSet>},
    {L"RedundancyStatus", kRedundancyRedundancyStatus, PutField<&CQZMemoryRedundancySet::m_RedundancyStatus>},
    {L"TargetConfiguration", kRedundancyTargetConfiguration,
     PutField<&CQZMemoryRedundancySet::m_TargetConfiguration>},
    {L"TotalMemory", kRedundancyTotalMemory, PutField<&CQZMemoryRedundancySet::m_TotalMemory>},
    {L"TypeOfSet", kRedundancyTypeOfSet, PutField<&CQZMemoryRedundancySet::m_TypeOfSet>},
};

}  // namespace

const ProviderDescription kMemoryRedundancySetProviderDescription = {
    kMemoryRedundancySetClass,  L"CQZMemoryRedundancySetProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryRedundancySetKeys,   std::size(kMemoryRedundancySetKeys), false,
};

CQZMemoryRedundancySetProv::CQZMemoryRedundancySetProv()
    : CQZInstanceProvider(kMemoryRedundancySetProviderDescription) {}

CQZList& CQZMemoryRedundancySetProv::List() { return g_MemoryRedundancySetList.Get(); }

HRESULT CQZMemoryRedundancySetProv::FillRecord(IWbemClassObject* instance, const CQZMemoryRedundancySet& record) {
  for (const PropertyRow& row : kMemoryRedundancySetProperties) {
    if (!record.Has(row.bit)) continue;
    if (FAILED(row.put(instance, row.name, record))) return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CQZMemoryRedundancySetProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZMemoryRedundancySet* record = g_MemoryRedundancySetList.Get().GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZMemoryRedundancySetProv::GetRecordKey(DWORD index, size_t) {
  const CQZMemoryRedundancySet* record = g_MemoryRedundancySetList.Get().GetAt(index);
  return record ? record->GetInstanceId().c_str() : nullptr;
}
