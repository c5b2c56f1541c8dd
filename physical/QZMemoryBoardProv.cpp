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
    {L"AvailableMemory", kBoardAvailableMemory, PutRecordField<&Board::GetAvailableMemory>},
    {L"Caption", kBoardCaption, PutRecordField<&Board::GetCaption>},
    CreationClassNameRow<Board>(),
    {L"Description", kBoardDescription, PutRecordField<&Board::GetDescription>},
    {L"ElementName", kBoardElementName, PutRecordField<&Board::GetElementName>},
    {L"HealthState", kBoardHealthState, PutRecordField<&Board::GetHealthState>},
    {L"HostingBoard", kBoardHostingBoard, PutRecordField<&Board::GetHostingBoard>},
    {L"Locked", kBoardLocked, PutRecordField<&Board::GetLocked>},
    {L"Name", kBoardName, PutRecordField<&Board::GetName>},
    {L"NumberOfSockets", kBoardNumberOfSockets, PutRecordField<&Board::GetNumberOfSockets>},
    {L"OperationalStatus", kBoardOperationalStatus, PutRecordField<&Board::GetOperationalStatus>},
    {L"PackageType", kBoardPackageType, PutRecordField<&Board::GetPackageType>},
    {L"RemovalConditions", kBoardRemovalConditions, PutRecordField<&Board::GetRemovalConditions>},
    {L"StatusDescriptions", kBoardStatusDescriptions, PutRecordField<&Board::GetStatusDescriptions>},
    {L"Tag", kBoardTag, PutRecordField<&Board::GetTag>},
    {L"TotalMemory", kBoardTotalMemory, PutRecordField<&Board::GetTotalMemory>},
    {L"VendorCompatibilityStrings", kBoardVendorCompatibilityStrings,
     PutRecordField<&Board::GetVendorCompatibilityStrings>},
};

}  // namespace

const ProviderDescription kMemoryBoardProviderDescription = {
    kMemoryBoardClass, L"CQZMemoryBoardProv", L"QZMemoryBoardProv", true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryBoardKeys,  std::size(kMemoryBoardKeys), false,
};

constexpr RecordTable<CQZMemoryBoard> kMemoryBoardTable = MakeRecordTable(kMemoryBoardProperties, &Board::GetTag);
