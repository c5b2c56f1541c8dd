// The slot location providers: their class descriptions, and FillInstance as a table of properties.
#include "physical/QZSlotLocationProv.h"

#include <iterator>

#include "physical/QZMemoryBoardProv.h"

namespace {

constexpr KeyDescription kSlotLocationKeys[] = {
    {L"Name", KeyMatch::Record, nullptr},
    {L"PhysicalPosition", KeyMatch::Record, nullptr},
};

// A location may be named by an instance path or by a compound-key path.
constexpr ULONGLONG kSlotLocationPathInfo = WBEMPATH_INFO_IS_INST_REF | WBEMPATH_INFO_IS_COMPOUND;

using Location = CQZSlotLocation;

// In the order the properties are put.
constexpr RecordProperty<Location> kSlotLocationProperties[] = {
    {L"Caption", 0, PutRecordField<&Location::m_Caption, Location>},
    {L"Description", 0, PutRecordField<&Location::m_Description, Location>},
    {L"ElementName", 0, PutRecordField<&Location::m_ElementName, Location>},
    {L"ElementLocationTag", 0, PutRecordField<&Location::m_ElementLocationTag, Location>},
    {L"ElementLocationTagDesc", 0, PutRecordField<&Location::m_ElementLocationTagDesc, Location>},
    {L"LocationInfoDesc", 0, PutRecordField<&Location::m_LocationInfoDesc, Location>},
    {L"LocationInformation", 0, PutRecordField<&Location::m_LocationInformation, Location>},
    {L"Name", 0, PutRecordField<&Location::m_Name, Location>},
    {L"PhysicalPosition", 0, PutRecordField<&Location::m_PhysicalPosition, Location>},
};

}  // namespace

const ProviderDescription kMemoryModuleSlotLocationProviderDescription = {
    kModuleSlotLocationClass.className, L"CQZMemoryModuleSlotLocationProv", L"QZMemoryModuleSlotLocationProv", true,
    kSlotLocationPathInfo, kSlotLocationKeys, std::size(kSlotLocationKeys), true,
};

const ProviderDescription kMemoryBoardSlotLocationProviderDescription = {
    kBoardSlotLocationClass.className, L"CQZMemoryBoardSlotLocationProv", L"QZMemoryBoardSlotLocationProv", true,
    kSlotLocationPathInfo, kSlotLocationKeys, std::size(kSlotLocationKeys), true,
};

CQZSlotLocationProv::CQZSlotLocationProv(const ProviderDescription& description, CQZSlotLocationList& list)
    : CQZInstanceProvider(description), m_List(list) {}

HRESULT CQZSlotLocationProv::FillRecord(IWbemClassObject* instance, const CQZSlotLocation& record) {
  return PutRecordProperties(instance, record, nullptr, kSlotLocationProperties);
}

HRESULT CQZSlotLocationProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZSlotLocation* record = m_List.GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZSlotLocationProv::GetRecordKey(DWORD index, size_t key) {
  const CQZSlotLocation* record = m_List.GetAt(index);
  if (!record) return nullptr;
  return key == 0 ? record->GetName().c_str() : record->GetPhysicalPosition().c_str();
}
