// The shared memory functions: the location-token parser with its messages, the board and module
// numbers of a memory device, the device list built from an SMBIOS table, and the failing modules
// read from the journal.
#include <gtest/gtest.h>
#include <qzplatform.h>

#include <map>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"
#include "tests/support/SourcesFixture.h"

namespace {

using qz::machine::BuildSmbiosTable;
using qz::machine::SmbiosMemoryDevice;

TEST(ParseTokenNumber, FindsTheNumberAfterTheTokenOrSaysWhyNot) {
  struct Case {
    const wchar_t* text;
    const wchar_t* token;
    bool found;
    DWORD number;         // when found
    const char* output;   // on standard output
  };
  const Case cases[] = {
      {L"PROC 2 DIMM 11", L"PROC", true, 2, ""},
      {L"DIMM11", L"DIMM", true, 11, ""},
      {L"DIMM\t5", L"DIMM", true, 5, ""},
      // The search walks over letters too, so the first digits after the token win.
      {L"SLOT DIMM 3", L"SLOT", true, 3, ""},
      {L"DIMM X DIMM 4", L"DIMM", true, 4, ""},
      {L"DIMM 123456789", L"DIMM", true, 123456789, ""},
      {L"DIMM 1234567890", L"DIMM", false, 0, "No Integer after DIMM token\n"},
      {L"SLOT", L"SLOT", false, 0, "No Integer after SLOT token\n"},
      {L"DIMM\n5", L"DIMM", false, 0, "No Integer after DIMM token\n"},
      {L"Cart 2 slot 4", L"SLOT", false, 0, "Token SLOT not found in the Cart 2 slot 4 string \n"},
      {L"proc 1", L"PROC", false, 0, "Token PROC not found in the proc 1 string \n"},
      {L"", L"DIMM", false, 0, "Token DIMM not found in the  string \n"},
      {L"Carte \u00e9", L"SLOT", false, 0, "Token SLOT not found in the Carte \xe9 string \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text " << testing::PrintToString(std::wstring(c.text)) << " token "
                                    << testing::PrintToString(std::wstring(c.token)));
    DWORD number = 0xCCCCCCCC;
    testing::internal::CaptureStdout();
    const bool found = ParseTokenNumber(c.text, c.token, number);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(number, c.found ? c.number : 0xCCCCCCCCu);
    EXPECT_EQ(output, c.output);
  }
}

// Holds a generated SMBIOS table for one test (the sources fixture gives it and the flags back).
class MemoryDeviceTable : public qztest::SourcesTest {
 protected:
  void Hold(const std::vector<SmbiosMemoryDevice>& devices) {
    ASSERT_TRUE(g_SmbiosTable.SetTableForTesting(BuildSmbiosTable(devices, 2, 8)));
  }

  static SmbiosMemoryDevice Device(const char* locator) {
    SmbiosMemoryDevice device;
    device.size = 8192;
    device.deviceLocator = locator;
    return device;
  }
};

TEST_F(MemoryDeviceTable, BoardAndModuleComeFromTheOemRecordElseFromTheLocator) {
  struct Case {
    const char* what;
    SmbiosMemoryDevice device;
    bool processorBoards;
    bool located;
    BYTE board;
    BYTE module;
    // On standard output, where checked: tokens are tried in order and each miss is reported.
    const char* output = nullptr;
  };
  auto oem = [](const char* locator, int board, int module, int processor) {
    SmbiosMemoryDevice device = Device(locator);
    device.oemBoard = static_cast<uint8_t>(board);
    device.oemModule = static_cast<uint8_t>(module);
    if (processor >= 0) device.oemProcessor = static_cast<uint8_t>(processor);
    return device;
  };
  const Case cases[] = {
      {"DIMM only", Device("DIMM 5"), false, true, 0, 5,
       "Token SLOT not found in the DIMM 5 string \n"
       "Token Cart not found in the DIMM 5 string \n"
       "Token PROC not found in the DIMM 5 string \n"
       "Token CPU not found in the DIMM 5 string \n"},
      {"board token is case-sensitive", Device("Cart 2 slot 4"), false, true, 2, 0},
      {"SLOT before CPU", Device("CPU 1 SLOT 3 DIMM 4"), false, true, 3, 4},
      {"SLOT without number falls to Cart", Device("Cart 6 SLOT"), false, true, 6, 0},
      {"module keeps its low byte", Device("DIMM 300"), false, true, 0, 44},
      {"no numbers", Device("Memory"), false, false, 0, 0},
      {"record without board", oem("PROC 7 DIMM 9", 0xFF, 3, -1), false, true, 0, 3},
      {"record without module", oem("DIMM 9", 2, 0xFF, -1), false, true, 2, 0},
      {"record wins over locator", oem("PROC 7 DIMM 9", 4, 1, -1), false, true, 4, 1},
      {"processor byte on processor boards", oem("", 4, 1, 6), true, true, 6, 1},
      {"board byte on memory boards", oem("", 4, 1, 6), false, true, 4, 1},
      {"board byte when the record is short", oem("", 4, 1, -1), true, true, 4, 1},
      {"no board even on processor boards", oem("", 0xFF, 1, 6), true, true, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Hold({c.device});
    g_bProcessorBoardMemory = c.processorBoards;
    const auto found = qztest::FindAll(kSmbiosTypeMemoryDevice);
    ASSERT_EQ(found.size(), 1u);
    BYTE board = 0xCC;
    BYTE module = 0xCC;
    testing::internal::CaptureStdout();
    EXPECT_EQ(LocateMemoryDevice(found[0].data.data(), found[0].strings, board, module), c.located);
    const std::string output = testing::internal::GetCapturedStdout();
    if (c.output) {
      EXPECT_EQ(output, c.output);
    }
    EXPECT_EQ(board, c.board);
    EXPECT_EQ(module, c.module);
  }
}

// Bytes past a short structure's own length are zero in the entry, never the next structure's.
TEST_F(MemoryDeviceTable, ShortStructureLeavesTheRestZero) {
  SmbiosMemoryDevice device = Device("DIMM 1");
  device.length = 0x15;  // up to the memory type and type detail, as in version 2.1
  Hold({device, Device("DIMM 2")});
  MemoryDeviceList devices;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(CollectMemoryDevices(devices));
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].data[kSmbiosLength], 0x15);
  for (size_t offset = 0x15; offset < kType17CopyLength; ++offset) EXPECT_EQ(devices[0].data[offset], 0) << offset;
  EXPECT_EQ(devices[0].module, 1);
}

