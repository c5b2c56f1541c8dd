// The machine's SMBIOS table: generated from its memory devices, or read from a captured dump, and
// the 2.x entry point that announces it in the BIOS area.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "machine/machine.h"

namespace qz::machine {
namespace {

constexpr uint8_t kTypeMemoryDevice = 17;
constexpr uint8_t kTypeMappedAddress = 20;
constexpr uint8_t kTypeModuleLocation = 202;
constexpr uint8_t kTypeEndOfTable = 127;

constexpr uint8_t kMappedAddressLength = 0x13;
constexpr uint8_t kModuleLocationLength = 8;
constexpr uint8_t kModuleLocationWithProcessorLength = 9;
constexpr uint8_t kEntryPointLength = 0x1F;

// Handles of the generated structures: type 17 devices without their own handle count up from
// kDeviceHandleBase, the other structures from their own bases in the same order.
constexpr uint16_t kDeviceHandleBase = 0x1100;
constexpr uint16_t kMappedAddressHandleBase = 0x1400;
constexpr uint16_t kModuleLocationHandleBase = 0xCA00;
constexpr uint16_t kEndOfTableHandle = 0xFEFF;
constexpr uint16_t kMemoryArrayHandle = 0x1000;
constexpr uint16_t kMappedArrayHandle = 0x1300;
constexpr uint16_t kNoErrorInformation = 0xFFFE;

// The type 17 length that each SMBIOS version defines, newest first: the table is searched for the
// first row whose version the table's version reaches.
struct Type17Length {
  uint16_t version;
  uint8_t length;
};
constexpr Type17Length kType17Lengths[] = {
    {0x0302, 0x54}, {0x0208, 0x28}, {0x0207, 0x22}, {0x0206, 0x1C}, {0x0203, 0x1B}, {0x0000, 0x15},
};

uint8_t Type17LengthFor(uint8_t major, uint8_t minor) {
  uint16_t version = static_cast<uint16_t>(major << 8 | minor);
  for (const Type17Length& row : kType17Lengths) {
    if (version >= row.version) return row.length;
  }
  return 0x15;
}

// A structure being written: the formatted area, then its string set.
class StructureWriter {
 public:
  StructureWriter(uint8_t type, uint8_t length, uint16_t handle) : m_Area(length, 0) {
    m_Area[0] = type;
    m_Area[1] = length;
    Put16(2, handle);
  }
  void Put8(size_t offset, uint8_t value) {
    if (offset < m_Area.size()) m_Area[offset] = value;
  }
  void Put16(size_t offset, uint16_t value) {
    Put8(offset, static_cast<uint8_t>(value));
    Put8(offset + 1, static_cast<uint8_t>(value >> 8));
  }
  void Put32(size_t offset, uint32_t value) {
    Put16(offset, static_cast<uint16_t>(value));
    Put16(offset + 2, static_cast<uint16_t>(value >> 16));
  }
  // Adds `text` as the next string and stores its number at `offset`; an empty text, or an offset
  // the structure is too short for, gets no string and number 0.
  void PutString(size_t offset, const std::string& text) {
    if (text.empty() || offset >= m_Area.size()) return;
    m_Strings.push_back(text);
    m_Area[offset] = static_cast<uint8_t>(m_Strings.size());
  }
  void AppendTo(std::vector<uint8_t>& table) const {
    table.insert(table.end(), m_Area.begin(), m_Area.end());
    for (const std::string& text : m_Strings) {
      table.insert(table.end(), text.begin(), text.end());
      table.push_back(0);
    }
    if (m_Strings.empty()) table.push_back(0);
    table.push_back(0);
  }

