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
    {L"AvailableMemory", kRedundancyAvailableMemory, PutRecordField<&RedundancySet::GetAvailableMemory>},
    {L"Caption", kRedundancyCaption, PutRecordField<&RedundancySet::GetCaption>},
    {L"ConfigurationsAvailable", kRedundancyConfigurationsAvailable,
     PutRecordField<&RedundancySet::GetConfigurationsAvailable>},
    {L"CurrentConfiguration", kRedundancyCurrentConfiguration,
     PutRecordField<&RedundancySet::GetCurrentConfiguration>},
    {L"Description", kRedundancyDescription, PutRecordField<&RedundancySet::GetDescription>},
    {L"ElementName", kRedundancyElementName, PutRecordField<&RedundancySet::GetElementName>},
    {L"InstanceID", kRedundancyInstanceId, PutRecordField<&RedundancySet::GetInstanceId>},
    {L"OperatingSpeed", kRedundancyOperatingSpeed, PutRecordField<&RedundancySet::GetOperatingSpeed>},
    {L"OtherTypeOfSet", kRedundancyOtherTypeOfSet, PutRecordField<&RedundancySet::GetOtherTypeOfSet>},
    {L"RedundancyStatus", kRedundancyRedundancyStatus, PutRecordField<&RedundancySet::GetRedundancyStatus>},
    {L"TargetConfiguration", kRedundancyTargetConfiguration,
     PutRecordField<&RedundancySet::GetTargetConfiguration>},
    {L"TotalMemory", kRedundancyTotalMemory, PutRecordField<&RedundancySet::GetTotalMemory>},
    {L"TypeOfSet", kRedundancyTypeOfSet, PutRecordField<&RedundancySet::GetTypeOfSet>},
};

}  // namespace

const ProviderDescription kMemoryRedundancySetProviderDescription = {
    kMemoryRedundancySetClass,  L"CQZMemoryRedundancySetProv", nullptr, true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryRedundancySetKeys,   std::size(kMemoryRedundancySetKeys), false,
};

constexpr RecordTable<CQZMemoryRedundancySet> kMemoryRedundancySetTable =
    MakeRecordTable(kMemoryRedundancySetProperties, &RedundancySet::GetInstanceId);
