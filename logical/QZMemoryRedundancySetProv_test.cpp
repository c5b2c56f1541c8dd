// The memory redundancy set provider: the form of every property against the module's MOF, what a
// failing put stops, and enumeration and lookup by path over the bundled servers.
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

// The protection rules are the list's and are tested there; this pins the path from the default
// server to the instance.
TEST_F(MemoryRedundancySetProvider, EnumeratesTheBundledServers) {
  qztest::TestSink none;
  ASSERT_NO_FATAL_FAILURE(EnumerateOn<CQZMemoryRedundancySetProv>("no-driver.json", 0, none, L"CQZMemoryRedundancySetProv"));
  qztest::TestSink sink;
  ASSERT_NO_FATAL_FAILURE(EnumerateOn<CQZMemoryRedundancySetProv>("default.json", 1, sink, L"CQZMemoryRedundancySetProv"));
  qztest::ExpectProperties(sink.objects[0], {
      {L"__RELPATH", L"bstr:QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\""},
      {L"ConfigurationsAvailable", L"bstr[RAID]"},  // the first-choice device
      {L"OtherTypeOfSet", L"bstr[Advanced ECC]"},
      {L"RedundancyStatus", L"i4:3"},  // module 2-3 is degraded
  });
}

TEST_F(MemoryRedundancySetProvider, LookupByPath) {
  struct Case {
    const char* machine;
    const WCHAR* path;
    HRESULT result;
  } cases[] = {
      {"default.json", L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_S_NO_ERROR},
      {"default.json", L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:002\"", WBEM_E_NOT_FOUND},
      {"default.json", L"QZ_MemoryRedundancySet.Caption=\"Memory Redundancy Set\"", WBEM_E_NOT_FOUND},
      {"default.json", L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_E_INVALID_PARAMETER},
      {"no-driver.json", L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_E_NOT_FOUND},
  };
  const char* loaded = nullptr;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!loaded || std::string(loaded) != c.machine) {
      Start<CQZMemoryRedundancySetProv>(c.machine);
      loaded = c.machine;
    }
    qztest::TestSink sink;
    ASSERT_EQ(Get(c.path, sink), c.result);
    if (c.result == WBEM_S_NO_ERROR) {
      EXPECT_EQ(Describe(sink.objects[0], L"CurrentConfiguration"), L"bstr:Advanced ECC");
    }
  }
}

}  // namespace
