// The two slot providers: the form and order of the properties they put against the module's
// class definitions, and what a failing put stops.
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

}  // namespace
