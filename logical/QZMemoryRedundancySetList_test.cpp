// The memory redundancy set list: the module fold, what each protection state and selection
// publishes, and the sources whose failure leaves the list empty.
#include "logical/QZMemoryRedundancySetList.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <optional>
#include <string>
#include <vector>

#include "sources/PlatformProbe.h"
#include "tests/support/SourcesFixture.h"

namespace {

using Texts = std::vector<std::wstring>;

TEST(ModuleStatusFold, MovesAsTheModulesFirstStatusesSay) {
  struct Case {
    WORD fold;
    WORD status;
    WORD next;
  } cases[] = {
      {2, 0, 0}, {2, 2, 2}, {2, 3, 3}, {2, 15, 15},  // from OK the module's value is taken
      {0, 3, 3}, {0, 0, 0}, {0, 2, 0}, {0, 5, 0},    // from Unknown only Degraded moves on
      {3, 0, 3}, {3, 2, 3},                          // Degraded stays
      {15, 3, 0}, {5, 2, 0},                         // values the module list never gives fall to 0
  };
  for (const Case& c : cases) EXPECT_EQ(FoldModuleStatus(c.fold, c.status), c.next) << c.fold << "," << c.status;
}

class MemoryRedundancySetList : public qztest::SourcesTest {
 protected:
  const CQZMemoryRedundancySet* Build() {
    EXPECT_NE(list.Update(nullptr), 0u);
    EXPECT_LE(list.GetCount(), 1u);
    return list.GetAt(0);
  }

