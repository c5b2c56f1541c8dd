// Tests of the generated SMBIOS table, the entry point and the loading of captured tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "machine/machine.h"

namespace qz::machine {
namespace {

using Bytes = std::vector<uint8_t>;

uint8_t Sum(const Bytes& bytes, size_t from, size_t count) {
  uint8_t sum = 0;
  for (size_t i = from; i < from + count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

std::string WriteTemp(const std::string& name, const Bytes& bytes) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST(SmbiosTableBuild, DeviceWithMappedAddressAndLocationGivesExactBytes) {
  SmbiosMemoryDevice device;
  device.handle = 0x0042;
  device.size = 0x2000;  // 8 GiB
  device.deviceLocator = "DIMM 1";
  device.manufacturer = "Acme";
  device.partNumber = "P1";
  device.speed = 2666;
  device.partitionRow = 1;
  device.interleavePosition = 2;
  device.oemBoard = 3;
  device.oemModule = 4;
  device.oemProcessor = 5;
  SmbiosMemoryDevice empty;  // gets the next assigned handle, strings: none
  empty.oemBoard = 0;
  Bytes table = BuildSmbiosTable({device, empty}, 2, 3);
  Bytes expected = {
      // type 17, length 0x1B, handle 0x0042
      17, 0x1B, 0x42, 0x00, 0x00, 0x10, 0xFE, 0xFF, 72, 0, 64, 0, 0x00, 0x20, 9, 0,
      1, 0, 0x1A, 0x80, 0x00, 0x6A, 0x0A, 2, 0, 0, 3,
      'D', 'I', 'M', 'M', ' ', '1', 0, 'A', 'c', 'm', 'e', 0, 'P', '1', 0, 0,
      // type 17 of the empty socket, handle 0x1101
      17, 0x1B, 0x01, 0x11, 0x00, 0x10, 0xFE, 0xFF, 72, 0, 64, 0, 0x00, 0x00, 9, 0,
      0, 0, 0x1A, 0x02, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0,
      // type 20 of the first device: 0 to 8 GiB - 1 in KiB
      20, 0x13, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x7F, 0x00, 0x42, 0x00, 0x00, 0x13,
      1, 2, 0xFF, 0, 0,
      // type 202 with a processor byte, then the 8-byte one of the empty socket
      202, 9, 0x00, 0xCA, 0x42, 0x00, 3, 4, 5, 0, 0,
      202, 8, 0x01, 0xCA, 0x01, 0x11, 0, 0xFF, 0, 0,
      127, 4, 0xFF, 0xFE, 0, 0};
  EXPECT_EQ(table, expected);
  EXPECT_EQ(CountSmbiosStructures(table), 6);
}

TEST(SmbiosTableBuild, OwnLengthOverridesVersionAndDropsStringsThatDoNotFit) {
  SmbiosMemoryDevice device;
  device.length = 0x15;
  device.deviceLocator = "A";
  device.manufacturer = "B";  // offset 0x17 lies outside a 0x15-byte structure
  Bytes table = BuildSmbiosTable({device}, 3, 2);
  ASSERT_EQ(table[1], 0x15);
  EXPECT_EQ(table[0x10], 1);
  EXPECT_EQ(Bytes(table.begin() + 0x15, table.begin() + 0x18), (Bytes{'A', 0, 0}));
  EXPECT_EQ(table[0x18], 127);
}

TEST(SmbiosEntryPoint, VersionAndChecksumCases) {
  struct Case { uint8_t major, minor; bool bad; uint8_t wantMajor, wantMinor, wantBcd, wantSum; } cases[] = {
      {2, 0, false, 2, 0, 0x20, 0},   // kept: the reader is the one to refuse it
      {3, 2, false, 2, 8, 0x28, 0},   // 3.x table behind the 2.x layout
      {2, 8, true, 2, 8, 0x28, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + (c.bad ? " bad" : ""));
    Smbios smbios;
    smbios.major = c.major;
    smbios.minor = c.minor;
    smbios.badChecksum = c.bad;
    Bytes entry = BuildEntryPoint(smbios, 0x1000, 0);
    EXPECT_EQ((Bytes{entry[6], entry[7], entry[0x1E], Sum(entry, 0, 31), Sum(entry, 0x10, 15)}),
              (Bytes{c.wantMajor, c.wantMinor, c.wantBcd, c.wantSum, 0}));
  }
}

TEST(SmbiosFileLoad, BareAndFirmwareTableFormsMatchTheirDumps) {
  struct Case { const char* raw; const char* dump; uint8_t major, minor; } cases[] = {
      {"raw/srv-16slot-d.DMI", "srv-16slot-d.bin", 2, 7},  // versions inferred from the type 17 length
      {"raw/srv-4slot-a.DMI", "srv-4slot-a.bin", 0, 0},
      {"raw/pc-2slot-c.winraw.dat", "pc-2slot-c.bin", 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    Smbios raw, dump;
    std::string error;
    ASSERT_TRUE(LoadSmbiosFile(std::string(QZ_CORPUS_DIR "/") + c.raw, raw, error)) << error;
    ASSERT_TRUE(LoadSmbiosFile(std::string(QZ_CORPUS_DIR "/") + c.dump, dump, error)) << error;
    EXPECT_EQ(raw.table, dump.table);
    if (c.major) {
      EXPECT_EQ((Bytes{raw.major, raw.minor}), (Bytes{c.major, c.minor}));
    }
  }
}

TEST(SmbiosFileLoad, FilesThatAreNoTableAreRefused) {
  struct Case { const char* name; Bytes bytes; } cases[] = {
      {"empty", {}},
      {"short-structure", {17, 2, 0, 0, 0, 0}},                   // length below the header
      {"unterminated-strings", {17, 4, 0, 0, 'a', 'b', 0}},       // no closing double zero
      {"sm-table-outside", {'_', 'S', 'M', '_', 0, 0x1F, 2, 8, 0, 0, 0, 0, 0, 0, 0, 0,
                            '_', 'D', 'M', 'I', '_', 0, 0x10, 0, 0x00, 0x10, 0, 0, 1, 0, 0x28}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Smbios smbios;
    smbios.major = 9;
    std::string error;
    std::string path = WriteTemp(std::string("smbios-") + c.name, c.bytes);
    EXPECT_FALSE(LoadSmbiosFile(path, smbios, error));
    EXPECT_EQ(error, path + ": not an SMBIOS table (no entry point, no firmware-table header, no whole structures)");
    EXPECT_EQ(smbios.major, 9);  // untouched
  }
  Smbios smbios;
  std::string error;
  EXPECT_FALSE(LoadSmbiosFile("/nonexistent/x.bin", smbios, error));
  EXPECT_EQ(error, "/nonexistent/x.bin: cannot be opened");
}

TEST(SmbiosFileLoad, BadEntryPointChecksumIsKept) {
  Smbios source;
  source.major = 2;
  source.minor = 4;
  source.badChecksum = true;
  source.table = BuildSmbiosTable({SmbiosMemoryDevice{}}, 2, 4);
  Bytes file = BuildEntryPoint(source, 0x20, CountSmbiosStructures(source.table));
  file.resize(0x20, 0);
  file.insert(file.end(), source.table.begin(), source.table.end());
  Smbios loaded;
  std::string error;
  ASSERT_TRUE(LoadSmbiosFile(WriteTemp("smbios-bad", file), loaded, error)) << error;
  EXPECT_TRUE(loaded.badChecksum);
  EXPECT_EQ(loaded.table, source.table);
  EXPECT_EQ((Bytes{loaded.major, loaded.minor}), (Bytes{2, 4}));
}

}  // namespace
}  // namespace qz::machine
