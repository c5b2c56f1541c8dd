// The memory module provider: its class description and its table of properties.
#include "physical/QZMemoryModuleProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kMemoryModuleKeys[] = {
    {L"Tag", KeyMatch::Record, nullptr},
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_MemoryModule"},
};

using Module = CQZMemoryModule;

// In the order the properties are put.
constexpr RecordProperty<Module> kMemoryModuleProperties[] = {
    {L"BankLabel", kModuleBankLabel, PutRecordField<&Module::GetBankLabel>},
    {L"Capacity", kModuleCapacity, PutRecordField<&Module::GetCapacity>},
    {L"Caption", kModuleCaption, PutRecordField<&Module::GetCaption>},
    CreationClassNameRow<Module>(),
    {L"DataWidth", kModuleDataWidth, PutRecordField<&Module::GetDataWidth>},
    {L"Description", kModuleDescription, PutRecordField<&Module::GetDescription>},
    {L"ElementName", kModuleElementName, PutRecordField<&Module::GetElementName>},
    {L"FormFactor", kModuleFormFactor, PutRecordField<&Module::GetFormFactor>},
    {L"HealthState", kModuleHealthState, PutRecordField<&Module::GetHealthState>},
    {L"InterleavePosition", kModuleInterleavePosition, PutRecordField<&Module::GetInterleavePosition>},
    {L"IsSpeedInMhz", kModuleIsSpeedInMhz, PutRecordField<&Module::GetIsSpeedInMhz>},
    {L"MaxMemorySpeed", kModuleMaxMemorySpeed, PutRecordField<&Module::GetMaxMemorySpeed>},
    {L"Manufacturer", kModuleManufacturer, PutRecordField<&Module::GetManufacturer>},
    {L"MemoryType", kModuleMemoryType, PutRecordField<&Module::GetMemoryType>},
    {L"Name", kModuleName, PutRecordField<&Module::GetName>},
    {L"OperationalStatus", kModuleOperationalStatus, PutRecordField<&Module::GetOperationalStatus>},
    {L"PartNumber", kModulePartNumber, PutRecordField<&Module::GetPartNumber>},
    {L"PositionInRow", kModulePositionInRow, PutRecordField<&Module::GetPositionInRow>},
    {L"RemovalConditions", kModuleRemovalConditions, PutRecordField<&Module::GetRemovalConditions>},
    {L"SerialNumber", kModuleSerialNumber, PutRecordField<&Module::GetSerialNumber>},
    {L"Spd", kModuleSpd, PutRecordField<&Module::GetSpd>},
    {L"Speed", kModuleSpeed, PutRecordField<&Module::GetSpeed>},
    {L"StatusDescriptions", kModuleStatusDescriptions, PutRecordField<&Module::GetStatusDescriptions>},
    {L"Tag", kModuleTag, PutRecordField<&Module::GetTag>},
    {L"TotalWidth", kModuleTotalWidth, PutRecordField<&Module::GetTotalWidth>},
};

}  // namespace

const ProviderDescription kMemoryModuleProviderDescription = {
    kMemoryModuleClass, L"CQZMemoryModuleProv", L"QZMemoryModuleProv", true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryModuleKeys,  std::size(kMemoryModuleKeys), false,
};

constexpr RecordTable<CQZMemoryModule> kMemoryModuleTable = MakeRecordTable(kMemoryModuleProperties, &Module::GetTag);
