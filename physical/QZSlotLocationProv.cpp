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
    {L"Caption", kAlwaysPut, PutRecordField<&Location::GetCaption>},
    {L"Description", kAlwaysPut, PutRecordField<&Location::GetDescription>},
    {L"ElementName", kAlwaysPut, PutRecordField<&Location::GetElementName>},
    {L"ElementLocationTag", kAlwaysPut, PutRecordField<&Location::GetElementLocationTag>},
    {L"ElementLocationTagDesc", kAlwaysPut, PutRecordField<&Location::GetElementLocationTagDesc>},
    {L"LocationInfoDesc", kAlwaysPut, PutRecordField<&Location::GetLocationInfoDesc>},
    {L"LocationInformation", kAlwaysPut, PutRecordField<&Location::GetLocationInformation>},
    {L"Name", kAlwaysPut, PutRecordField<&Location::GetName>},
    {L"PhysicalPosition", kAlwaysPut, PutRecordField<&Location::GetPhysicalPosition>},
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
