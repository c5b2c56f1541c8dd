// The memory module provider: its class description and FillInstance as a table of properties.
#include "physical/QZMemoryModuleProv.h"

#include <iterator>
#include <string>
#include <vector>

#include "support/WmiProperty.h"

namespace {

constexpr KeyDescription kMemoryModuleKeys[] = {
    {L"Tag", KeyMatch::Record, nullptr},
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_MemoryModule"},
};

// The put of each kind of record field in the form the service keeps for it.
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::wstring& value) {
  return PutString(instance, name, value);
}
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, ULONGLONG value) { return PutUint64(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, WORD value) { return PutUint16(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, DWORD value) { return PutUint32(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, bool value) { return PutBool(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<WORD>& value) {
  return PutUint16List(instance, name, value);
}
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<BYTE>& value) {
  return PutByteList(instance, name, value);
}
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<std::wstring>& value) {
  return PutStringList(instance, name, value);
}

template <auto Field>
HRESULT PutField(IWbemClassObject* instance, LPCWSTR name, const CQZMemoryModule& record) {
  return PutValue(instance, name, record.*Field);
}

HRESULT PutCreationClassName(IWbemClassObject* instance, LPCWSTR name, const CQZMemoryModule&) {
  return PutString(instance, name, kMemoryModuleClass);
}

struct PropertyRow {
  const WCHAR* name;
  DWORD bit;  // 0: always put
  HRESULT (*put)(IWbemClassObject*, LPCWSTR, const CQZMemoryModule&);
};

// In the order the properties are put.
constexpr PropertyRow kMemoryModuleProperties[] = {
    {L"BankLabel", kModuleBankLabel, PutField<&CQZMemoryModule::m_BankLabel>},
    {L"Capacity", kModuleCapacity, PutField<&CQZMemoryModule::m_Capacity>},
    {L"Caption", kModuleCaption, PutField<&CQZMemoryModule::m_Caption>},
    {L"CreationClassName", 0, PutCreationClassName},
    {L"DataWidth", kModuleDataWidth, PutField<&CQZMemoryModule::m_DataWidth>},
    {L"Description", kModuleDescription, PutField<&CQZMemoryModule::m_Description>},
    {L"ElementName", kModuleElementName, PutField<&CQZMemoryModule::m_ElementName>},
    {L"FormFactor", kModuleFormFactor, PutField<&CQZMemoryModule::m_FormFactor>},
    {L"HealthState", kModuleHealthState, PutField<&CQZMemoryModule::m_HealthState>},
    {L"InterleavePosition", kModuleInterleavePosition, PutField<&CQZMemoryModule::m_InterleavePosition>},
    {L"IsSpeedInMhz", kModuleIsSpeedInMhz, PutField<&CQZMemoryModule::m_IsSpeedInMhz>},
    {L"MaxMemorySpeed", kModuleMaxMemorySpeed, PutField<&CQZMemoryModule::m_MaxMemorySpeed>},
    {L"Manufacturer", kModuleManufacturer, PutField<&CQZMemoryModule::m_Manufacturer>},
    {L"MemoryType", kModuleMemoryType, PutField<&CQZMemoryModule::m_MemoryType>},
    {L"Name", kModuleName, PutField<&CQZMemoryModule::m_Name>},
    {L"OperationalStatus", kModuleOperationalStatus, PutField<&CQZMemoryModule::m_OperationalStatus>},
    {L"PartNumber", kModulePartNumber, PutField<&CQZMemoryModule::m_PartNumber>},
    {L"PositionInRow", kModulePositionInRow, PutField<&CQZMemoryModule::m_PositionInRow>},
    {L"RemovalConditions", kModuleRemovalConditions, PutField<&CQZMemoryModule::m_RemovalConditions>},
    {L"SerialNumber", kModuleSerialNumber, PutField<&CQZMemoryModule::m_SerialNumber>},
    {L"Spd", kModuleSpd, PutField<&CQZMemoryModule::m_Spd>},
    {L"Speed", kModuleSpeed, PutField<&CQZMemoryModule::m_Speed>},
    {L"StatusDescriptions", kModuleStatusDescriptions, PutField<&CQZMemoryModule::m_StatusDescriptions>},
    {L"Tag", kModuleTag, PutField<&CQZMemoryModule::m_Tag>},
    {L"TotalWidth", kModuleTotalWidth, PutField<&CQZMemoryModule::m_TotalWidth>},
};

}  // namespace

const ProviderDescription kMemoryModuleProviderDescription = {
    kMemoryModuleClass, L"CQZMemoryModuleProv", L"QZMemoryModuleProv", true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryModuleKeys,  std::size(kMemoryModuleKeys), false,
};

CQZMemoryModuleProv::CQZMemoryModuleProv() : CQZInstanceProvider(kMemoryModuleProviderDescription) {}

CQZList& CQZMemoryModuleProv::List() { return g_MemoryModuleList.Get(); }

HRESULT CQZMemoryModuleProv::FillRecord(IWbemClassObject* instance, const CQZMemoryModule& record) {
  for (const PropertyRow& row : kMemoryModuleProperties) {
    if (row.bit != 0 && !record.Has(row.bit)) continue;
    if (FAILED(row.put(instance, row.name, record))) return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CQZMemoryModuleProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZMemoryModule* record = g_MemoryModuleList.Get().GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZMemoryModuleProv::GetRecordKey(DWORD index, size_t) {
  const CQZMemoryModule* record = g_MemoryModuleList.Get().GetAt(index);
  return record ? record->GetTag().c_str() : nullptr;
}