TEST_F(MemoryDeviceTable, TableWithoutMemoryDevicesGivesAnEmptyList) {
  Hold({});
  MemoryDeviceList devices(2);
  EXPECT_FALSE(CollectMemoryDevices(devices));
  EXPECT_TRUE(devices.empty());
}

// The raw data of a journal entry: `size` bytes, class and code at 8 and 10, then `bytes` at their
// offsets.
std::vector<BYTE> RawEntry(size_t size, WORD entryClass, WORD code, const std::map<size_t, BYTE>& bytes) {
  std::vector<BYTE> raw(size, 0);
  const std::pair<size_t, WORD> fields[] = {{8, entryClass}, {10, code}};
  for (const auto& [offset, value] : fields) {
    if (offset < size) raw[offset] = static_cast<BYTE>(value & 0xFF);
    if (offset + 1 < size) raw[offset + 1] = static_cast<BYTE>(value >> 8);
  }
  for (const auto& [offset, value] : bytes) raw[offset] = value;
  return raw;
}

void LoadJournal(const qztest::JournalEntries& entries) {
  qztest::LoadMachine(R"({"name": "journal", "journal": )" + qztest::Journal(entries) + "}");
}

TEST(ReadJournalErrors, AddsTheModulesOfMemoryEntriesAboveSeverityThree) {
  // A 300-byte list whose count promises 255 pairs: only those within the 256 bytes read count.
  std::vector<BYTE> longList = RawEntry(300, 3, 3, {});
  for (size_t i = 29; i < longList.size(); ++i) longList[i] = static_cast<BYTE>(i);
  longList[28] = 255;
  JournalErrorSet longPairs;
  for (size_t i = 0; 30 + 2 * i < 256; ++i)
    longPairs.emplace(static_cast<BYTE>(30 + 2 * i), static_cast<BYTE>(29 + 2 * i));

  struct Case {
    const char* what;
    int severity;
    std::vector<BYTE> raw;
    JournalErrorSet added;
  };
  const Case cases[] = {
      {"code 1", 4, RawEntry(32, 3, 1, {{28, 2}, {29, 5}}), {{2, 5}}},
      {"code 2, whole board", 5, RawEntry(30, 3, 2, {{28, 1}, {29, 0xFF}}), {{1, 0xFF}}},
      {"code 3, two pairs", 4, RawEntry(40, 3, 3, {{28, 2}, {29, 1}, {30, 4}, {31, 2}, {32, 4}}), {{4, 1}, {4, 2}}},
      {"code 3, no pairs", 4, RawEntry(40, 3, 3, {{28, 0}, {29, 1}, {30, 4}}), {}},
      {"code 3, pairs past the data", 4, RawEntry(33, 3, 3, {{28, 5}, {29, 1}, {30, 4}, {31, 2}, {32, 6}}),
       {{4, 1}, {6, 2}}},
      {"code 3, capacity of 256 bytes", 4, longList, longPairs},
      {"severity 3", 3, RawEntry(32, 3, 1, {{28, 2}, {29, 5}}), {}},
      {"other class", 5, RawEntry(32, 2, 1, {{28, 2}, {29, 5}}), {}},
      {"class in the high byte", 5, RawEntry(32, 0x0303, 1, {{28, 2}, {29, 5}}), {}},
      {"other code", 5, RawEntry(32, 3, 4, {{28, 2}, {29, 5}}), {}},
      {"module byte missing", 5, RawEntry(29, 3, 1, {{28, 2}}), {}},
      {"code cut short", 5, RawEntry(11, 3, 1, {}), {}},
      {"no raw data", 5, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoadJournal({{c.severity, c.raw}});
    JournalErrorSet errors{{9, 9}};  // what the set held stays
    ReadJournalErrors(nullptr, errors);
    JournalErrorSet expected = c.added;
    expected.emplace(9, 9);
    EXPECT_EQ(errors, expected);
  }
}

TEST(ReadJournalErrors, EveryEntryOfTheJournalCounts) {
  LoadJournal({{5, RawEntry(32, 3, 1, {{28, 2}, {29, 5}})},
               {1, RawEntry(32, 3, 1, {{28, 7}, {29, 7}})},
               {4, RawEntry(40, 3, 3, {{28, 1}, {29, 3}, {30, 1}})},
               {6, RawEntry(32, 3, 2, {{28, 2}, {29, 5}})}});
  JournalErrorSet errors;
  ReadJournalErrors(nullptr, errors);
  EXPECT_EQ(errors, (JournalErrorSet{{1, 3}, {2, 5}}));
}

}  // namespace
