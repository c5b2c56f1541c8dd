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
    {L"Access", kWinMemoryAccess, PutRecordField<&Memory::GetAccess>},
    {L"BlockSize", kWinMemoryBlockSize, PutRecordField<&Memory::GetBlockSize>},
    {L"Caption", kWinMemoryCaption, PutRecordField<&Memory::GetCaption>},
    {L"ConsumableBlocks", kWinMemoryConsumableBlocks, PutRecordField<&Memory::GetConsumableBlocks>},
    CreationClassNameRow<Memory>(),
    {L"Description", kWinMemoryDescription, PutRecordField<&Memory::GetDescription>},
    {L"DeviceID", kWinMemoryDeviceId, PutRecordField<&Memory::GetDeviceId>},
    {L"ElementName", kWinMemoryElementName, PutRecordField<&Memory::GetElementName>},
    {L"EndingAddress", kWinMemoryEndingAddress, PutRecordField<&Memory::GetEndingAddress>},
    {L"HealthState", kWinMemoryHealthState, PutRecordField<&Memory::GetHealthState>},
    {L"Name", kWinMemoryName, PutRecordField<&Memory::GetName>},
    {L"NumberOfBlocks", kWinMemoryNumberOfBlocks, PutRecordField<&Memory::GetNumberOfBlocks>},
    {L"OperationalStatus", kWinMemoryOperationalStatus, PutRecordField<&Memory::GetOperationalStatus>},
    {L"Primordial", kWinMemoryPrimordial, PutRecordField<&Memory::GetPrimordial>},
    {L"Purpose", kWinMemoryPurpose, PutRecordField<&Memory::GetPurpose>},
    {L"SequentialAccess", kWinMemorySequentialAccess, PutRecordField<&Memory::GetSequentialAccess>},
    {L"StartingAddress", kWinMemoryStartingAddress, PutRecordField<&Memory::GetStartingAddress>},
    {L"StatusDescriptions", kWinMemoryStatusDescriptions, PutRecordField<&Memory::GetStatusDescriptions>},
    {L"SystemCreationClassName", kAlwaysPut, PutSystemCreationClassName},
    {L"SystemName", kAlwaysPut, PutSystemName},
    {L"Volatile", kWinMemoryVolatile, PutRecordField<&Memory::GetVolatile>},
};

}  // namespace

const ProviderDescription kWinMemoryProviderDescription = {
    kWinMemoryClass, L"CQZWinMemoryProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kWinMemoryKeys,  std::size(kWinMemoryKeys), false,
};

constexpr RecordTable<CQZWinMemory> kWinMemoryTable =
    MakeRecordTable(kWinMemoryProperties, nullptr, nullptr, nullptr, &Memory::GetDeviceId);

DWORD CQZWinMemoryProv::GetKeyComputerName(std::wstring* name) { return GetLocalComputerName(*name); }
