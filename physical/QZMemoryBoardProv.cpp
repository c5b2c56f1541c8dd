// The memory board provider: its class description and its table of properties.
#include "physical/QZMemoryBoardProv.h"

#include <iterator>

namespace {

constexpr KeyDescription kMemoryBoardKeys[] = {
    {L"Tag", KeyMatch::Record, nullptr},
    {L"CreationClassName", KeyMatch::Fixed, L"QZ_MemoryBoard"},
};

using Board = CQZMemoryBoard;

// In the order the properties are put.
constexpr RecordProperty<Board> kMemoryBoardProperties[] = {
    {L"AvailableMemory", kBoardAvailableMemory, PutRecordField<&Board::m_AvailableMemory>},
    {L"Caption", kBoardCaption, PutRecordField<&Board::m_Caption>},
    CreationClassNameRow<Board>(),
    {L"Description", kBoardDescription, PutRecordField<&Board::m_Description>},
    {L"ElementName", kBoardElementName, PutRecordField<&Board::m_ElementName>},
    {L"HealthState", kBoardHealthState, PutRecordField<&Board::m_HealthState>},
    {L"HostingBoard", kBoardHostingBoard, PutRecordField<&Board::m_HostingBoard>},
    {L"Locked", kBoardLocked, PutRecordField<&Board::m_Locked>},
    {L"Name", kBoardName, PutRecordField<&Board::m_Name>},
    {L"NumberOfSockets", kBoardNumberOfSockets, PutRecordField<&Board::m_NumberOfSockets>},
    {L"OperationalStatus", kBoardOperationalStatus, PutRecordField<&Board::m_OperationalStatus>},
    {L"PackageType", kBoardPackageType, PutRecordField<&Board::m_PackageType>},
    {L"RemovalConditions", kBoardRemovalConditions, PutRecordField<&Board::m_RemovalConditions>},
    {L"StatusDescriptions", kBoardStatusDescriptions, PutRecordField<&Board::m_StatusDescriptions>},
    {L"Tag", kBoardTag, PutRecordField<&Board::m_Tag>},
    {L"TotalMemory", kBoardTotalMemory, PutRecordField<&Board::m_TotalMemory>},
    {L"VendorCompatibilityStrings", kBoardVendorCompatibilityStrings,
     PutRecordField<&Board::m_VendorCompatibilityStrings>},
};

}  // namespace

const ProviderDescription kMemoryBoardProviderDescription = {
    kMemoryBoardClass, L"CQZMemoryBoardProv", L"QZMemoryBoardProv", true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryBoardKeys,  std::size(kMemoryBoardKeys), false,
};

constexpr RecordTable<CQZMemoryBoard> kMemoryBoardTable = MakeRecordTable(kMemoryBoardProperties, &Board::GetTag);
