// The slot location providers: their class descriptions and their table of properties.
#include "physical/QZSlotLocationProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kSlotLocationKeys[] = {
    {L"Name", KeyMatch::Record, nullptr},
    {L"PhysicalPosition", KeyMatch::Record, nullptr},
};

// A location may be named by an instance path or by a compound-key path.
constexpr ULONGLONG kSlotLocationPathInfo = WBEMPATH_INFO_IS_INST_REF | WBEMPATH_INFO_IS_COMPOUND;

using Location = CQZSlotLocation;

// In the order the properties are put; a location has no CreationClassName.
constexpr RecordProperty<Location> kSlotLocationProperties[] = {
    {L"Caption", kAlwaysPut, PutRecordField<&Location::m_Caption>},
    {L"Description", kAlwaysPut, PutRecordField<&Location::m_Description>},
    {L"ElementName", kAlwaysPut, PutRecordField<&Location::m_ElementName>},
    {L"ElementLocationTag", kAlwaysPut, PutRecordField<&Location::m_ElementLocationTag>},
    {L"ElementLocationTagDesc", kAlwaysPut, PutRecordField<&Location::m_ElementLocationTagDesc>},
    {L"LocationInfoDesc", kAlwaysPut, PutRecordField<&Location::m_LocationInfoDesc>},
    {L"LocationInformation", kAlwaysPut, PutRecordField<&Location::m_LocationInformation>},
    {L"Name", kAlwaysPut, PutRecordField<&Location::m_Name>},
    {L"PhysicalPosition", kAlwaysPut, PutRecordField<&Location::m_PhysicalPosition>},
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

constexpr RecordTable<CQZSlotLocation> kSlotLocationTable =
    MakeRecordTable(kSlotLocationProperties, &Location::GetName, &Location::GetPhysicalPosition);
