// The slot locations and the element-location associations through the module's class
// definitions: the location of a board numbered apart from its index, the lookups that miss, the
// location list that keeps its first fill while the associations follow the slots, and the
// association cache that is built again at every enumeration.
#include "physical/QZSlotLocationProv.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <memory>
#include <string>
#include <vector>

#include "physical/QZSlotElementLocationProv.h"
#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;
using qztest::Quoted;

constexpr const WCHAR* kServer = L"\\\\QZ-SERVER\\root\\VXN:";

// Socket 5 of board 2 on the default server, as its slot and its location are named.
const std::wstring kSlot25 = std::wstring(kServer) +
                             L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\","
                             L"Tag=\"VXN:QZ_MemoryModuleSlot:2-5\"";
const std::wstring kLocation25 = std::wstring(kServer) +
                                 L"QZ_MemoryModuleSlotLocation.Name=\"VXN:QZ_MemoryModuleSlotLocation:2-5\","
                                 L"PhysicalPosition=\"2-5\"";

// Three processor boards with one socket each, which the driver numbers 1, 3 and 7.
constexpr const char* kProcessorBoards137 = R"({"driver": {"processorBoards": true,
    "configuration": {"socketsPerBoard": 1, "boardCount": 3},
    "boards": [{"index": 1, "modules": [{"socket": 1}]}, {"index": 2, "number": 3, "modules": [{"socket": 1}]},
               {"index": 3, "number": 7, "modules": [{"socket": 1}]}]},
    "names": {"dnsFullyQualified": "qz-server.example.net", "dnsHostname": "qz-server", "netBios": "QZ-SERVER"}})";

// Location providers over lists of their own, so that every case starts with an unfilled list.
class SlotLocations : public qztest::ProviderTest {
 protected:
  CQZInstanceProvider* StartLocations(const ProviderDescription& description,
                                      const SlotLocationClassDescription& locationClass) {
    lists.push_back(std::make_unique<CQZSlotLocationList>(locationClass));
    return Start<CQZSlotLocationProv>(description, *lists.back());
  }
  std::vector<std::unique_ptr<CQZSlotLocationList>> lists;
};

