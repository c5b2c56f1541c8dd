// The memory board provider: the form and order of the properties it puts against the module's
// class definition, and what a failing put stops.
#include "physical/QZMemoryBoardProv.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;

CQZMemoryBoard FullRecord() {
  CQZMemoryBoard r;
  r.SetAvailableMemory(0xFFFFFFFF);
  r.SetCaption(L"c");
  r.SetDescription(L"d");
  r.SetElementName(L"e");
  r.SetHealthState(20);
  r.SetHostingBoard(false);
  r.SetLocked(2);
  r.SetName(L"n");
  r.SetNumberOfSockets(12);
  r.SetOperationalStatus({6, 6});
  r.SetPackageType(9);
  r.SetRemovalConditions(4);
  r.SetStatusDescriptions({L"a", L"b"});
  r.SetTag(L"VXN:QZ_MemoryBoard:2");
  r.SetTotalMemory(40960);
  r.SetVendorCompatibilityStrings({L"VXN:QZ_MemoryBoard"});
  return r;
}

using MemoryBoardProvider = qztest::ProviderTest;

TEST_F(MemoryBoardProvider, FillPutsEveryPropertyInTheServicesForm) {
  IWbemClassObject* instance = Spawn(kMemoryBoardClass);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(CQZMemoryBoardProv::FillRecord(instance, FullRecord()), WBEM_S_NO_ERROR);
  qztest::ExpectProperties(instance, {
      {L"AvailableMemory", L"i4:-1"},
      {L"Caption", L"bstr:c"},
      {L"CreationClassName", L"bstr:QZ_MemoryBoard"},
      {L"Description", L"bstr:d"},
      {L"ElementName", L"bstr:e"},
      {L"HealthState", L"i4:20"},
      {L"HostingBoard", L"bool:false"},
      {L"Locked", L"i4:2"},
      {L"Name", L"bstr:n"},
      {L"NumberOfSockets", L"i4:12"},
      {L"OperationalStatus", L"i4[6,6]"},
      {L"PackageType", L"i4:9"},
      {L"RemovalConditions", L"i4:4"},
      {L"StatusDescriptions", L"bstr[a,b]"},
      {L"Tag", L"bstr:VXN:QZ_MemoryBoard:2"},
      {L"TotalMemory", L"i4:40960"},
      {L"VendorCompatibilityStrings", L"bstr[VXN:QZ_MemoryBoard]"},
  });
  instance->Release();
}

TEST_F(MemoryBoardProvider, FillPutsOnlyWhatTheRecordHoldsAndStopsAtTheFirstFailingPut) {
  // A module slot instance has Caption and Tag but no Locked: a record that holds Locked fails
  // there, after Caption and CreationClassName and before Tag.
  struct Case {
    bool locked;
    HRESULT result;
    const WCHAR* tag;
  } cases[] = {{false, WBEM_S_NO_ERROR, L"bstr:t"}, {true, WBEM_E_FAILED, L"null"}};
  for (const Case& c : cases) {
    IWbemClassObject* instance = Spawn(L"QZ_MemoryModuleSlot");
    ASSERT_NE(instance, nullptr);
    CQZMemoryBoard record;
    record.SetCaption(L"c");
    record.SetTag(L"t");
    if (c.locked) record.SetLocked(3);
    EXPECT_EQ(CQZMemoryBoardProv::FillRecord(instance, record), c.result);
    EXPECT_EQ(Describe(instance, L"Caption"), L"bstr:c");
    EXPECT_EQ(Describe(instance, L"CreationClassName"), L"bstr:QZ_MemoryBoard");
    EXPECT_EQ(Describe(instance, L"Tag"), c.tag);
    EXPECT_EQ(Describe(instance, L"Description"), L"null");
    instance->Release();
  }
}

}  // namespace
