// The memory module list on both of its paths: the SMBIOS size, form-factor and memory-type rules, the driver's status table and board numbering, and what a
// failing source leaves.
#include "physical/QZMemoryModuleList.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <optional>
#include <string>
#include <vector>

#include "sources/HealthDriver.h"
#include "tests/support/SourcesFixture.h"

namespace {

const std::wstring kOk = L"Memory module status: OK";
const std::wstring kUnknown = L"Memory module status: Unknown";
const std::wstring kDegraded = L"Memory module status: Degraded";
const std::wstring kPreFailure =
    L"Memory module status: Correctable error threshold for pre-failure warranty has been exceeded";
const std::wstring kNotInUse = L"Memory module status: Memory present but not in use";
const std::wstring kBadConfiguration = L"Memory module status: Bad memory configuration";
const std::wstring kNotPresent = L"Memory module status: Memory not present";

using MemoryModuleList = qztest::ListTest<CQZMemoryModuleList>;

std::string SmbiosMachine(const std::string& devices, const std::string& journal = "[]") {
  return R"({"driver": {"configuration": {"socketsPerBoard": 0, "boardCount": 0}},
             "smbios": {"version": "2.8", "devices": [)" +
         devices + R"(]}, "journal": )" + journal + "}";
}

// The memory types are mapped as on the driver's path (below); the bundled servers show both.
TEST_F(MemoryModuleList, SmbiosSizeAndFormFactorRules) {
  struct Case {
    const char* device;  // fields of one device on board 1, module 1
    bool listed;
    std::optional<ULONGLONG> capacity;
    WORD formFactor;
  } cases[] = {
      {R"("size": 32768)", false, {}, 0},  // 0 KiB
      {R"("size": 32767, "extendedSize": 40000)", true, 40000ull << 20, 8},
      {R"("size": 32767, "extendedSize": 2147483649)", true, 1ull << 20, 8},  // bit 31 is not size
      {R"("size": 33792)", true, 1ull << 20, 8},                             // 0x8400: 1024 KiB
      {R"("size": 65535)", true, {}, 8},                                      // unknown size
      {R"("size": 1024, "formFactor": 3)", true, 1ull << 30, 2},
      {R"("size": 1024, "formFactor": 12)", true, 1ull << 30, 11},
      {R"("size": 1024, "formFactor": 13)", false, {}, 0},  // SODIMM
      {R"("size": 1024, "formFactor": 16)", false, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    LoadText(SmbiosMachine(std::string("{") + c.device + R"(, "oemBoard": 1, "oemModule": 1})"));
    Build();
    ASSERT_EQ(list.GetCount(), c.listed ? 1u : 0u);
    if (!c.listed) continue;
    const CQZMemoryModule& m = *list.GetAt(0);
    EXPECT_EQ(m.Has(kModuleCapacity), c.capacity.has_value());
    if (c.capacity) {
      EXPECT_EQ(m.GetCapacity(), *c.capacity);
    }
    EXPECT_EQ(m.GetFormFactor(), c.formFactor);
  }
}

TEST_F(MemoryModuleList, SmbiosFieldsNeedTheStructureToReachThem) {
  const std::string strings =
      R"("bankLocator": "Bank A", "manufacturer": "Vexon", "serialNumber": "S1", "partNumber": "P1",
         "speed": 1600, "configuredSpeed": 1333, "size": 2048, "oemBoard": 3, "oemModule": 4)";
  struct Case {
    int length;
    DWORD present;  // of the bits that depend on the length
    DWORD speed;
  } cases[] = {
      {0x15, kModuleBankLabel, 0},
      {0x17, kModuleBankLabel | kModuleMaxMemorySpeed, 0},
      {0x19, kModuleBankLabel | kModuleMaxMemorySpeed | kModuleManufacturer | kModuleSerialNumber, 0},
      {0x1B, kModuleBankLabel | kModuleMaxMemorySpeed | kModuleManufacturer | kModuleSerialNumber | kModulePartNumber, 0},
      {0x22, kModuleBankLabel | kModuleMaxMemorySpeed | kModuleManufacturer | kModuleSerialNumber | kModulePartNumber, 1333},
  };
  constexpr DWORD kDependent =
      kModuleBankLabel | kModuleMaxMemorySpeed | kModuleManufacturer | kModuleSerialNumber | kModulePartNumber;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    LoadText(SmbiosMachine("{" + strings + R"(, "length": )" + std::to_string(c.length) + "}"));
    Build();
    ASSERT_EQ(list.GetCount(), 1u);
    const CQZMemoryModule& m = *list.GetAt(0);
    EXPECT_EQ(m.GetTag(), L"VXN:QZ_MemoryModule:3-4");
    EXPECT_EQ(m.PresentMask() & kDependent, c.present);
    EXPECT_TRUE(m.Has(kModuleSpeed)) << "Speed is put even when it is 0";
    EXPECT_EQ(m.GetSpeed(), c.speed);
    if (m.Has(kModuleBankLabel)) {
      EXPECT_EQ(m.GetBankLabel(), L"Bank A");
    }
    if (m.Has(kModulePartNumber)) {
      EXPECT_EQ(m.GetPartNumber(), L"P1");
    }
    if (m.Has(kModuleMaxMemorySpeed)) {
      EXPECT_EQ(m.GetMaxMemorySpeed(), 1600u);
    }
  }
}

TEST_F(MemoryModuleList, JournalNamesAModuleOrItsWholeBoard) {
  const std::string devices =
      R"({"size": 1024, "oemBoard": 1, "oemModule": 1, "interleavePosition": 255, "partitionRow": 4},
         {"size": 1024, "oemBoard": 2, "oemModule": 1}, {"size": 1024, "oemBoard": 2, "oemModule": 2})";
  // Class 3, code 1, board 2, module 0xFF: the whole board; a severity of 3 is not read.
  const std::string journal =
      R"([{"severity": 4, "rawData": "00000000 00000000 0300 0100 0000000000000000 0000000000000000 02 ff"},
          {"severity": 3, "rawData": "00000000 00000000 0300 0100 0000000000000000 0000000000000000 01 01"}])";
  LoadText(SmbiosMachine(devices, journal));
  Build();
  ASSERT_EQ(list.GetCount(), 3u);
  struct Case {
    DWORD index;
    std::vector<WORD> status;
    WORD health;
  } cases[] = {{0, {2}, 5}, {1, {3, 5}, 10}, {2, {3, 5}, 10}};
  for (const Case& c : cases) {
    EXPECT_EQ(list.GetAt(c.index)->GetOperationalStatus(), c.status) << c.index;
    EXPECT_EQ(list.GetAt(c.index)->GetHealthState(), c.health) << c.index;
  }
  EXPECT_FALSE(list.GetAt(0)->Has(kModuleInterleavePosition)) << "0xFF is no interleave position";
}

