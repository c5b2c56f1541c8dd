// The memory module slot provider: its class description, and the slot classes' FillInstance as a
// table of properties.
#include "physical/QZMemoryModuleSlotProv.h"

#include <iterator>

#include "physical/QZMemoryBoardProv.h"

namespace {

constexpr KeyDescription kMemoryModuleSlotKeys[] = {
    {L"Tag", KeyMatch::Record, nullptr},
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_MemoryModuleSlot"},
};

using Slot = CQZSlotRecord;

// In the order the properties are put.
constexpr RecordProperty<Slot> kSlotProperties[] = {
    {L"Caption", kSlotCaption, PutRecordField<&Slot::m_Caption, Slot>},
    {L"CreationClassName", 0, nullptr},
    {L"ConnectorDescription", kSlotConnectorDescription, PutRecordField<&Slot::m_ConnectorDescription, Slot>},
    {L"ConnectorLayout", kSlotConnectorLayout, PutRecordField<&Slot::m_ConnectorLayout, Slot>},
    {L"Description", kSlotDescription, PutRecordField<&Slot::m_Description, Slot>},
    {L"ElementName", kSlotElementName, PutRecordField<&Slot::m_ElementName, Slot>},
    {L"HealthState", kSlotHealthState, PutRecordField<&Slot::m_HealthState, Slot>},
    {L"Name", kSlotName, PutRecordField<&Slot::m_Name, Slot>},
    {L"Number", kSlotNumber, PutRecordField<&Slot::m_Number, Slot>},
    {L"OperationalStatus", kSlotOperationalStatus, PutRecordField<&Slot::m_OperationalStatus, Slot>},
    {L"StatusDescriptions", kSlotStatusDescriptions, PutRecordField<&Slot::m_StatusDescriptions, Slot>},
    {L"Tag", kSlotTag, PutRecordField<&Slot::m_Tag, Slot>},
};

}  // namespace

HRESULT FillSlotRecord(IWbemClassObject* instance, const CQZSlotRecord& record, const WCHAR* className) {
  return PutRecordProperties(instance, record, className, kSlotProperties);
}

const ProviderDescription kMemoryModuleSlotProviderDescription = {
    kModuleSlotClass.className, L"CQZMemoryModuleSlotProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryModuleSlotKeys,      std::size(kMemoryModuleSlotKeys), false,
};

CQZMemoryModuleSlotProv::CQZMemoryModuleSlotProv() : CQZInstanceProvider(kMemoryModuleSlotProviderDescription) {}

CQZList& CQZMemoryModuleSlotProv::List() { return g_MemoryModuleSlotList.Get(); }

HRESULT CQZMemoryModuleSlotProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZMemoryModuleSlot* record = g_MemoryModuleSlotList.Get().GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillSlotRecord(pInstance, *record, kModuleSlotClass.className);
}

const WCHAR* CQZMemoryModuleSlotProv::GetRecordKey(DWORD index, size_t) {
  const CQZMemoryModuleSlot* record = g_MemoryModuleSlotList.Get().GetAt(index);
  return record ? record->GetTag().c_str() : nullptr;
}
