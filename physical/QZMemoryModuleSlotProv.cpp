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
    {L"Caption", kSlotCaption, PutRecordField<&Slot::GetCaption>},
    CreationClassNameRow<Slot>(),
    {L"ConnectorDescription", kSlotConnectorDescription, PutRecordField<&Slot::GetConnectorDescription>},
    {L"ConnectorLayout", kSlotConnectorLayout, PutRecordField<&Slot::GetConnectorLayout>},
    {L"Description", kSlotDescription, PutRecordField<&Slot::GetDescription>},
    {L"ElementName", kSlotElementName, PutRecordField<&Slot::GetElementName>},
    {L"HealthState", kSlotHealthState, PutRecordField<&Slot::GetHealthState>},
    {L"Name", kSlotName, PutRecordField<&Slot::GetName>},
    {L"Number", kSlotNumber, PutRecordField<&Slot::GetNumber>},
    {L"OperationalStatus", kSlotOperationalStatus, PutRecordField<&Slot::GetOperationalStatus>},
    {L"StatusDescriptions", kSlotStatusDescriptions, PutRecordField<&Slot::GetStatusDescriptions>},
    {L"Tag", kSlotTag, PutRecordField<&Slot::GetTag>},
};

}  // namespace

constexpr RecordTable<CQZSlotRecord> kSlotTable = MakeRecordTable(kSlotProperties, &Slot::GetTag);

const ProviderDescription kMemoryModuleSlotProviderDescription = {
    kModuleSlotClass.className, L"CQZMemoryModuleSlotProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryModuleSlotKeys,      std::size(kMemoryModuleSlotKeys), false,
};
