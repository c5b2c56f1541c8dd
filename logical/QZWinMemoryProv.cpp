// The system memory provider: its class description and its table of properties.
#include "logical/QZWinMemoryProv.h"

#include <iterator>
#include <string>

#include "sources/ComputerSystem.h"

namespace {

constexpr KeyDescription kWinMemoryKeys[] = {
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_WinMemory"},
    {L"SystemCreationClassName", KeyMatch::Fixed, L"QZ_WinComputerSystem"},
    {L"SystemName", KeyMatch::ComputerName, nullptr},
    {L"DeviceID", KeyMatch::Record, nullptr},
};

using Memory = CQZWinMemory;

HRESULT PutSystemCreationClassName(IWbemClassObject* instance, LPCWSTR name, const CQZWinMemory&) {
  return PutString(instance, name, kComputerSystemClass);
}

HRESULT PutSystemName(IWbemClassObject* instance, LPCWSTR name, const CQZWinMemory&) {
  std::wstring computerName;
  if (GetLocalComputerName(computerName) != ERROR_SUCCESS) return WBEM_E_FAILED;
  return PutString(instance, name, computerName);
}

// In the order the properties are put.
constexpr RecordProperty<Memory> kWinMemoryProperties[] = {
    {L"Access", kWinMemoryAccess, PutRecordField<&Memory::m_Access>},
    {L"BlockSize", kWinMemoryBlockSize, PutRecordField<&Memory::m_BlockSize>},
    {L"Caption", kWinMemoryCaption, PutRecordField<&Memory::m_Caption>},
    {L"ConsumableBlocks", kWinMemoryConsumableBlocks, PutRecordField<&Memory::m_ConsumableBlocks>},
    CreationClassNameRow<Memory>(),
    {L"Description", kWinMemoryDescription, PutRecordField<&Memory::m_Description>},
    {L"DeviceID", kWinMemoryDeviceId, PutRecordField<&Memory::m_DeviceId>},
    {L"ElementName", kWinMemoryElementName, PutRecordField<&Memory::m_ElementName>},
    {L"EndingAddress", kWinMemoryEndingAddress, PutRecordField<&Memory::m_EndingAddress>},
    {L"HealthState", kWinMemoryHealthState, PutRecordField<&Memory::m_HealthState>},
    {L"Name", kWinMemoryName, PutRecordField<&Memory::m_Name>},
    {L"NumberOfBlocks", kWinMemoryNumberOfBlocks, PutRecordField<&Memory::m_NumberOfBlocks>},
    {L"OperationalStatus", kWinMemoryOperationalStatus, PutRecordField<&Memory::m_OperationalStatus>},
    {L"Primordial", kWinMemoryPrimordial, PutRecordField<&Memory::m_Primordial>},
    {L"Purpose", kWinMemoryPurpose, PutRecordField<&Memory::m_Purpose>},
    {L"SequentialAccess", kWinMemorySequentialAccess, PutRecordField<&Memory::m_SequentialAccess>},
    {L"StartingAddress", kWinMemoryStartingAddress, PutRecordField<&Memory::m_StartingAddress>},
    {L"StatusDescriptions", kWinMemoryStatusDescriptions, PutRecordField<&Memory::m_StatusDescriptions>},
    {L"SystemCreationClassName", kAlwaysPut, PutSystemCreationClassName},
    {L"SystemName", kAlwaysPut, PutSystemName},
    {L"Volatile", kWinMemoryVolatile, PutRecordField<&Memory::m_Volatile>},
};

}  // namespace

const ProviderDescription kWinMemoryProviderDescription = {
    kWinMemoryClass, L"CQZWinMemoryProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kWinMemoryKeys,  std::size(kWinMemoryKeys), false,
};

constexpr RecordTable<CQZWinMemory> kWinMemoryTable =
    MakeRecordTable(kWinMemoryProperties, nullptr, nullptr, nullptr, &Memory::GetDeviceId);

DWORD CQZWinMemoryProv::GetKeyComputerName(std::wstring* name) { return GetLocalComputerName(*name); }