TEST_F(MemoryModuleList, DriverStatusTableRowByRow) {
  struct Row {
    DWORD code;
    std::vector<WORD> status;
    std::vector<std::wstring> texts;
    WORD health;
  } rows[] = {
      {0, {0, 0}, {kUnknown, kNotPresent}, 10},   {1, {2, 15}, {kOk, kNotInUse}, 5},
      {2, {2}, {kOk}, 5},                         {3, {2, 15}, {kOk, kNotInUse}, 5},
      {4, {2, 15}, {kOk, kNotInUse}, 5},          {5, {0, 0}, {kUnknown, kNotPresent}, 10},
      {6, {0, 0}, {kUnknown, kBadConfiguration}, 10}, {7, {0, 0}, {kUnknown, kBadConfiguration}, 10},
      {8, {0}, {kUnknown}, 0},                    {9, {3, 5}, {kDegraded, kPreFailure}, 10},
      {10, {0}, {kUnknown}, 0},                   {4000000000u, {0}, {kUnknown}, 0},
  };
  // One socket per row, each module reporting the row's code.
  std::string modules;
  for (size_t i = 0; i < std::size(rows); ++i)
    modules += (i ? "," : "") + std::string(R"({"sizeMiB": 1024, "status": )") + std::to_string(rows[i].code) + "}";
  LoadText(R"({"driver": {"boards": [{"modules": [)" + modules + "]}]}}");
  Build();
  ASSERT_EQ(list.GetCount(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].code);
    const CQZMemoryModule& m = *list.GetAt(static_cast<DWORD>(i));
    EXPECT_EQ(m.GetTag(), L"VXN:QZ_MemoryModule:1-" + std::to_wstring(i + 1));
    EXPECT_EQ(m.GetOperationalStatus(), rows[i].status);
    EXPECT_EQ(m.GetStatusDescriptions(), rows[i].texts);
    EXPECT_EQ(m.GetHealthState(), rows[i].health);
  }
}

