// The machine's physical memory: the BIOS area with the SMBIOS entry point, and the structure table.
#include <algorithm>
#include <cstring>

#include "machine/machine.h"

namespace qz::machine {
namespace {

constexpr uint8_t kEndOfTableType = 127;

// Copies the part of [start, start + bytes.size()) that falls into the read window.
void Overlay(uint64_t start, const uint8_t* bytes, size_t count, uint64_t address, uint8_t* out, size_t size) {
  uint64_t from = std::max(start, address);
  uint64_t to = std::min(start + count, address + size);
  if (from >= to) return;
  std::memcpy(out + (from - address), bytes + (from - start), to - from);
}

}  // namespace

uint16_t CountSmbiosStructures(const std::vector<uint8_t>& table) {
  size_t position = 0;
  unsigned count = 0;
  while (position + 4 <= table.size() && count < 0xFFFF) {
    uint8_t type = table[position];
    uint8_t length = table[position + 1];
    if (length < 4 || position + length > table.size()) break;
    size_t next = position + length;
    while (next + 1 < table.size() && (table[next] != 0 || table[next + 1] != 0)) ++next;
    if (next + 1 >= table.size()) break;  // the string set runs past the end: not a whole structure
    ++count;
    if (type == kEndOfTableType) break;
    position = next + 2;
  }
  return static_cast<uint16_t>(count);
}

void ReadPhysical(const Machine& machine, uint64_t address, void* buffer, size_t size) {
  auto* out = static_cast<uint8_t*>(buffer);
  std::memset(out, 0, size);
  if (!machine.smbios.present) return;
  const std::vector<uint8_t>& table = machine.smbios.table;
  std::vector<uint8_t> entry =
      BuildEntryPoint(machine.smbios, kSmbiosTableAddress, CountSmbiosStructures(table));
  Overlay(kSmbiosEntryPointAddress, entry.data(), entry.size(), address, out, size);
  Overlay(kSmbiosTableAddress, table.data(), table.size(), address, out, size);
}

}  // namespace qz::machine
