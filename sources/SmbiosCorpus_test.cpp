// Agreement of the structure walk with an independent decoder (dmidecode) on every captured table:
// the memory devices it finds and the fields the memory lists read from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/machine/machine.h"
#include "sources/SmbiosTable.h"
#include "tests/support/SourcesFixture.h"

namespace {

namespace fs = std::filesystem;

// One memory device as dmidecode prints it: the handle and the fields compared, in its wording.
struct DeviceText {
  std::string handle;
  std::map<std::string, std::string> fields;
};

const char* const kComparedFields[] = {"Size", "Form Factor", "Type", "Locator", "Bank Locator",
                                       "Manufacturer", "Serial Number", "Part Number", "Speed",
                                       "Configured Memory Speed"};

constexpr const char* kFormFactors[] = {
    nullptr, "Other", "Unknown", "SIMM", "SIP", "Chip", "DIP", "ZIP", "Proprietary Card", "DIMM", "TSOP",
    "Row Of Chips", "RIMM", "SODIMM", "SRIMM", "FB-DIMM", "Die"};

constexpr const char* kMemoryTypes[] = {
    nullptr, "Other", "Unknown", "DRAM", "EDRAM", "VRAM", "SRAM", "RAM", "ROM", "Flash", "EEPROM", "FEPROM",
    "EPROM", "CDRAM", "3DRAM", "SDRAM", "SGRAM", "RDRAM", "DDR", "DDR2", "DDR2 FB-DIMM", "Reserved",
    "Reserved", "Reserved", "DDR3", "FBD2", "DDR4", "LPDDR", "LPDDR2", "LPDDR3", "LPDDR4",
    "Logical non-volatile device", "HBM", "HBM2", "DDR5", "LPDDR5"};

template <size_t N>
std::string Name(const char* const (&names)[N], BYTE code) {
  return code > 0 && code < N ? names[code] : "<OUT OF SPEC>";
}

std::string FindDecoder() {
  for (const char* path : {"/usr/sbin/dmidecode", "/sbin/dmidecode", "/usr/bin/dmidecode", "/usr/local/sbin/dmidecode"}) {
    if (fs::exists(path)) return path;
  }
  return "";
}

std::vector<DeviceText> Decode(const std::string& decoder, const std::string& file) {
  std::vector<DeviceText> devices;
  std::string command = decoder + " --from-dump '" + file + "' -t 17 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return devices;
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) text.append(chunk, n);
  pclose(pipe);
  std::istringstream lines(text);
  bool inDevice = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Handle 0x", 0) == 0) {
      inDevice = line.find(", DMI type 17,") != std::string::npos;
      if (inDevice) devices.push_back({line.substr(7, line.find(',') - 7), {}});
      continue;
    }
    if (!inDevice || line.empty() || line[0] != '\t') continue;
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    devices.back().fields[line.substr(1, colon - 1)] = line.substr(colon + 2);
  }
  return devices;
}

// A size as a number of bytes: dmidecode prints an exact count in the largest unit that it fits.
std::string SizeInBytes(const std::string& text) {
  if (text == "No Module Installed" || text == "Unknown") return text;
  static const std::map<std::string, int> kShifts = {{"bytes", 0}, {"kB", 10}, {"MB", 20}, {"GB", 30},
                                                     {"TB", 40}, {"PB", 50}, {"EB", 60}};
  std::istringstream in(text);
  unsigned long long count = 0;
  std::string unit;
  in >> count >> unit;
  auto shift = kShifts.find(unit);
  if (shift == kShifts.end()) return "unparsed: " + text;
  return std::to_string(count << shift->second);
}

std::string Hex4(WORD value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%04X", value);
  return text;
}

// dmidecode's view of a string: placeholders for number 0 and a number past the set, and a dot for
// every byte outside printable ASCII.
std::string StringText(BYTE number, const SmbiosStrings& strings) {
  if (number == 0) return "Not Specified";
  if (number >= strings.size()) return "<BAD INDEX>";
  std::string text;
  for (wchar_t c : CSmbiosTable::GetString(number, strings)) text += c < 32 || c >= 127 ? '.' : static_cast<char>(c);
  return text;
}

std::string SpeedText(WORD speed, DWORD extended) {
  if (speed == 0xFFFF) return extended ? std::to_string(extended) + " MT/s" : "Unknown";
  return speed ? std::to_string(speed) + " MT/s" : "Unknown";
}

