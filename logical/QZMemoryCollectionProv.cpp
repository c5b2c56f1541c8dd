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
    {L"Caption", kAlwaysPut, PutRecordField<&Collection::m_Caption>},
    {L"Description", kAlwaysPut, PutRecordField<&Collection::m_Description>},
    {L"ElementName", kAlwaysPut, PutRecordField<&Collection::m_ElementName>},
    {L"GroupOperationalStatus", kAlwaysPut, PutRecordField<&Collection::m_GroupOperationalStatus>},
    {L"GroupStatusDescriptions", kAlwaysPut, PutRecordField<&Collection::m_GroupStatusDescriptions>},
    {L"InstanceID", kAlwaysPut, PutRecordField<&Collection::m_InstanceId>},
};

}  // namespace

const ProviderDescription kMemoryCollectionProviderDescription = {
    kMemoryCollectionClass, L"CQZMemoryCollectionProv", nullptr, false, WBEMPATH_INFO_IS_INST_REF,
    kMemoryCollectionKeys,  std::size(kMemoryCollectionKeys), false,
};

constexpr RecordTable<CQZMemoryCollection> kMemoryCollectionTable =
    MakeRecordTable(kMemoryCollectionProperties, &Collection::GetInstanceId);
