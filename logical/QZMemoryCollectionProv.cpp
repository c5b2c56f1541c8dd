// The memory collection provider: its class description and FillInstance as a table of properties.
#include "logical/QZMemoryCollectionProv.h"

#include <iterator>

#include "support/WmiProperty.h"

namespace {

constexpr KeyDescription kMemoryCollectionKeys[] = {
    {L"InstanceID", KeyMatch::Record, nullptr},
};

template <auto Field>
HRESULT PutText(IWbemClassObject* instance, LPCWSTR name, const CQZMemoryCollection& record) {
  return PutString(instance, name, record.*Field);
}

HRESULT PutGroupStatus(IWbemClassObject* instance, LPCWSTR name, const CQZMemoryCollection& record) {
  return PutUint16List(instance, name, record.m_GroupOperationalStatus);
}

HRESULT PutGroupTexts(IWbemClassObject* instance, LPCWSTR name, const CQZMemoryCollection& record) {
  return PutStringList(instance, name, record.m_GroupStatusDescriptions);
}

struct PropertyRow {
  const WCHAR* name;
  HRESULT (*put)(IWbemClassObject*, LPCWSTR, const CQZMemoryCollection&);
};

// In the order the properties are put; the record has no presence bits, every one is put.
constexpr PropertyRow kMemoryCollectionProperties[] = {
    {L"Caption", PutText<&CQZMemoryCollection::m_Caption>},
    {L"Description", PutText<&CQZMemoryCollection::m_Description>},
    {L"ElementName", PutText<&CQZMemoryCollection::m_ElementName>},
    {L"GroupOperationalStatus", PutGroupStatus},
    {L"GroupStatusDescriptions", PutGroupTexts},
    {L"InstanceID", PutText<&CQZMemoryCollection::m_InstanceId>},
};

}  // namespace

const ProviderDescription kMemoryCollectionProviderDescription = {
    kMemoryCollectionClass, L"CQZMemoryCollectionProv", nullptr, false, WBEMPATH_INFO_IS_INST_REF,
    kMemoryCollectionKeys,  std::size(kMemoryCollectionKeys), false,
};

CQZMemoryCollectionProv::CQZMemoryCollectionProv() : CQZInstanceProvider(kMemoryCollectionProviderDescription) {}

HRESULT CQZMemoryCollectionProv::FillRecord(IWbemClassObject* instance, const CQZMemoryCollection& record) {
  for (const PropertyRow& row : kMemoryCollectionProperties)
    if (FAILED(row.put(instance, row.name, record))) return WBEM_E_FAILED;
  return WBEM_S_NO_ERROR;
}

HRESULT CQZMemoryCollectionProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZMemoryCollection* record = m_List.GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZMemoryCollectionProv::GetRecordKey(DWORD index, size_t) {
  const CQZMemoryCollection* record = m_List.GetAt(index);
  return record ? record->GetInstanceId().c_str() : nullptr;
}
