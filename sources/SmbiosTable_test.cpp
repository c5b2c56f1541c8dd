// Tests of the SMBIOS table cache: the entry-point scan, the loading sources, the bounded walk and
// the string readers.
#include "sources/SmbiosTable.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <cstring>
#include <string>

#include "tests/support/SourcesFixture.h"

namespace {

using qztest::LoadMachine;

using Bytes = std::vector<BYTE>;

// A structure: formatted area of `length` bytes (type, length, handle, then zeros), then `tail`.
Bytes Structure(BYTE type, BYTE length, WORD handle, const Bytes& tail = {0, 0}) {
  Bytes s(std::max<BYTE>(length, 4), 0);
  s[0] = type;
  s[1] = length;
  s[2] = static_cast<BYTE>(handle);
  s[3] = static_cast<BYTE>(handle >> 8);
  s.insert(s.end(), tail.begin(), tail.end());
  return s;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The handles of the type 17 structures that the walk finds, in order.
std::vector<WORD> Type17Handles() {
  std::vector<WORD> handles;
  for (const auto& s : qztest::FindAll(kSmbiosTypeMemoryDevice)) handles.push_back(WORD(s.data[2] | s.data[3] << 8));
  return handles;
}

TEST(SmbiosTableWalk, MalformedTablesAreReadOnlyUpToTheFirstBrokenStructure) {
  const Bytes a = Structure(17, 0x1B, 0xA1, {'x', 0, 0});
  const Bytes b = Structure(17, 0x15, 0xB2);
  const Bytes end = Structure(127, 4, 0xFFFF);
  struct Case {
    const char* name;
    Bytes table;
    bool held;
    std::vector<WORD> handles;
    size_t structures;
  } cases[] = {
      {"whole table", Join({a, b, end}), true, {0xA1, 0xB2}, 3},
      // The walk ends at the table's length, not at the end structure.
      {"structure after the end structure", Join({a, end, b}), true, {0xA1, 0xB2}, 3},
      // Below 4 the header overlaps the strings; 0 or 1 would never move the walk forward.
      {"length 3 in the middle", Join({a, Structure(17, 3, 0xC3), b}), true, {0xA1}, 1},
      {"length 0 in the middle", Join({a, Bytes{17, 0, 0, 0, 0, 0}, b}), true, {0xA1}, 1},
      {"formatted area past the end", Join({a, Bytes{17, 0x1B, 0xC3, 0, 0, 0, 0}}), true, {0xA1}, 1},
      {"header cut by the end", Join({a, Bytes{17, 0x1B}}), true, {0xA1}, 1},
      {"strings without their double zero", Join({a, Structure(17, 0x15, 0xC3, {'a', 'b', 0})}), true, {0xA1}, 1},
      {"no strings and a single zero", Join({a, Structure(17, 0x15, 0xC3, {0})}), true, {0xA1}, 1},
      {"first structure broken", Join({Structure(17, 2, 0xC3), a}), true, {}, 0},
      // An empty table holds nothing: refusing it keeps "loaded" meaning "has a table".
      {"empty table", {}, false, {}, 0},
      {"longer than a 16-bit length", Bytes(0x10000, 0), false, {}, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(g_SmbiosTable.SetTableForTesting(c.table), c.held);
    EXPECT_EQ(g_SmbiosTable.IsLoaded(), c.held);
    EXPECT_EQ(g_SmbiosTable.StructureCountForTesting(), c.structures);
    if (c.held) {
      EXPECT_EQ(Type17Handles(), c.handles);
    }
  }
}

TEST(SmbiosTableWalk, CopiesAtMostTheStructureAndTheBuffer) {
  // Type 17 of length 0x1B with three strings, and an OEM 202 record of 8 bytes without strings.
  Bytes device = Structure(17, 0x1B, 0x1100, {'D', 'I', 'M', 'M', '1', 0, 0x80, 0xE9, 0, 'P', 0, 0});
  device[kType17DeviceLocator] = 1;
  device[kType17Manufacturer] = 2;
  device[kType17PartNumber] = 3;
  Bytes location = Structure(202, 8, 0xCA00);
  location[kType202Board] = 2;
  ASSERT_TRUE(g_SmbiosTable.SetTableForTesting(Join({device, location, device, Structure(127, 4, 0xFFFF)})));

  struct Case {
    BYTE type;
    WORD index;
    BYTE capacity;
    bool found;
    BYTE copied;
    SmbiosStrings strings;
  } cases[] = {
      {17, 0, 8, true, 8, {L"", L"DIMM1", L"\u20AC\u00E9", L"P"}},
      {17, 3, kType17CopyLength, false, kType17CopyLength, {L"poison"}},
      {202, 0, kType202CopyLength, true, 8, {L""}},
      {20, 0, kType20CopyLength, false, kType20CopyLength, {L"poison"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + "#" + std::to_string(c.index) + " into " + std::to_string(c.capacity));
    Bytes buffer(kType17CopyLength, 0xEE);
    BYTE length = c.capacity;
    SmbiosStrings strings{L"poison"};
    EXPECT_EQ(g_SmbiosTable.FindStructure(c.type, c.index, buffer.data(), length, strings), c.found);
    EXPECT_EQ(length, c.copied);
    EXPECT_EQ(strings, c.strings);
    if (!c.found) continue;
    EXPECT_EQ(buffer[0], c.type);
    EXPECT_EQ(buffer[c.copied], 0xEE) << "copied past the count";
  }
}

TEST(SmbiosTableStrings, GetStringPicksByNumberAndNeverFails) {
  const SmbiosStrings strings{L"", L"one", L"two"};
  const std::pair<BYTE, const wchar_t*> cases[] = {{0, L""}, {1, L"one"}, {2, L"two"}, {3, L""}, {255, L""}};
  for (const auto& [number, want] : cases) EXPECT_EQ(CSmbiosTable::GetString(number, strings), want) << int{number};
  EXPECT_EQ(CSmbiosTable::GetString(0, SmbiosStrings{}), L"");
  EXPECT_EQ(CSmbiosTable::GetString(1, SmbiosStrings{L""}), L"");
}

// A 64 KiB search area with entry points written at chosen offsets.
Bytes AreaWith(std::initializer_list<std::pair<size_t, Bytes>> entries) {
  Bytes area(kEntryPointSearchLength, 0);
  for (const auto& [at, entry] : entries) std::copy(entry.begin(), entry.end(), area.begin() + static_cast<long>(at));
  return area;
}

Bytes EntryPoint(BYTE major, BYTE minor, bool goodSum = true, BYTE length = 0x1F) {
  Bytes entry(0x1F, 0);
  std::memcpy(entry.data(), "_SM_", 4);
  entry[kEntryPointLength] = length;
  entry[kEntryPointMajor] = major;
  entry[kEntryPointMinor] = minor;
  entry[kEntryPointTableLength] = 0x10;
  if (length == 0) return entry;
  BYTE sum = 0;
  for (BYTE i = 0; i < length; ++i) sum = static_cast<BYTE>(sum + entry[i]);
  entry[4] = static_cast<BYTE>(-sum + (goodSum ? 0 : 1));
  return entry;
}

TEST(SmbiosEntryPointScan, AcceptsTheFirstSoundAnchorOnA16ByteBoundary) {
  struct Case {
    const char* name;
    Bytes area;
    long want;
  } cases[] = {
      {"one anchor", AreaWith({{0x6A70, EntryPoint(2, 8)}}), 0x6A70},
      {"bad checksum, then a good one 16 bytes on", AreaWith({{0x100, EntryPoint(2, 8, false)}, {0x110, EntryPoint(2, 8)}}), 0x110},
      {"only a bad checksum", AreaWith({{0x100, EntryPoint(2, 8, false)}}), -1},
      {"version 2.0 refused", AreaWith({{0x100, EntryPoint(2, 0)}}), -1},
      {"version 2.1 accepted", AreaWith({{0x100, EntryPoint(2, 1)}}), 0x100},
      {"length byte 0: no checksum", AreaWith({{0x100, EntryPoint(2, 4, false, 0)}}), 0x100},
      {"checksum over a shorter length", AreaWith({{0x100, EntryPoint(2, 4, true, 0x10)}}), 0x100},
      {"off the 16-byte grid", AreaWith({{0x108, EntryPoint(2, 8)}}), -1},
      {"too close to the end", AreaWith({{0xFFF0, Bytes{'_', 'S', 'M', '_', 0, 0x1F, 2, 8}}}), -1},
      {"nothing", AreaWith({}), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(FindSmbiosEntryPoint(c.area), c.want) << c.name;
}

constexpr const char* kTwoDevices =
    R"("smbios": {"version": "2.3", "devices": [{"handle": 17, "deviceLocator": "DIMM 1", "size": 4096},
                                               {"handle": 18, "deviceLocator": "DIMM 2"}]})";

TEST(SmbiosTableLoad, FromPhysicalMemoryThroughTheHealthDriverElseFromWmi) {
  struct Case {
    const char* name;
    std::string machine;
    bool loads;
  } cases[] = {
      {"sound entry point", std::string(R"({"driver": {}, )") + kTwoDevices + "}", true},
      {"bad checksum", R"({"driver": {}, "smbios": {"badChecksum": true, "devices": [{"handle": 17}]}})", false},
      {"version 2.0", R"({"driver": {}, "smbios": {"version": "2.0", "devices": [{"handle": 17}]}})", false},
      {"no SMBIOS", R"({"driver": {}, "smbios": {"present": false}})", false},
      {"physical read failing", std::string(R"({"driver": {"physicalReadFails": true}, )") + kTwoDevices + "}", false},
      {"no driver: from WMI", std::string("{") + kTwoDevices + "}", true},
      // The physical-memory source needs \\.\VrlHlth; \\.\MQZ alone does not provide it.
      {"primary device only: from WMI", std::string(R"({"driver": {"secondaryDevice": false}, )") + kTwoDevices + "}",
       true},
      {"no driver and no SMBIOS", R"({"smbios": {"present": false}})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadMachine(c.machine);
    EXPECT_EQ(g_SmbiosTable.LoadTable(), c.loads);
    EXPECT_EQ(g_SmbiosTable.IsLoaded(), c.loads);
    EXPECT_EQ(Type17Handles(), (c.loads ? std::vector<WORD>{17, 18} : std::vector<WORD>{}));
  }
}

TEST(SmbiosTableLoad, FailedLoadIsRetriedAndASuccessfulOneStays) {
  LoadMachine(R"({"driver": {}, "smbios": {"present": false}})");
  EXPECT_TRUE(qztest::FindAll(17).empty());
  EXPECT_FALSE(g_SmbiosTable.IsLoaded());

  LoadMachine(std::string(R"({"driver": {}, )") + kTwoDevices + "}");
  const auto found = qztest::FindAll(17);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].data.size(), 0x1Bu);
  EXPECT_EQ(CSmbiosTable::GetString(found[0].data[kType17DeviceLocator], found[0].strings), L"DIMM 1");

  // The held table outlives the machine's own change until it is explicitly reloaded.
  LoadMachine(R"({"driver": {}, "smbios": {"present": false}})");
  EXPECT_EQ(Type17Handles(), (std::vector<WORD>{17, 18}));
  EXPECT_FALSE(g_SmbiosTable.LoadTable());
  EXPECT_EQ(Type17Handles(), std::vector<WORD>{});
}

TEST(SmbiosTableLoad, WmiTableLongerThanASixteenBitLengthIsWalkedOnlyThatFar) {
  // 2,000 devices of 0x28 + 2 bytes, then the end structure: 84,006 bytes. The length is kept in
  // 16 bits, so 84,006 - 65,536 = 18,470 bytes are walked: 439 whole devices.
  std::string devices;
  for (int i = 0; i < 2000; ++i) devices += std::string(i ? "," : "") + R"({"handle": )" + std::to_string(i + 1) + "}";
  LoadMachine(R"({"smbios": {"version": "2.8", "devices": [)" + devices + "]}}");
  ASSERT_TRUE(g_SmbiosTable.LoadTable());
  std::vector<WORD> handles = Type17Handles();
  ASSERT_EQ(handles.size(), 439u);
  EXPECT_EQ(handles.back(), 439);
}

}  // namespace