// The same fields from the walk's own copy of the structure (up to 0x5C bytes, so that the extended
// speeds of newer tables are seen as well).
DeviceText FromWalk(const BYTE* s, BYTE length, const SmbiosStrings& strings) {
  auto word = [s](int at) { return static_cast<WORD>(s[at] | s[at + 1] << 8); };
  auto dword = [&](int at) { return word(at) | DWORD{word(at + 2)} << 16; };
  DeviceText d{Hex4(word(kType17Handle)), {}};
  WORD size = word(kType17Size);
  if (length >= 0x20 && size == kType17SizeExtended) {
    d.fields["Size"] = std::to_string(uint64_t{dword(kType17ExtendedSize) & 0x7FFFFFFF} << 20);
  } else if (size == 0) {
    d.fields["Size"] = "No Module Installed";
  } else if (size == kType17SizeUnknown) {
    d.fields["Size"] = "Unknown";
  } else {
    uint64_t kib = size & kType17SizeKiB ? size & 0x7FFF : uint64_t{size} << 10;
    d.fields["Size"] = std::to_string(kib << 10);
  }
  d.fields["Form Factor"] = Name(kFormFactors, s[kType17FormFactor]);
  d.fields["Type"] = Name(kMemoryTypes, s[kType17MemoryType]);
  d.fields["Locator"] = StringText(s[kType17DeviceLocator], strings);
  d.fields["Bank Locator"] = StringText(s[kType17BankLocator], strings);
  if (size == 0) return d;  // an empty socket: the decoder prints nothing past the type detail
  if (length >= 0x17) d.fields["Speed"] = SpeedText(word(kType17Speed), length >= 0x5C ? dword(0x54) : 0);
  if (length >= 0x1B) {
    d.fields["Manufacturer"] = StringText(s[kType17Manufacturer], strings);
    d.fields["Serial Number"] = StringText(s[kType17SerialNumber], strings);
    d.fields["Part Number"] = StringText(s[kType17PartNumber], strings);
  }
  if (length >= 0x22) {
    d.fields["Configured Memory Speed"] = SpeedText(word(kType17ConfiguredSpeed), length >= 0x5C ? dword(0x58) : 0);
  }
  return d;
}

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  for (const char* folder : {QZ_CORPUS_DIR, QZ_CORPUS_DIR "/extra"}) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() == ".bin") files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(SmbiosCorpus, WalkAgreesWithAnIndependentDecoderOnEveryMemoryDevice) {
  std::string decoder = FindDecoder();
  if (decoder.empty()) GTEST_SKIP() << "dmidecode is not installed (scripts/deps.sh)";
  std::vector<std::string> files = CorpusFiles();
  ASSERT_EQ(files.size(), 51u);
  size_t devices = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    qz::machine::Smbios smbios;
    std::string error;
    ASSERT_TRUE(qz::machine::LoadSmbiosFile(file, smbios, error)) << error;
    ASSERT_TRUE(g_SmbiosTable.SetTableForTesting(smbios.table));
    std::vector<DeviceText> expected = Decode(decoder, file);
    ASSERT_FALSE(expected.empty());
    std::vector<DeviceText> walked;
    for (qztest::FoundStructure s : qztest::FindAll(kSmbiosTypeMemoryDevice, 0x5C)) {
      const BYTE length = static_cast<BYTE>(s.data.size());
      s.data.resize(0x5C);  // zeros past the copied length
      walked.push_back(FromWalk(s.data.data(), length, s.strings));
    }
    ASSERT_EQ(walked.size(), expected.size());
    for (size_t i = 0; i < walked.size(); ++i) {
      SCOPED_TRACE(expected[i].handle);
      EXPECT_EQ(walked[i].handle, expected[i].handle);
      for (const char* field : kComparedFields) {
        auto want = expected[i].fields.find(field);
        auto got = walked[i].fields.find(field);
        ASSERT_EQ(got != walked[i].fields.end(), want != expected[i].fields.end()) << field;
        if (want == expected[i].fields.end()) continue;
        std::string wantText = std::string(field) == "Size" ? SizeInBytes(want->second) : want->second;
        EXPECT_EQ(got->second, wantText) << field;
      }
    }
    devices += walked.size();
  }
  EXPECT_GT(devices, 500u);
}

TEST(SmbiosCorpus, StructureCountsMatchTheCatalogue) {
  // The catalogue counts structures up to the end marker; the walk finds the same type 17, 20 and
  // 202 records.
  std::ifstream in(QZ_CORPUS_DIR "/METADATA.psv");
  std::string line;
  std::getline(in, line);
  size_t tables = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '|');) f.push_back(field);
    ASSERT_GE(f.size(), 8u);
    SCOPED_TRACE(f[0]);
    qz::machine::Smbios smbios;
    std::string error;
    ASSERT_TRUE(qz::machine::LoadSmbiosFile(QZ_CORPUS_DIR "/" + f[0], smbios, error)) << error;
    ASSERT_TRUE(g_SmbiosTable.SetTableForTesting(smbios.table));
    auto count = [](BYTE type) { return qztest::FindAll(type).size(); };
    EXPECT_EQ(g_SmbiosTable.StructureCountForTesting(), std::stoul(f[3]));
    EXPECT_EQ(count(17), std::stoul(f[4]));   // "16 (40)": the count leads
    EXPECT_EQ(count(20), std::stoul(f[6]));
    EXPECT_EQ(count(202), std::stoul(f[7]));
    ++tables;
  }
  EXPECT_EQ(tables, 51u);
}

}  // namespace