 private:
  std::vector<uint8_t> m_Area;
  std::vector<std::string> m_Strings;
};

// The device's size in KiB, from the raw Size field and the extended size.
uint64_t SizeKiB(const SmbiosMemoryDevice& device) {
  if (device.size == 0xFFFF) return 0;
  if (device.size == 0x7FFF) return uint64_t{device.extendedSize & 0x7FFFFFFF} * 1024;
  if (device.size & 0x8000) return device.size & 0x7FFF;
  return uint64_t{device.size} * 1024;
}

void AppendMemoryDevice(const SmbiosMemoryDevice& device, uint16_t handle, uint8_t length,
                        std::vector<uint8_t>& table) {
  StructureWriter s(kTypeMemoryDevice, length, handle);
  bool populated = device.size != 0;
  s.Put16(0x04, kMemoryArrayHandle);
  s.Put16(0x06, kNoErrorInformation);
  s.Put16(0x08, device.totalWidth);
  s.Put16(0x0A, device.dataWidth);
  s.Put16(0x0C, device.size);
  s.Put8(0x0E, device.formFactor);
  s.PutString(0x10, device.deviceLocator);
  s.PutString(0x11, device.bankLocator);
  s.Put8(0x12, device.memoryType);
  s.Put16(0x13, populated ? 0x0080 : 0x0002);  // synchronous, or unknown for an empty socket
  s.Put16(0x15, device.speed);
  s.PutString(0x17, device.manufacturer);
  s.PutString(0x18, device.serialNumber);
  s.PutString(0x1A, device.partNumber);
  s.Put32(0x1C, device.extendedSize);
  s.Put16(0x20, device.configuredSpeed);
  s.Put8(0x28, populated ? 0x03 : 0x02);       // memory technology: DRAM, or unknown
  s.AppendTo(table);
}

}  // namespace

std::vector<uint8_t> BuildSmbiosTable(const std::vector<SmbiosMemoryDevice>& devices, uint8_t major, uint8_t minor) {
  std::vector<uint8_t> table;
  const uint8_t versionLength = Type17LengthFor(major, minor);
  std::vector<uint16_t> handles;
  for (size_t i = 0; i < devices.size(); ++i) {
    const SmbiosMemoryDevice& device = devices[i];
    uint16_t handle = device.handle ? device.handle : static_cast<uint16_t>(kDeviceHandleBase + i);
    handles.push_back(handle);
    AppendMemoryDevice(device, handle, std::max<uint8_t>(device.length.value_or(versionLength), 4), table);
  }
  uint64_t nextKiB = 0;
  for (size_t i = 0; i < devices.size(); ++i) {
    const SmbiosMemoryDevice& device = devices[i];
    if (!device.partitionRow && !device.interleavePosition) continue;
    // Populated devices follow each other in the address space; an empty one is a 1 KiB record at 0.
    uint64_t size = SizeKiB(device);
    uint64_t start = size ? nextKiB : 0;
    uint64_t end = size ? start + size - 1 : 0;
    nextKiB += size;
    StructureWriter s(kTypeMappedAddress, kMappedAddressLength, static_cast<uint16_t>(kMappedAddressHandleBase + i));
    s.Put32(0x04, static_cast<uint32_t>(std::min<uint64_t>(start, 0xFFFFFFFE)));
    s.Put32(0x08, static_cast<uint32_t>(std::min<uint64_t>(end, 0xFFFFFFFE)));
    s.Put16(0x0C, handles[i]);
    s.Put16(0x0E, kMappedArrayHandle);
    s.Put8(0x10, device.partitionRow.value_or(0xFF));
    s.Put8(0x11, device.interleavePosition.value_or(0xFF));
    s.Put8(0x12, 0xFF);
    s.AppendTo(table);
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    const SmbiosMemoryDevice& device = devices[i];
    if (!device.oemBoard && !device.oemModule && !device.oemProcessor) continue;
    uint8_t length = device.oemProcessor ? kModuleLocationWithProcessorLength : kModuleLocationLength;
    StructureWriter s(kTypeModuleLocation, length, static_cast<uint16_t>(kModuleLocationHandleBase + i));
    s.Put16(0x04, handles[i]);
    s.Put8(0x06, device.oemBoard.value_or(0xFF));
    s.Put8(0x07, device.oemModule.value_or(0xFF));
    if (device.oemProcessor) s.Put8(0x08, *device.oemProcessor);
    s.AppendTo(table);
  }
  StructureWriter(kTypeEndOfTable, 4, kEndOfTableHandle).AppendTo(table);
  return table;
}

namespace {

uint16_t Read16(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}
uint32_t Read32(const std::vector<uint8_t>& bytes, size_t offset) {
  return Read16(bytes, offset) | uint32_t{Read16(bytes, offset + 2)} << 16;
}
uint64_t Read64(const std::vector<uint8_t>& bytes, size_t offset) {
  return Read32(bytes, offset) | uint64_t{Read32(bytes, offset + 4)} << 32;
}

bool StartsWith(const std::vector<uint8_t>& bytes, const char* anchor) {
  size_t n = std::strlen(anchor);
  return bytes.size() >= n && std::memcmp(bytes.data(), anchor, n) == 0;
}

uint8_t Checksum(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

// Whether `table` is a chain of whole structures from its first byte to its end (or to the end
// structure): what a bare table must be, since nothing else says where it ends.
bool IsStructureChain(const std::vector<uint8_t>& table) {
  size_t position = 0;
  while (position < table.size()) {
    if (position + 4 > table.size()) return false;
    uint8_t type = table[position];
    uint8_t length = table[position + 1];
    if (length < 4 || position + length > table.size()) return false;
    size_t next = position + length;
    while (next + 1 < table.size() && (table[next] != 0 || table[next + 1] != 0)) ++next;
    if (next + 1 >= table.size()) return false;
    position = next + 2;
    if (type == kTypeEndOfTable) return true;
  }
  return position > 0;
}

}  // namespace

void InferSmbiosVersion(const std::vector<uint8_t>& table, Smbios& smbios) {
  smbios.major = 2;
  smbios.minor = 1;
  size_t position = 0;
  while (position + 4 <= table.size()) {
    uint8_t length = table[position + 1];
    if (length < 4 || position + length > table.size()) return;
    if (table[position] == kTypeMemoryDevice) {
      for (auto row = std::rbegin(kType17Lengths); row != std::rend(kType17Lengths); ++row) {
        if (length >= row->length) {
          smbios.major = static_cast<uint8_t>(std::max<uint16_t>(row->version >> 8, 2));
          smbios.minor = row->version ? static_cast<uint8_t>(row->version) : 1;
        }
      }
      return;
    }
    size_t next = position + length;
    while (next + 1 < table.size() && (table[next] != 0 || table[next + 1] != 0)) ++next;
    position = next + 2;
  }
}

namespace {

bool TakeTable(const std::vector<uint8_t>& file, uint64_t address, uint64_t length, Smbios& smbios) {
  if (address >= file.size() || length == 0) return false;
  uint64_t available = std::min<uint64_t>(length, file.size() - address);
  smbios.table.assign(file.begin() + static_cast<ptrdiff_t>(address),
                      file.begin() + static_cast<ptrdiff_t>(address + available));
  return true;
}

}  // namespace

bool LoadSmbiosFile(const std::string& path, Smbios& smbios, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be opened";
    return false;
  }
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Smbios loaded;
  loaded.source = path;
  bool ok = false;
  if (StartsWith(file, "_SM3_") && file.size() >= 0x18) {
    loaded.major = file[0x07];
    loaded.minor = file[0x08];
    ok = TakeTable(file, Read64(file, 0x10), Read32(file, 0x0C), loaded);
  } else if (StartsWith(file, "_SM_") && file.size() >= kEntryPointLength) {
    loaded.major = file[0x06];
    loaded.minor = file[0x07];
    // Some firmware states 2.31 or 2.33 for 2.3; keep the version it meant.
    if (loaded.major == 2 && (loaded.minor == 31 || loaded.minor == 33)) loaded.minor = 3;
    uint8_t length = file[0x05];
    loaded.badChecksum = length == 0 || length > file.size() || Checksum(file.data(), length) != 0;
    ok = TakeTable(file, Read32(file, 0x18), Read16(file, 0x16), loaded);
  } else if (StartsWith(file, "_DMI_") && file.size() >= 15) {
    loaded.major = file[0x0E] >> 4;
    loaded.minor = file[0x0E] & 0x0F;
    ok = TakeTable(file, Read32(file, 0x08), Read16(file, 0x06), loaded);
  } else if (file.size() > 8 && file[1] >= 2 && file[1] <= 3 && Read32(file, 4) == file.size() - 8) {
    loaded.major = file[1];
    loaded.minor = file[2];
    ok = TakeTable(file, 8, file.size() - 8, loaded);
  } else if (IsStructureChain(file)) {
    loaded.table = file;
    InferSmbiosVersion(file, loaded);
    ok = true;
  }
  if (!ok) {
    error = path + ": not an SMBIOS table (no entry point, no firmware-table header, no whole structures)";
    return false;
  }
  smbios = std::move(loaded);
  return true;
}

std::vector<uint8_t> BuildEntryPoint(const Smbios& smbios, uint32_t address, uint16_t count) {
  std::vector<uint8_t> entry(kEntryPointLength, 0);
  // This entry point has the 2.x layout, so a 3.x table is announced as the last 2.x version.
  uint8_t major = smbios.major;
  uint8_t minor = smbios.minor;
  if (major > 2) {
    major = 2;
    minor = 8;
  }
  uint16_t tableLength = static_cast<uint16_t>(std::min<size_t>(smbios.table.size(), 0xFFFF));
  // The largest structure, formatted area and strings together.
  uint16_t largest = 0;
  for (size_t position = 0; position + 4 <= smbios.table.size();) {
    uint8_t length = smbios.table[position + 1];
    if (length < 4 || position + length > smbios.table.size()) break;
    size_t next = position + length;
    while (next + 1 < smbios.table.size() && (smbios.table[next] != 0 || smbios.table[next + 1] != 0)) ++next;
    if (next + 1 >= smbios.table.size()) break;
    largest = static_cast<uint16_t>(std::max<size_t>(largest, std::min<size_t>(next + 2 - position, 0xFFFF)));
    position = next + 2;
  }
  std::memcpy(entry.data(), "_SM_", 4);
  entry[0x05] = kEntryPointLength;
  entry[0x06] = major;
  entry[0x07] = minor;
  entry[0x08] = static_cast<uint8_t>(largest);
  entry[0x09] = static_cast<uint8_t>(largest >> 8);
  std::memcpy(entry.data() + 0x10, "_DMI_", 5);
  entry[0x16] = static_cast<uint8_t>(tableLength);
  entry[0x17] = static_cast<uint8_t>(tableLength >> 8);
  for (int i = 0; i < 4; ++i) entry[0x18 + i] = static_cast<uint8_t>(address >> (8 * i));
  entry[0x1C] = static_cast<uint8_t>(count);
  entry[0x1D] = static_cast<uint8_t>(count >> 8);
  entry[0x1E] = static_cast<uint8_t>((major & 0x0F) << 4 | std::min<uint8_t>(minor, 9));
  entry[0x15] = static_cast<uint8_t>(-Checksum(entry.data() + 0x10, 0x0F));
  entry[0x04] = static_cast<uint8_t>(-Checksum(entry.data(), kEntryPointLength));
  if (smbios.badChecksum) ++entry[0x04];
  return entry;
}

}  // namespace qz::machine
