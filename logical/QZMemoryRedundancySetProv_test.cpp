// The memory redundancy set provider: the form of every property against the module's MOF, and what
// a failing put stops.
#include "logical/QZMemoryRedundancySetProv.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;

CQZMemoryRedundancySet FullRecord() {
  CQZMemoryRedundancySet r;
  r.SetAvailableMemory(0xFFFFFFFF);
  r.SetCaption(L"c");
  r.SetConfigurationsAvailable({L"Mirrored", L"RAID"});
  r.SetCurrentConfiguration(L"RAID");
  r.SetDescription(L"d");
  r.SetElementName(L"e");
  r.SetInstanceId(kMemoryRedundancySetInstanceId);
  r.SetOperatingSpeed(1333);
  r.SetOtherTypeOfSet({L"Lockstep"});
  r.SetRedundancyStatus(3);
  r.SetTargetConfiguration(L"Online Spare");
  r.SetTotalMemory(81920);
  r.SetTypeOfSet({0xFFFF});
  return r;
}

using MemoryRedundancySetProvider = qztest::ProviderTest;

TEST_F(MemoryRedundancySetProvider, FillPutsEveryPropertyInTheServicesForm) {
  IWbemClassObject* instance = Spawn(kMemoryRedundancySetClass);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(CQZMemoryRedundancySetProv::FillRecord(instance, FullRecord()), WBEM_S_NO_ERROR);
  qztest::ExpectProperties(instance, {
      {L"AvailableMemory", L"i4:-1"},
      {L"Caption", L"bstr:c"},
      {L"ConfigurationsAvailable", L"bstr[Mirrored,RAID]"},
      {L"CurrentConfiguration", L"bstr:RAID"},
      {L"Description", L"bstr:d"},
      {L"ElementName", L"bstr:e"},
      {L"InstanceID", L"bstr:VXN:QZ_MemoryRedundancySet:001"},
      {L"OperatingSpeed", L"i4:1333"},
      {L"OtherTypeOfSet", L"bstr[Lockstep]"},
      {L"RedundancyStatus", L"i4:3"},
      {L"TargetConfiguration", L"bstr:Online Spare"},
      {L"TotalMemory", L"i4:81920"},
      {L"TypeOfSet", L"i4[65535]"},
  });
  instance->Release();
}

TEST_F(MemoryRedundancySetProvider, FirstFailingPutStopsTheFill) {
  struct Case {
    const WCHAR* missing;
    const WCHAR* lastPut;
    const WCHAR* firstSkipped;
  } cases[] = {
      {L"AvailableMemory", nullptr, L"Caption"},
      {L"InstanceID", L"ElementName", L"OperatingSpeed"},
      {L"TotalMemory", L"TargetConfiguration", L"TypeOfSet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.missing, c.missing + wcslen(c.missing)));
    IWbemClassObject* instance = Spawn(kMemoryRedundancySetClass, c.missing);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(CQZMemoryRedundancySetProv::FillRecord(instance, FullRecord()), WBEM_E_FAILED);
    if (c.lastPut) {
      EXPECT_NE(Describe(instance, c.lastPut), L"null");
    }
    EXPECT_EQ(Describe(instance, c.firstSkipped), L"null");
    instance->Release();
  }
}

}  // namespace
