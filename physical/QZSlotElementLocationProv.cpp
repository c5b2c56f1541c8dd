// The element-location association providers: their class descriptions and their table of properties.
#include "physical/QZSlotElementLocationProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kSlotElementLocationKeys[] = {
    {L"Element", KeyMatch::Record, nullptr},
    {L"PhysicalLocation", KeyMatch::Record, nullptr},
};

// A pair may be named by an instance path or by a compound-key path.
constexpr ULONGLONG kSlotElementLocationPathInfo = WBEMPATH_INFO_IS_INST_REF | WBEMPATH_INFO_IS_COMPOUND;

using Pair = CQZElementLocation;

// Both references, as strings.
constexpr RecordProperty<Pair> kSlotElementLocationProperties[] = {
    {L"Element", kAlwaysPut, PutRecordField<&Pair::GetElement>},
    {L"PhysicalLocation", kAlwaysPut, PutRecordField<&Pair::GetPhysicalLocation>},
};

}  // namespace

const ProviderDescription kMemoryModuleSlotElementLocationProviderDescription = {
    kModuleSlotElementLocationClass.className,
    L"CQZMemoryModuleSlotElementLocationProv",
    L"QZMemoryModuleSlotElementLocationProv",
    false,
    kSlotElementLocationPathInfo,
    kSlotElementLocationKeys,
    std::size(kSlotElementLocationKeys),
    true,
};

const ProviderDescription kMemoryBoardSlotElementLocationProviderDescription = {
    kBoardSlotElementLocationClass.className,
    L"CQZMemoryBoardSlotElementLocationProv",
    L"QZMemoryBoardSlotElementLocationProv",
    false,
    kSlotElementLocationPathInfo,
    kSlotElementLocationKeys,
    std::size(kSlotElementLocationKeys),
    true,
};

constexpr RecordTable<CQZElementLocation> kSlotElementLocationTable =
    MakeRecordTable(kSlotElementLocationProperties, &Pair::GetElement, &Pair::GetPhysicalLocation);
