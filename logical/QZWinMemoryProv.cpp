// The system memory provider: its class description and FillInstance as a table of properties.
#include "logical/QZWinMemoryProv.h"

#include <iterator>
#include <vector>

#include "sources/ComputerSystem.h"
#include "support/WmiProperty.h"

namespace {

constexpr KeyDescription kWinMemoryKeys[] = {
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_WinMemory"},
    {L"SystemCreationClassName", KeyMatch::Fixed, L"QZ_WinComputerSystem"},
    {L"SystemName", KeyMatch::ComputerName, nullptr},
    {L"DeviceID", KeyMatch::Record, nullptr},
};

HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::wstring& value) {
  return PutString(instance, name, value);
}
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, ULONGLONG value) { return PutUint64(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, WORD value) { return PutUint16(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, bool value) { return PutBool(instance, name, value); }
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<WORD>& value) {
  return PutUint16List(instance, name, value);
}
HRESULT PutValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<std::wstring>& value) {
  return PutStringList(instance, name, value);
}

template <auto Field>
HRESULT PutField(IWbemClassObject* instance, LPCWSTR name, const CQZWinMemory& record) {
  return PutValue(instance, name, record.*Field);
}

HRESULT PutCreationClassName(IWbemClassObject* instance, LPCWSTR name, const CQZWinMemory&) {
  return PutString(instance, name, kWinMemoryClass);
}

HRESULT PutSystemCreationClassName(IWbemClassObject* instance, LPCWSTR name, const CQZWinMemory&) {
  return PutString(instance, name, kComputerSystemClass);
}

HRESULT PutSystemName(IWbemClassObject* instance, LPCWSTR name, const CQZWinMemory&) {
  std::wstring computerName;
  if (GetLocalComputerName(computerName) != ERROR_SUCCESS) return WBEM_E_FAILED;
  return PutString(instance, name, computerName);
}

struct PropertyRow {
  const WCHAR* name;
  DWORD bit;  // 0: always put
  HRESULT (*put)(IWbemClassObject*, LPCWSTR, const CQZWinMemory&);
};

// In the order the properties are put.
constexpr PropertyRow kWinMemoryProperties[] = {
    {L"Access", kWinMemoryAccess, PutField<&CQZWinMemory::m_Access>},
    {L"BlockSize", kWinMemoryBlockSize, PutField<&CQZWinMemory::m_BlockSize>},
    {L"Caption", kWinMemoryCaption, PutField<&CQZWinMemory::m_Caption>},
    {L"ConsumableBlocks", kWinMemoryConsumableBlocks, PutField<&CQZWinMemory::m_ConsumableBlocks>},
    {L"CreationClassName", 0, PutCreationClassName},
    {L"Description", kWinMemoryDescription, PutField<&CQZWinMemory::m_Description>},
    {L"DeviceID", kWinMemoryDeviceId, PutField<&CQZWinMemory::m_DeviceId>},
    {L"ElementName", kWinMemoryElementName, PutField<&CQZWinMemory::m_ElementName>},
    {L"EndingAddress", kWinMemoryEndingAddress, PutField<&CQZWinMemory::m_EndingAddress>},
    {L"HealthState", kWinMemoryHealthState, PutField<&CQZWinMemory::m_HealthState>},
    {L"Name", kWinMemoryName, PutField<&CQZWinMemory::m_Name>},
    {L"NumberOfBlocks", kWinMemoryNumberOfBlocks, PutField<&CQZWinMemory::m_NumberOfBlocks>},
    {L"OperationalStatus", kWinMemoryOperationalStatus, PutField<&CQZWinMemory::m_OperationalStatus>},
    {L"Primordial", kWinMemoryPrimordial, PutField<&CQZWinMemory::m_Primordial>},
    {L"Purpose", kWinMemoryPurpose, PutField<&CQZWinMemory::m_Purpose>},
    {L"SequentialAccess", kWinMemorySequentialAccess, PutField<&CQZWinMemory::m_SequentialAccess>},
    {L"StartingAddress", kWinMemoryStartingAddress, PutField<&CQZWinMemory::m_StartingAddress>},
    {L"StatusDescriptions", kWinMemoryStatusDescriptions, PutField<&CQZWinMemory::m_StatusDescriptions>},
    {L"SystemCreationClassName", 0, PutSystemCreationClassName},
    {L"SystemName", 0, PutSystemName},
    {L"Volatile", kWinMemoryVolatile, PutField<&CQZWinMemory::m_Volatile>},
};

}  // namespace

const ProviderDescription kWinMemoryProviderDescription = {
    kWinMemoryClass, L"CQZWinMemoryProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kWinMemoryKeys,  std::size(kWinMemoryKeys), false,
};

CQZWinMemoryProv::CQZWinMemoryProv() : CQZInstanceProvider(kWinMemoryProviderDescription) {}

CQZList& CQZWinMemoryProv::List() { return g_WinMemoryList.Get(); }

HRESULT CQZWinMemoryProv::FillRecord(IWbemClassObject* instance, const CQZWinMemory& record) {
  for (const PropertyRow& row : kWinMemoryProperties) {
    if (row.bit != 0 && !record.Has(row.bit)) continue;
    if (FAILED(row.put(instance, row.name, record))) return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CQZWinMemoryProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZWinMemory* record = g_WinMemoryList.Get().GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZWinMemoryProv::GetRecordKey(DWORD index, size_t) {
  const CQZWinMemory* record = g_WinMemoryList.Get().GetAt(index);
  return record ? record->GetDeviceId().c_str() : nullptr;
}

DWORD CQZWinMemoryProv::GetKeyComputerName(std::wstring* name) { return GetLocalComputerName(*name); }