// A board the driver numbers apart from its index is located by its number; the bundled servers
// pin the ordinary locations.
TEST_F(SlotLocations, BoardSlotLocationTakesTheDriversBoardNumber) {
  Machine(kProcessorBoards137);
  CQZInstanceProvider* provider =
      StartLocations(kMemoryBoardSlotLocationProviderDescription, kBoardSlotLocationClass);
  qztest::TestSink sink;
  ASSERT_EQ(Get(provider, L"QZ_MemoryBoardSlotLocation.Name=\"VXN:QZ_MemoryBoardSlotLocation:3\",PhysicalPosition=\"3\"",
                sink),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(sink.objects.size(), 1u);
  qztest::ExpectProperties(sink.objects[0], {
      {L"Caption", L"bstr:Memory on Processor Board Slot Location 3"},
      {L"Description", L"bstr:Memory on Processor Board Slot Location 3"},
      {L"ElementName", L"bstr:Memory on Processor Board Slot Location 3"},
      {L"ElementLocationTag", L"bstr:3"},
      {L"LocationInformation", L"bstr[3]"},
      {L"Name", L"bstr:VXN:QZ_MemoryBoardSlotLocation:3"},
      {L"PhysicalPosition", L"bstr:3"},
  });
  EXPECT_TRUE(Logged(L"CQZMemoryBoardSlotLocationProv::FillInstance| Entering"));
}

TEST_F(SlotLocations, LookupNeedsBothKeys) {
  Machine("default.json");
  CQZInstanceProvider* locations =
      StartLocations(kMemoryModuleSlotLocationProviderDescription, kModuleSlotLocationClass);
  CQZInstanceProvider* pairs = Start<CQZMemoryModuleSlotElementLocationProv>();
  const std::wstring otherLocation = std::wstring(kServer) +
                                     L"QZ_MemoryModuleSlotLocation.Name=\"VXN:QZ_MemoryModuleSlotLocation:2-5\","
                                     L"PhysicalPosition=\"2-6\"";
  struct Case {
    CQZInstanceProvider* provider;
    std::wstring path;
    HRESULT result;
    const WCHAR* log;
  } cases[] = {
      {locations, L"QZ_MemoryModuleSlotLocation.Name=\"VXN:QZ_MemoryModuleSlotLocation:2-5\",PhysicalPosition=\"2-6\"",
       WBEM_E_NOT_FOUND, L"CQZMemoryModuleSlotLocationProv::GetInstanceByPath| Cannot return instance by path"},
      {pairs, L"QZ_MemoryModuleSlotElementLocation.Element=" + Quoted(kSlot25) + L",PhysicalLocation=" +
                  Quoted(otherLocation),
       WBEM_E_NOT_FOUND, L"CQZMemoryModuleSlotElementLocationProv::GetInstanceByPath| Cannot return instance by path"},
      {pairs, L"QZ_MemoryModuleSlotElementLocation.Element=" + Quoted(kSlot25) + L",PhysicalLocation=" +
                  Quoted(kLocation25),
       WBEM_S_NO_ERROR, L"CQZMemoryModuleSlotElementLocationProv::GetInstanceByPath| Returning instance by path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    qztest::TestSink sink;
    EXPECT_EQ(Get(c.provider, c.path, sink), c.result);
    EXPECT_TRUE(Logged(c.log));
  }
}

TEST_F(SlotLocations, LocationsKeepTheirFirstFillWhileTheAssociationsFollowTheSlots) {
  CQZMemoryModuleSlotLocationList locations;
  CQZMemoryModuleSlotElementLocationList pairs;
  auto lastPair = [&] { return pairs.GetAt(pairs.GetCount() - 1)->GetPhysicalLocation(); };

  // Without the driver neither has anything, and the location list tries again at the next request.
  Machine("no-driver.json");
  EXPECT_EQ(locations.Update(nullptr), 2u);
  EXPECT_EQ(locations.GetCount(), 0u);
  EXPECT_EQ(pairs.Update(nullptr), 2u);
  EXPECT_EQ(pairs.GetCount(), 0u);
  EXPECT_TRUE(Logged(L"CQZMemoryModuleSlotLocationList::RebuildList| Health (or MQZ) driver not found"));
  EXPECT_TRUE(Logged(L"CQZMemoryModuleSlotElementLocationList::RebuildList| Health (or MQZ) driver not found"));

  Machine("default.json");
  EXPECT_EQ(locations.Update(nullptr), 3u);
  ASSERT_EQ(locations.GetCount(), 16u);
  EXPECT_EQ(pairs.Update(nullptr), 3u);
  ASSERT_EQ(pairs.GetCount(), 16u);
  EXPECT_EQ(pairs.GetAt(12)->GetElement(), kSlot25);
  EXPECT_EQ(pairs.GetAt(12)->GetPhysicalLocation(), kLocation25);
  EXPECT_EQ(locations.GetAt(12)->GetObjectPath(), kLocation25);

  // Another server behind a memory event: 8 sockets on boards 0 and 1. The locations stay those of
  // the first fill; the associations name the new sockets' locations, which the location list lacks.
  Machine("board-states.json");
  EXPECT_EQ(locations.Update(nullptr), 3u);
  EXPECT_EQ(locations.GetCount(), 16u);
  EXPECT_EQ(locations.GetAt(15)->GetName(), L"VXN:QZ_MemoryModuleSlotLocation:2-8");
  EXPECT_EQ(pairs.Update(nullptr), 4u);
  ASSERT_EQ(pairs.GetCount(), 8u);
  EXPECT_EQ(lastPair(), std::wstring(kServer) +
                            L"QZ_MemoryModuleSlotLocation.Name=\"VXN:QZ_MemoryModuleSlotLocation:1-4\","
                            L"PhysicalPosition=\"1-4\"");
}

// The pairs are built again at every enumeration; the last names board 7 by the driver's number.
TEST_F(SlotLocations, AssociationsAreBuiltAgainAtEveryEnumeration) {
  Machine(kProcessorBoards137);
  CQZInstanceProvider* provider = Start<CQZMemoryBoardSlotElementLocationProv>();
  qztest::TestSink first;
  Enumerate(provider, first);
  const DWORD firstStamp = provider->Stamp();
  qztest::TestSink second;
  Enumerate(provider, second);
  ASSERT_EQ(first.objects.size(), 3u);
  ASSERT_EQ(second.objects.size(), 3u);
  EXPECT_EQ(Describe(second.objects[2], L"Element"),
            L"bstr:" + std::wstring(kServer) +
                L"QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryBoardSlot:7\"");
  EXPECT_EQ(Describe(second.objects[2], L"PhysicalLocation"),
            L"bstr:" + std::wstring(kServer) +
                L"QZ_MemoryBoardSlotLocation.Name=\"VXN:QZ_MemoryBoardSlotLocation:7\",PhysicalPosition=\"7\"");
  EXPECT_NE(provider->Stamp(), firstStamp);
  EXPECT_NE(first.objects[2], second.objects[2]);
}

}  // namespace
