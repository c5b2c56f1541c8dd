// The system memory list: the SMBIOS size rules, the module fold, a memory of no known size or
// status, and what a missing source leaves; and its association's one pair.
#include "logical/QZWinMemoryList.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "logical/QZWinSystemMemoryList.h"
#include "sources/ComputerSystem.h"
#include "tests/support/SourcesFixture.h"

namespace {

TEST(SystemMemorySize, EachDeviceAddsItsSize) {
  struct Case {
    WORD size;
    DWORD extendedSize;
    ULONGLONG bytes;
  } cases[] = {
      {0x8000, 0, 0},                          // empty socket counted in KiB
      {0x8400, 0, 1048576},                    // 1024 KiB
      {0xFFFF, 0x00010000, 0},                 // unknown, whatever the extended size says
      {0x7FFF, 0x00010000, 68719476736ull},    // 65536 MiB from the extended size
      {0x7FFF, 0x80000001, 1048576}      ,  // bit 31 of the extended size is not part of it
      {0x7FFE, 0, 34357641216ull},             // the largest plain MiB size
      {0xFFFE, 0, 33552384},                   // the largest KiB size
  };
  for (const Case& c : cases) {
    BYTE device[kType17CopyLength] = {};
    device[kType17Size] = static_cast<BYTE>(c.size);
    device[kType17Size + 1] = static_cast<BYTE>(c.size >> 8);
    for (int i = 0; i < 4; ++i) device[kType17ExtendedSize + i] = static_cast<BYTE>(c.extendedSize >> (8 * i));
    EXPECT_EQ(MemoryDeviceBytes(device), c.bytes) << std::hex << c.size << " " << c.extendedSize;
  }
}

TEST(SystemMemoryStatus, ModuleFoldSteps) {
  struct Case {
    WORD fold, module, next;
  } cases[] = {
      {2, 0, 0}, {2, 2, 2}, {2, 3, 3}, {2, 6, 6}, {0, 3, 3}, {0, 2, 0}, {0, 6, 0},
      {3, 0, 3}, {3, 2, 3}, {3, 6, 3}, {6, 3, 0}, {6, 2, 0}, {5, 3, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(NextModuleFold(c.fold, c.module), c.next) << c.fold << " " << c.module;
}

// A driver that describes one board whose modules report the given status codes.
std::string DriverMachine(const std::vector<int>& moduleCodes, const std::string& extra = "",
                          const std::string& driverExtra = "") {
  std::string modules;
  for (int code : moduleCodes) {
    if (!modules.empty()) modules += ",";
    modules += "{\"sizeMiB\": 4096, \"status\": " + std::to_string(code) + "}";
  }
  return "{\"driver\": {" + driverExtra + "\"configuration\": {\"socketsPerBoard\": 8, \"boardCount\": 1}, \"protection\": "
         "{\"totalMemory\": 16384}, \"boards\": [{\"modules\": [" + modules + "]}]}" + extra + "}";
}

class SystemMemoryList : public qztest::SourcesTest {
 protected:
  const CQZWinMemory* Build() {
    EXPECT_NE(list.Update(nullptr), 0u);
    return list.GetCount() == 1 ? list.GetAt(0) : nullptr;
  }

  CQZWinMemoryList list;
};

TEST_F(SystemMemoryList, WithoutAnyKnownSizeTheEndingAddressStaysOut) {
  LoadText(R"({"driver": {"configuration": {"socketsPerBoard": 0, "boardCount": 0}, "ampPresent": false},
           "smbios": {"devices": [{"size": 65535, "deviceLocator": "DIMM 1"}]}})");
  const CQZWinMemory* record = Build();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->GetNumberOfBlocks(), 0ull);
  EXPECT_FALSE(record->Has(kWinMemoryEndingAddress));
  EXPECT_TRUE(record->Has(kWinMemoryStartingAddress));
}

// The sizes and the other statuses are in the golden outputs.
TEST_F(SystemMemoryList, AModuleOfUnknownStatusMakesTheMemoryUnknown) {
  LoadText(DriverMachine({2, 6}));  // driver module status codes: 2 OK, 6 unknown
  const CQZWinMemory* record = Build();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->GetOperationalStatus(), std::vector<WORD>{0});
  EXPECT_EQ(record->GetHealthState(), 0);
  EXPECT_EQ(record->GetStatusDescriptions(), std::vector<std::wstring>{L"System memory status: Unknown"});
}

TEST_F(SystemMemoryList, FailingSourcesLeaveNoRecordAndNoWatch) {
  struct Case {
    const char* name;
    std::string machine;
  } cases[] = {
      {"protection state fails", DriverMachine({2}, "", "\"faults\": [{\"command\": 1701, \"fail\": true}], ")},
      {"no SMBIOS table", R"({"driver": {"configuration": {"socketsPerBoard": 0, "boardCount": 0}, "ampPresent": false}})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadText(c.machine);
    EXPECT_NE(list.Update(nullptr), 0u);
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_FALSE(list.WatchesEvents());
  }
}

// The pair names the computer and the extent, whatever the store holds.
TEST_F(SystemMemoryList, AssociationHasItsPairWhileTheStoreHasNoData) {
  LoadText(DriverMachine({2}, ", \"dataStore\": {\"dataAvailable\": false}"));
  g_MemAmpChecker.ProbePlatform();
  CQZWinSystemMemoryList pairs;
  EXPECT_NE(pairs.Update(nullptr), 0u);
  EXPECT_EQ(pairs.GetCount(), 1u);
  EXPECT_TRUE(pairs.WatchesEvents());
}

}  // namespace
