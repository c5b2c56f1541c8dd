// The memory module provider: the form and order of every property it puts, and what a failing
// put stops.
#include "physical/QZMemoryModuleProv.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;

CQZMemoryModule FullRecord() {
  CQZMemoryModule r;
  r.SetBankLabel(L"Board 2");
  r.SetCapacity(17179869184ull);
  r.SetCaption(L"Physical Memory Module 3 on Memory Board 2");
  r.SetDataWidth(64);
  r.SetDescription(L"d");
  r.SetElementName(L"e");
  r.SetFormFactor(8);
  r.SetHealthState(10);
  r.SetInterleavePosition(0xFFFFFFFF);
  r.SetIsSpeedInMhz(true);
  r.SetMaxMemorySpeed(2400);
  r.SetManufacturer(L"Vexon");
  r.SetMemoryType(24);
  r.SetName(L"n");
  r.SetOperationalStatus({2, 15});
  r.SetPartNumber(L"VX16G");
  r.SetPositionInRow(255);
  r.SetRemovalConditions(3);
  r.SetSerialNumber(L"5B02D003");
  r.SetSpd({});
  r.SetSpeed(0);
  r.SetStatusDescriptions({L"a", L"b"});
  r.SetTag(L"VXN:QZ_MemoryModule:2-3");
  r.SetTotalWidth(0xFFFF);
  r.SetObjectPath(L"\\\\HOST\\root\\VXN:x");
  return r;
}

using MemoryModuleProvider = qztest::ProviderTest;

TEST_F(MemoryModuleProvider, FillPutsEveryPropertyInTheServicesForm) {
  IWbemClassObject* instance = Spawn(kMemoryModuleClass);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(CQZMemoryModuleProv::FillRecord(instance, FullRecord()), WBEM_S_NO_ERROR);
  qztest::ExpectProperties(instance, {
      {L"BankLabel", L"bstr:Board 2"},
      {L"Capacity", L"bstr:17179869184"},
      {L"Caption", L"bstr:Physical Memory Module 3 on Memory Board 2"},
      {L"CreationClassName", L"bstr:QZ_MemoryModule"},
      {L"DataWidth", L"i4:64"},
      {L"Description", L"bstr:d"},
      {L"ElementName", L"bstr:e"},
      {L"FormFactor", L"i4:8"},
      {L"HealthState", L"i4:10"},
      {L"InterleavePosition", L"i4:-1"},
      {L"IsSpeedInMhz", L"bool:true"},
      {L"MaxMemorySpeed", L"i4:2400"},
      {L"Manufacturer", L"bstr:Vexon"},
      {L"MemoryType", L"i4:24"},
      {L"Name", L"bstr:n"},
      {L"OperationalStatus", L"i4[2,15]"},
      {L"PartNumber", L"bstr:VX16G"},
      {L"PositionInRow", L"i4:255"},
      {L"RemovalConditions", L"i4:3"},
      {L"SerialNumber", L"bstr:5B02D003"},
      {L"Spd", L"ui1[]"},
      {L"Speed", L"i4:0"},
      {L"StatusDescriptions", L"bstr[a,b]"},
      {L"Tag", L"bstr:VXN:QZ_MemoryModule:2-3"},
      {L"TotalWidth", L"i4:65535"},
  });
  instance->Release();
}

TEST_F(MemoryModuleProvider, FillPutsOnlyWhatTheRecordHolds) {
  IWbemClassObject* instance = Spawn(kMemoryModuleClass);
  ASSERT_NE(instance, nullptr);
  CQZMemoryModule record;
  record.SetTag(L"VXN:QZ_MemoryModule:1-1");
  record.SetSpd({7, 255});
  EXPECT_EQ(CQZMemoryModuleProv::FillRecord(instance, record), WBEM_S_NO_ERROR);
  qztest::ExpectProperties(instance, {
      {L"CreationClassName", L"bstr:QZ_MemoryModule"},
      {L"Tag", L"bstr:VXN:QZ_MemoryModule:1-1"},
      {L"Spd", L"ui1[7,255]"},
      {L"BankLabel", L"null"},
      {L"Capacity", L"null"},
      {L"IsSpeedInMhz", L"null"},
      {L"OperationalStatus", L"null"},
      {L"TotalWidth", L"null"},
  });
  instance->Release();
}

TEST_F(MemoryModuleProvider, FirstFailingPutStopsTheFill) {
  struct Case {
    const WCHAR* missing;
    const WCHAR* lastPut;       // put before the failure
    const WCHAR* firstSkipped;  // not put after it
  } cases[] = {
      {L"Caption", L"Capacity", L"CreationClassName"},
      {L"DataWidth", L"CreationClassName", L"Description"},
      {L"Spd", L"SerialNumber", L"Speed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    IWbemClassObject* instance = Spawn(kMemoryModuleClass, c.missing);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(CQZMemoryModuleProv::FillRecord(instance, FullRecord()), WBEM_E_FAILED);
    EXPECT_NE(Describe(instance, c.lastPut), L"null");
    EXPECT_EQ(Describe(instance, c.firstSkipped), L"null");
    instance->Release();
  }
}

}  // namespace
