// A record filled from its table: what a failing put stops (the golden outputs hold what it puts).
#include "physical/QZMemoryModuleProv.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;

// The properties on both sides of the puts that the cases make fail, one of each value type there.
CQZMemoryModule Record() {
  CQZMemoryModule r;
  r.SetCapacity(17179869184ull);
  r.SetCaption(L"Physical Memory Module 3 on Memory Board 2");
  r.SetDataWidth(64);
  r.SetDescription(L"d");
  r.SetSerialNumber(L"5B02D003");
  r.SetSpd({});
  r.SetSpeed(0);
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
    EXPECT_EQ(PutRecord(instance, Record(), kMemoryModuleClass, kMemoryModuleTable), WBEM_E_FAILED);
    EXPECT_NE(Describe(instance, c.lastPut), L"null");
    EXPECT_EQ(Describe(instance, c.firstSkipped), L"null");
    instance->Release();
  }
}

}  // namespace
