// The memory redundancy set provider: its class description and FillInstance as a table of
// properties.
#include "logical/QZMemoryRedundancySetProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kMemoryRedundancySetKeys[] = {
    {L"InstanceID", KeyMatch::Record, nullptr},
};

using RedundancySet = CQZMemoryRedundancySet;

// In the order the properties are put.
constexpr RecordProperty<RedundancySet> kMemoryRedundancySetProperties[] = {
    {L"AvailableMemory", kRedundancyAvailableMemory, PutRecordField<&RedundancySet::m_AvailableMemory>},
    {L"Caption", kRedundancyCaption, PutRecordField<&RedundancySet::m_Caption>},
    {L"ConfigurationsAvailable", kRedundancyConfigurationsAvailable,
     PutRecordField<&RedundancySet::m_ConfigurationsAvailable>},
    {L"CurrentConfiguration", kRedundancyCurrentConfiguration,
     PutRecordField<&RedundancySet::m_CurrentConfiguration>},
    {L"Description", kRedundancyDescription, PutRecordField<&RedundancySet::m_Description>},
    {L"ElementName", kRedundancyElementName, PutRecordField<&RedundancySet::m_ElementName>},
    {L"InstanceID", kRedundancyInstanceId, PutRecordField<&RedundancySet::m_InstanceId>},
    {L"OperatingSpeed", kRedundancyOperatingSpeed, PutRecordField<&RedundancySet::m_OperatingSpeed>},
    {L"OtherTypeOfSet", kRedundancyOtherTypeOfSet, PutRecordField<&RedundancySet::m_OtherTypeOfSet>},
    {L"RedundancyStatus", kRedundancyRedundancyStatus, PutRecordField<&RedundancySet::m_RedundancyStatus>},
    {L"TargetConfiguration", kRedundancyTargetConfiguration,
     PutRecordField<&RedundancySet::m_TargetConfiguration>},
    {L"TotalMemory", kRedundancyTotalMemory, PutRecordField<&RedundancySet::m_TotalMemory>},
    {L"TypeOfSet", kRedundancyTypeOfSet, PutRecordField<&RedundancySet::m_TypeOfSet>},
};

}  // namespace

const ProviderDescription kMemoryRedundancySetProviderDescription = {
    kMemoryRedundancySetClass,  L"CQZMemoryRedundancySetProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryRedundancySetKeys,   std::size(kMemoryRedundancySetKeys), false,
};

constexpr RecordTable<CQZMemoryRedundancySet> kMemoryRedundancySetTable =
    MakeRecordTable(kMemoryRedundancySetProperties, &RedundancySet::GetInstanceId);
