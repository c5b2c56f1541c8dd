// The memory collection provider through the module's class definition: the form and order of its
// properties, enumeration and lookup by path.
#include "logical/QZMemoryCollectionProv.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;
using MemoryCollectionProvider = qztest::ProviderTest;

TEST_F(MemoryCollectionProvider, EnumeratesTheBundledServers) {
  qztest::TestSink none;
  ASSERT_NO_FATAL_FAILURE(EnumerateOn<CQZMemoryCollectionProv>("no-driver.json", 0, none, L"CQZMemoryCollectionProv"));
  EXPECT_TRUE(Logged(L"CQZMemoryCollectionList::RebuildList| Health (or MQZ) driver not found\r\n"));
  qztest::TestSink sink;
  ASSERT_NO_FATAL_FAILURE(EnumerateOn<CQZMemoryCollectionProv>("default.json", 1, sink, L"CQZMemoryCollectionProv"));
  qztest::ExpectProperties(sink.objects[0], {
      {L"Caption", L"bstr:Memory Collection"},
      {L"Description", L"bstr:Physical memory collection"},
      {L"ElementName", L"bstr:Memory Collection"},
      {L"GroupOperationalStatus", L"i4[3]"},
      {L"GroupStatusDescriptions", L"bstr[Memory collection status: Degraded]"},
      {L"InstanceID", L"bstr:VXN:QZ_MemoryCollection:001"},
      {L"__RELPATH", L"bstr:QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:001\""},
  });
}

// The path grammar is the framework's; these rows pin this class's one key.
TEST_F(MemoryCollectionProvider, LookupByPath) {
  Start<CQZMemoryCollectionProv>("default.json");
  struct Case {
    const WCHAR* path;
    HRESULT result;
  } cases[] = {
      {L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:001\"", WBEM_S_NO_ERROR},
      {L"QZ_MemoryCollection=\"VXN:QZ_MemoryCollection:001\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:002\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryCollection.Tag=\"VXN:QZ_MemoryCollection:001\"", WBEM_E_NOT_FOUND},
      {L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"", WBEM_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    qztest::TestSink sink;
    EXPECT_EQ(Get(c.path, sink), c.result);
  }
}

}  // namespace
