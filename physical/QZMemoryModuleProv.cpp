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
    {L"BankLabel", kModuleBankLabel, PutRecordField<&Module::m_BankLabel>},
    {L"Capacity", kModuleCapacity, PutRecordField<&Module::m_Capacity>},
    {L"Caption", kModuleCaption, PutRecordField<&Module::m_Caption>},
    CreationClassNameRow<Module>(),
    {L"DataWidth", kModuleDataWidth, PutRecordField<&Module::m_DataWidth>},
    {L"Description", kModuleDescription, PutRecordField<&Module::m_Description>},
    {L"ElementName", kModuleElementName, PutRecordField<&Module::m_ElementName>},
    {L"FormFactor", kModuleFormFactor, PutRecordField<&Module::m_FormFactor>},
    {L"HealthState", kModuleHealthState, PutRecordField<&Module::m_HealthState>},
    {L"InterleavePosition", kModuleInterleavePosition, PutRecordField<&Module::m_InterleavePosition>},
    {L"IsSpeedInMhz", kModuleIsSpeedInMhz, PutRecordField<&Module::m_IsSpeedInMhz>},
    {L"MaxMemorySpeed", kModuleMaxMemorySpeed, PutRecordField<&Module::m_MaxMemorySpeed>},
    {L"Manufacturer", kModuleManufacturer, PutRecordField<&Module::m_Manufacturer>},
    {L"MemoryType", kModuleMemoryType, PutRecordField<&Module::m_MemoryType>},
    {L"Name", kModuleName, PutRecordField<&Module::m_Name>},
    {L"OperationalStatus", kModuleOperationalStatus, PutRecordField<&Module::m_OperationalStatus>},
    {L"PartNumber", kModulePartNumber, PutRecordField<&Module::m_PartNumber>},
    {L"PositionInRow", kModulePositionInRow, PutRecordField<&Module::m_PositionInRow>},
    {L"RemovalConditions", kModuleRemovalConditions, PutRecordField<&Module::m_RemovalConditions>},
    {L"SerialNumber", kModuleSerialNumber, PutRecordField<&Module::m_SerialNumber>},
    {L"Spd", kModuleSpd, PutRecordField<&Module::m_Spd>},
    {L"Speed", kModuleSpeed, PutRecordField<&Module::m_Speed>},
    {L"StatusDescriptions", kModuleStatusDescriptions, PutRecordField<&Module::m_StatusDescriptions>},
    {L"Tag", kModuleTag, PutRecordField<&Module::m_Tag>},
    {L"TotalWidth", kModuleTotalWidth, PutRecordField<&Module::m_TotalWidth>},
};

}  // namespace

const ProviderDescription kMemoryModuleProviderDescription = {
    kMemoryModuleClass, L"CQZMemoryModuleProv", L"QZMemoryModuleProv", true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryModuleKeys,  std::size(kMemoryModuleKeys), false,
};

constexpr RecordTable<CQZMemoryModule> kMemoryModuleTable = MakeRecordTable(kMemoryModuleProperties, &Module::GetTag);