  CQZMemoryRedundancySetList list;
};

// A driver of one board of four sockets whose modules report the driver status codes `modules`
// (2: first status OK, 9: Degraded, 0: Unknown).
std::string Machine(const std::string& modes, int state, const std::vector<int>& modules) {
  std::string boards = "[{\"index\": 1, \"sockets\": 4, \"modules\": [";
  for (size_t i = 0; i < modules.size(); ++i)
    boards += (i ? ", " : "") + std::string("{\"sizeMiB\": 2048, \"status\": ") + std::to_string(modules[i]) + "}";
  boards += "]}]";
  return "{\"driver\": {\"primaryDevice\": false, \"configuration\": {\"socketsPerBoard\": 4, \"boardCount\": 1" +
         (modes.empty() ? "" : ", " + modes) +
         "}, \"protection\": {\"state\": " + std::to_string(state) +
         ", \"operatingSpeed\": 1600, \"availableMemory\": 3072, \"totalMemory\": 6144}, \"boards\": " + boards + "}}";
}

constexpr const char* kAllOffered =
    "\"raid\": {\"offered\": true}, \"onlineSpare\": {\"offered\": true}, \"mirroring1\": {\"offered\": true}, "
    "\"advancedEcc\": {\"offered\": true}, \"mirroring2\": {\"offered\": true}, \"mirroring3\": {\"offered\": true}, "
    "\"lockstep\": {\"offered\": true}";

TEST_F(MemoryRedundancySetList, PublishesTheOfferedSelectedAndRunningProtection) {
  struct Case {
    const char* name;
    std::string modes;
    int state;
    std::vector<int> modules;
    Texts offered;
    const WCHAR* target;
    const WCHAR* current;
    WORD typeOfSet;
    std::optional<std::wstring> other;
    std::optional<WORD> redundancy;
  } cases[] = {
      {"every mode offered, in publishing order", kAllOffered, 1, {2},
       {L"Advanced ECC", L"Online Spare", L"Mirrored", L"RAID", L"Lockstep"}, L"Unknown", L"Unknown", 0, {}, 2},
      {"Lockstep wins over Advanced ECC", "\"advancedEcc\": {\"selected\": true}, \"lockstep\": {\"selected\": true}", 4,
       {2}, {}, L"Lockstep", L"Lockstep", 1, L"Lockstep", 2},
      {"state 9 runs RAID whatever is selected", "\"onlineSpare\": {\"selected\": true}", 9, {2}, {},
       L"Online Spare", L"RAID", 2, {}, 2},
      {"state past the table", "\"raid\": {\"selected\": true}", 15, {2}, {}, L"RAID", L"Unknown", 0, {}, {}},
      {"state 0 runs the other mode, degraded", "\"advancedEcc\": {\"selected\": true}", 0, {2}, {},
       L"Advanced ECC", L"Advanced ECC", 1, L"Advanced ECC", 3},
      {"state 1 runs the selected mode", "\"mirroring2\": {\"selected\": true}", 1, {2}, {}, L"Mirrored", L"Mirrored", 3, {}, 2},
      {"state 3 runs the selected mode, degraded", "\"raid\": {\"selected\": true}", 3, {2}, {}, L"RAID", L"RAID", 2, {}, 3},
      {"state 5 runs mirroring, no module check", "", 5, {9}, {}, L"Unknown", L"Mirrored", 3, {}, 2},
      {"state 8", "", 8, {2}, {}, L"Unknown", L"Online Spare", 4, {}, 3},
      {"state 12 with no other mode selected", "\"onlineSpare\": {\"selected\": true}", 12, {2}, {},
       L"Online Spare", L"Unknown", 1, L"Unknown", 3},
      {"online spare beats RAID", "\"raid\": {\"selected\": true}, \"onlineSpare\": {\"selected\": true}", 1,
       {2}, {}, L"Online Spare", L"Online Spare", 4, {}, 2},
      {"RAID beats mirroring", "\"raid\": {\"selected\": true}, \"mirroring1\": {\"selected\": true}", 1, {2},
       {}, L"RAID", L"RAID", 2, {}, 2},
      {"mirroring of the third kind", "\"mirroring3\": {\"selected\": true}", 2, {2}, {}, L"Mirrored", L"Mirrored", 3, {}, 3},
      {"state 4, modules OK, Unknown, Degraded", "", 4, {2, 0, 9}, {}, L"Unknown", L"Unknown", 1, L"Unknown", 3},
      {"state 4, modules Unknown, OK", "", 4, {0, 2}, {}, L"Unknown", L"Unknown", 1, L"Unknown", 2},
      {"state 4, no modules", "", 4, {}, {}, L"Unknown", L"Unknown", 1, L"Unknown", 2},
      {"state 11, a degraded module", "", 11, {9, 2}, {}, L"Unknown", L"Unknown", 1, L"Unknown", 3},
      {"state 14", "\"lockstep\": {\"selected\": true}", 14, {2}, {}, L"Lockstep", L"Lockstep", 1, L"Lockstep", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadText(Machine(c.modes, c.state, c.modules));
    const CQZMemoryRedundancySet* r = Build();
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(list.WatchesEvents());
    EXPECT_EQ(r->GetConfigurationsAvailable(), c.offered);
    EXPECT_EQ(r->GetTargetConfiguration(), c.target);
    EXPECT_EQ(r->GetCurrentConfiguration(), c.current);
    EXPECT_EQ(r->GetTypeOfSet(), std::vector<WORD>{c.typeOfSet});
    EXPECT_EQ(r->Has(kRedundancyOtherTypeOfSet), c.other.has_value());
    if (c.other) {
      EXPECT_EQ(r->GetOtherTypeOfSet(), Texts{*c.other});
    }
    EXPECT_EQ(r->Has(kRedundancyRedundancyStatus), c.redundancy.has_value());
    if (c.redundancy) {
      EXPECT_EQ(r->GetRedundancyStatus(), *c.redundancy);
    }
  }
}

TEST_F(MemoryRedundancySetList, FailingSourcesLeaveTheListEmptyAndUnwatched) {
  struct Case {
    const char* name;
    std::string machine;
    bool presetDriverData;  // the flags say driver data although the answer now says otherwise
  } cases[] = {
      {"protection state fails",
       Machine("", 1, {2}).insert(12, R"("faults": [{"command": 1701, "fail": true}], )"), false},
      {"configuration fails at the build", Machine("", 1, {2}).insert(12, R"("faults": [{"command": 1700, "fail": true}], )"),
       true},
      {"configuration short at the build",
       Machine("", 1, {2}).insert(12, R"("faults": [{"command": 1700, "supplied": 4}], )"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadText(c.machine);
    if (c.presetDriverData) g_bHealthDriverPresent = g_bAmpStatusValid = g_bDriverMemoryData = true;
    EXPECT_NE(list.Update(nullptr), 0u);
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_FALSE(list.WatchesEvents());
  }
}

}  // namespace
