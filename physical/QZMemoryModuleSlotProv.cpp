// The memory module slot provider: its class description, and the slot classes' table of properties.
#include "physical/QZMemoryModuleSlotProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kMemoryModuleSlotKeys[] = {
    {L"Tag", KeyMatch::Record, nullptr},
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_MemoryModuleSlot"},
};

using Slot = CQZSlotRecord;

// In the order the properties are put.
constexpr RecordProperty<Slot> kSlotProperties[] = {
    {L"Caption", kSlotCaption, PutRecordField<&Slot::m_Caption>},
    CreationClassNameRow<Slot>(),
    {L"ConnectorDescription", kSlotConnectorDescription, PutRecordField<&Slot::m_ConnectorDescription>},
    {L"ConnectorLayout", kSlotConnectorLayout, PutRecordField<&Slot::m_ConnectorLayout>},
    {L"Description", kSlotDescription, PutRecordField<&Slot::m_Description>},
    {L"ElementName", kSlotElementName, PutRecordField<&Slot::m_ElementName>},
    {L"HealthState", kSlotHealthState, PutRecordField<&Slot::m_HealthState>},
    {L"Name", kSlotName, PutRecordField<&Slot::m_Name>},
    {L"Number", kSlotNumber, PutRecordField<&Slot::m_Number>},
    {L"OperationalStatus", kSlotOperationalStatus, PutRecordField<&Slot::m_OperationalStatus>},
    {L"StatusDescriptions", kSlotStatusDescriptions, PutRecordField<&Slot::m_StatusDescriptions>},
    {L"Tag", kSlotTag, PutRecordField<&Slot::m_Tag>},
};

}  // namespace

constexpr RecordTable<CQZSlotRecord> kSlotTable = MakeRecordTable(kSlotProperties, &Slot::GetTag);

const ProviderDescription kMemoryModuleSlotProviderDescription = {
    kModuleSlotClass.className, L"CQZMemoryModuleSlotProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryModuleSlotKeys,      std::size(kMemoryModuleSlotKeys), false,
};
