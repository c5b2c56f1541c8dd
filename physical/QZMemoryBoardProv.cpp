// The memory board provider: its class description and FillInstance as a table of properties.
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
    {L"AvailableMemory", kBoardAvailableMemory, PutRecordField<&Board::m_AvailableMemory, Board>},
    {L"Caption", kBoardCaption, PutRecordField<&Board::m_Caption, Board>},
    {L"CreationClassName", 0, nullptr},
    {L"Description", kBoardDescription, PutRecordField<&Board::m_Description, Board>},
    {L"ElementName", kBoardElementName, PutRecordField<&Board::m_ElementName, Board>},
    {L"HealthState", kBoardHealthState, PutRecordField<&Board::m_HealthState, Board>},
    {L"HostingBoard", kBoardHostingBoard, PutRecordField<&Board::m_HostingBoard, Board>},
    {L"Locked", kBoardLocked, PutRecordField<&Board::m_Locked, Board>},
    {L"Name", kBoardName, PutRecordField<&Board::m_Name, Board>},
    {L"NumberOfSockets", kBoardNumberOfSockets, PutRecordField<&Board::m_NumberOfSockets, Board>},
    {L"OperationalStatus", kBoardOperationalStatus, PutRecordField<&Board::m_OperationalStatus, Board>},
    {L"PackageType", kBoardPackageType, PutRecordField<&Board::m_PackageType, Board>},
    {L"RemovalConditions", kBoardRemovalConditions, PutRecordField<&Board::m_RemovalConditions, Board>},
    {L"StatusDescriptions", kBoardStatusDescriptions, PutRecordField<&Board::m_StatusDescriptions, Board>},
    {L"Tag", kBoardTag, PutRecordField<&Board::m_Tag, Board>},
    {L"TotalMemory", kBoardTotalMemory, PutRecordField<&Board::m_TotalMemory, Board>},
    {L"VendorCompatibilityStrings", kBoardVendorCompatibilityStrings,
     PutRecordField<&Board::m_VendorCompatibilityStrings, Board>},
};

}  // namespace

const ProviderDescription kMemoryBoardProviderDescription = {
    kMemoryBoardClass, L"CQZMemoryBoardProv", L"QZMemoryBoardProv", true, WBEMPATH_INFO_IS_INST_REF,
    kMemoryBoardKeys,  std::size(kMemoryBoardKeys), false,
};

CQZMemoryBoardProv::CQZMemoryBoardProv() : CQZInstanceProvider(kMemoryBoardProviderDescription) {}

CQZList& CQZMemoryBoardProv::List() { return g_MemoryBoardList.Get(); }

HRESULT CQZMemoryBoardProv::FillRecord(IWbemClassObject* instance, const CQZMemoryBoard& record) {
  return PutRecordProperties(instance, record, kMemoryBoardClass, kMemoryBoardProperties);
}

HRESULT CQZMemoryBoardProv::FillInstance(IWbemClassObject* pInstance, DWORD index) {
  Trace(L"FillInstance");
  const CQZMemoryBoard* record = g_MemoryBoardList.Get().GetAt(index);
  if (!record) return WBEM_E_FAILED;
  return FillRecord(pInstance, *record);
}

const WCHAR* CQZMemoryBoardProv::GetRecordKey(DWORD index, size_t) {
  const CQZMemoryBoard* record = g_MemoryBoardList.Get().GetAt(index);
  return record ? record->GetTag().c_str() : nullptr;
}
