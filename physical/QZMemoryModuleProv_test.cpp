// A record filled from its table: what a failing put stops (the golden outputs hold what it puts).
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
    EXPECT_EQ(PutRecord(instance, FullRecord(), kMemoryModuleClass, kMemoryModuleTable), WBEM_E_FAILED);
    EXPECT_NE(Describe(instance, c.lastPut), L"null");
    EXPECT_EQ(Describe(instance, c.firstSkipped), L"null");
    instance->Release();
  }
}

}  // namespace
