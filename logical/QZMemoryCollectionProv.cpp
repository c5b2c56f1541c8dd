// The memory collection provider: its class description and its table of properties.
#include "logical/QZMemoryCollectionProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kMemoryCollectionKeys[] = {
    {L"InstanceID", KeyMatch::Record, nullptr},
};

using Collection = CQZMemoryCollection;

// In the order the properties are put; the record has no presence bits, every one is put.
constexpr RecordProperty<Collection> kMemoryCollectionProperties[] = {
    {L"Caption", kAlwaysPut, PutRecordField<&Collection::GetCaption>},
    {L"Description", kAlwaysPut, PutRecordField<&Collection::GetDescription>},
    {L"ElementName", kAlwaysPut, PutRecordField<&Collection::GetElementName>},
    {L"GroupOperationalStatus", kAlwaysPut, PutRecordField<&Collection::GetGroupOperationalStatus>},
    {L"GroupStatusDescriptions", kAlwaysPut, PutRecordField<&Collection::GetGroupStatusDescriptions>},
    {L"InstanceID", kAlwaysPut, PutRecordField<&Collection::GetInstanceId>},
};

}  // namespace

const ProviderDescription kMemoryCollectionProviderDescription = {
    kMemoryCollectionClass, L"CQZMemoryCollectionProv", nullptr, false, WBEMPATH_INFO_IS_INST_REF,
    kMemoryCollectionKeys,  std::size(kMemoryCollectionKeys), false,
};

constexpr RecordTable<CQZMemoryCollection> kMemoryCollectionTable =
    MakeRecordTable(kMemoryCollectionProperties, &Collection::GetInstanceId);
