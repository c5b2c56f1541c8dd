// The two slot providers: the form and order of the properties they put against the module's
// class definitions, and enumeration and lookup by path on the board-states server.
#include "physical/QZMemoryModuleSlotProv.h"

#include <gtest/gtest.h>

#include <string>

#include "physical/QZMemoryBoardSlotProv.h"
#include "tests/support/ProviderFixture.h"

namespace {

using qztest::Describe;

using SlotProviders = qztest::ProviderTest;

TEST_F(SlotProviders, FillPutsEveryPropertyInTheServicesFormForBothClasses) {
  CQZSlotRecord record;
  record.SetCaption(L"c");
  record.SetConnectorDescription(L"cd");
  record.SetConnectorLayout(1);
  record.SetDescription(L"d");
  record.SetElementName(L"e");
  record.SetHealthState(5);
  record.SetName(L"n");
  record.SetNumber(65535);
  record.SetOperationalStatus({2});
  record.SetStatusDescriptions({L"ok"});
  record.SetTag(L"t");
  struct Case {
    const WCHAR* name;
    const WCHAR* value;
  } cases[] = {
      {L"Caption", L"bstr:c"},        {L"ConnectorDescription", L"bstr:cd"}, {L"ConnectorLayout", L"i4:1"},
      {L"Description", L"bstr:d"},    {L"ElementName", L"bstr:e"},          {L"HealthState", L"i4:5"},
      {L"Name", L"bstr:n"},           {L"Number", L"i4:65535"},             {L"OperationalStatus", L"i4[2]"},
      {L"StatusDescriptions", L"bstr[ok]"}, {L"Tag", L"bstr:t"},
  };
  for (const WCHAR* className : {L"QZ_MemoryModuleSlot", L"QZ_MemoryBoardSlot"}) {
    IWbemClassObject* instance = Spawn(className);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(FillSlotRecord(instance, record, className), WBEM_S_NO_ERROR);
    EXPECT_EQ(Describe(instance, L"CreationClassName"), L"bstr:" + std::wstring(className));
    for (const Case& c : cases) EXPECT_EQ(Describe(instance, c.name), c.value) << c.name;
    instance->Release();
  }
  // A memory board has no ConnectorDescription: the put that fails ends the fill before Tag.
  IWbemClassObject* board = Spawn(L"QZ_MemoryBoard");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(FillSlotRecord(board, record, L"QZ_MemoryModuleSlot"), WBEM_E_FAILED);
  EXPECT_EQ(Describe(board, L"Caption"), L"bstr:c");
  EXPECT_EQ(Describe(board, L"Description"), L"null");
  EXPECT_EQ(Describe(board, L"Tag"), L"null");
  board->Release();
}

TEST_F(SlotProviders, EnumerateAndLookUpOnTheBoardStatesServer) {
  struct Case {
    void (SlotProviders::*enumerate)(const char*, size_t, qztest::TestSink&, const std::wstring&);
    const WCHAR* name;
    size_t count;
    const WCHAR* relativePath;  // of the second instance, which the lookup finds
    const WCHAR* number;
    const WCHAR* absent;  // a well-formed path of the class that names no instance
  } cases[] = {
      {&SlotProviders::EnumerateOn<CQZMemoryModuleSlotProv>, L"CQZMemoryModuleSlotProv", 8,
       L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:0-2\"", L"i4:2",
       // board 2 is not fitted
       L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:2-1\""},
      {&SlotProviders::EnumerateOn<CQZMemoryBoardSlotProv>, L"CQZMemoryBoardSlotProv", 2,
       L"QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryBoardSlot:2\"", L"i4:2",
       L"QZ_MemoryBoardSlot.CreationClassName=\"qz_memoryboardslot\",Tag=\"VXN:QZ_MemoryBoardSlot:2\""},
  };
  for (const Case& c : cases) {
    qztest::TestSink sink;
    ASSERT_NO_FATAL_FAILURE((this->*c.enumerate)("board-states.json", c.count, sink, c.name));
    EXPECT_EQ(Describe(sink.objects[1], L"__RELPATH"), std::wstring(L"bstr:") + c.relativePath);
    qztest::TestSink found;
    ASSERT_EQ(Get(c.relativePath, found), WBEM_S_NO_ERROR);
    EXPECT_EQ(Describe(found.objects[0], L"Number"), c.number);
    qztest::TestSink missing;
    EXPECT_EQ(Get(c.absent, missing), WBEM_E_NOT_FOUND);
  }
}

}  // namespace