TEST_F(MemoryModuleList, DriverSocketsThatAreNotListed) {
  const std::string modules =
      R"({"socket": 1, "sizeMiB": 1024, "formFactor": 13},
         {"socket": 2, "sizeMiB": 1024, "formFactor": 16},
         {"socket": 3, "sizeMiB": 1024, "present": false},
         {"socket": 4, "sizeMiB": 1024, "formFactor": 12, "memoryType": 20, "spdValid": false,
          "partNumber": "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
         {"socket": 5, "sizeMiB": 3, "formFactor": 3, "dataWidth": 32})";
  LoadText(R"({"driver": {"configuration": {"socketsPerBoard": 6, "boardCount": 1}, "boards": [{"modules": [)" +
           modules + R"(]}]}, "smbios": {"present": false}})");
  Build();
  ASSERT_EQ(list.GetCount(), 2u);
  const CQZMemoryModule& fbdimm = *list.GetAt(0);
  EXPECT_EQ(fbdimm.GetTag(), L"VXN:QZ_MemoryModule:1-4");
  EXPECT_EQ(fbdimm.GetFormFactor(), 11);
  EXPECT_EQ(fbdimm.GetMemoryType(), 23);
  EXPECT_EQ(fbdimm.GetPartNumber(), L"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345") << "all 32 bytes";
  // Without SMBIOS the driver's fields are all there is.
  EXPECT_EQ(fbdimm.PresentMask() & (kModuleBankLabel | kModuleManufacturer | kModuleSerialNumber |
                                    kModuleInterleavePosition | kModulePositionInRow | kModuleTotalWidth),
            0u);
  const CQZMemoryModule& simm = *list.GetAt(1);
  EXPECT_EQ(simm.GetFormFactor(), 2);
  EXPECT_EQ(simm.GetCapacity(), 3ull << 20);
  EXPECT_EQ(simm.GetDataWidth(), 32);
  EXPECT_FALSE(simm.Has(kModulePartNumber)) << "an empty part number is not put";
  EXPECT_TRUE(simm.Has(kModuleSpeed));
  EXPECT_EQ(simm.GetSpeed(), 0u);
}

TEST_F(MemoryModuleList, BoardsNumberedFromZeroVisitOneMoreWhenBoardZeroFails) {
  // 1705 for index 0 answers board 0 present: boards run from 0. Board 0 does not answer 1707, so
  // after boards 0 and 1 the walk also visits board 2.
  const std::string machine = R"({"driver": {
      "configuration": {"socketsPerBoard": 2, "boardCount": 2},
      "boards": [{"index": 0, "number": 0, "modules": [{"sizeMiB": 1024}]},
                 {"index": 1, "number": 1, "modules": [{"sizeMiB": 1024}]},
                 {"index": 2, "number": 2, "modules": [{"socket": 2, "sizeMiB": 1024}]},
                 {"index": 3, "number": 3, "modules": [{"sizeMiB": 1024}]}],
      "faults": [FAULTS]}, "smbios": {"present": false}})";
  struct Case {
    const char* faults;
    std::vector<std::wstring> tags;
  } cases[] = {
      {"", {L"VXN:QZ_MemoryModule:0-1", L"VXN:QZ_MemoryModule:1-1"}},
      {R"({"command": 1707, "param0": 0, "fail": true})", {L"VXN:QZ_MemoryModule:1-1", L"VXN:QZ_MemoryModule:2-2"}},
      {R"({"command": 1706, "param0": 0, "param1": 1, "fail": true})",
       {L"VXN:QZ_MemoryModule:1-1", L"VXN:QZ_MemoryModule:2-2"}},
      // A failing board other than 0 only loses its remaining sockets.
      {R"({"command": 1707, "param0": 1, "fail": true})", {L"VXN:QZ_MemoryModule:0-1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    std::string text = machine;
    text.replace(text.find("FAULTS"), 6, c.faults);
    LoadText(text);
    EXPECT_EQ(Build(), c.tags);
  }
}

// Why the board range fails is the board list's test; here, that the module list stops there.
TEST_F(MemoryModuleList, BoardRangeFailingLeavesTheListEmpty) {
  LoadText(R"({"driver": {"boards": [{"modules": [{"sizeMiB": 1024}]}], "faults": [{"command": 1705, "fail": true}]},
               "smbios": {"present": false}})");
  // The probe decides the path before the list does: force the driver path.
  g_MemAmpChecker.ProbePlatform();
  g_bDriverMemoryData = true;
  EXPECT_EQ(Build(), std::vector<std::wstring>{});
  EXPECT_FALSE(list.WatchesEvents());
}

TEST(MemoryModuleTables, FormFactorAndMemoryTypeEdges) {
  struct Case {
    DWORD code;
    WORD formFactor;
    WORD memoryType;
  } cases[] = {
      {0, 1, 0},   {1, 0, 1},   {3, 2, 2},   {13, 12, 15}, {16, 1, 18},
      {20, 1, 23}, {21, 1, 0},  {25, 1, 25}, {26, 1, 0},   {0xFFFFFFFF, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MapFormFactor(c.code), c.formFactor) << c.code;
    EXPECT_EQ(MapMemoryType(c.code), c.memoryType) << c.code;
  }
}

}  // namespace
