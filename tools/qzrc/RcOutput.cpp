// Lays out the string blocks of a resource script and writes them as a C++ source that registers them.
#include <cstdio>
#include <set>

#include "RcScript.h"

namespace qzrc {
namespace {

constexpr uint32_t kStringsPerBlock = 16;
constexpr uint16_t kStringType = 6;  // RT_STRING

void AppendWord(std::vector<uint8_t>& bytes, uint16_t value) {
  bytes.push_back(static_cast<uint8_t>(value & 0xFF));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// A C string literal for messages and names in the generated source.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::vector<uint8_t> BuildStringBlock(const StringTable& table, uint32_t blockId) {
  if (blockId == 0) return {};
  uint32_t first = (blockId - 1) * kStringsPerBlock;
  auto begin = table.strings.lower_bound(first);
  if (begin == table.strings.end() || begin->first >= first + kStringsPerBlock) return {};
  std::vector<uint8_t> bytes;
  for (uint32_t number = first; number < first + kStringsPerBlock; ++number) {
    auto found = table.strings.find(number);
    if (found == table.strings.end()) {
      AppendWord(bytes, 0);
      continue;
    }
    AppendWord(bytes, static_cast<uint16_t>(found->second.size()));
    for (char16_t unit : found->second) AppendWord(bytes, static_cast<uint16_t>(unit));
  }
  return bytes;
}

std::string GenerateSource(const ResourceScript& script, const std::string& moduleName, const std::string& origin) {
  std::string out;
  out += "// The string tables of " + moduleName + ", written by qzrc from " + origin + ". Do not edit.\n";
  out += "#include <qzplatform.h>\n\nnamespace {\n\n";
  // Entries in the order of a module's resource directory: by block, then by language.
  std::set<uint32_t> blockIds;
  for (const StringTable& table : script.tables)
    for (const auto& [number, text] : table.strings) blockIds.insert(number / kStringsPerBlock + 1);
  std::string entries;
  size_t count = 0;
  char line[160];
  for (uint32_t blockId : blockIds) {
    for (const StringTable& table : script.tables) {
      std::vector<uint8_t> bytes = BuildStringBlock(table, blockId);
      if (bytes.empty()) continue;
      std::string name = "kStrings" + std::to_string(table.language) + "Block" + std::to_string(blockId);
      out += "const BYTE " + name + "[] = {";
      for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) out += "\n   ";
        std::snprintf(line, sizeof(line), " 0x%02x,", bytes[i]);
        out += line;
      }
      out += "\n};\n\n";
      std::snprintf(line, sizeof(line), "    {%u, %u, %u, sizeof(%s), %s, nullptr},\n", kStringType, blockId,
                    table.language, name.c_str(), name.c_str());
      entries += line;
      ++count;
    }
  }
  out += "const QzResourceEntry kResources[] = {\n" + entries + "};\n\n";
  out += "// Files the tables under the module that links them before any ordinary static of that module is\n";
  out += "// constructed, so that statics may load strings; and takes them back when the module goes away.\n";
  out += "struct ResourceRegistrar {\n";
  out += "  ResourceRegistrar() { QzRegisterResources(kResources, " + Quoted(moduleName) + ", kResources, " +
         std::to_string(count) + "); }\n";
  out += "  ~ResourceRegistrar() { QzUnregisterResources(kResources); }\n";
  out += "};\n";
  out += "__attribute__((init_priority(101))) const ResourceRegistrar g_ResourceRegistrar;\n\n";
  out += "}  // namespace\n";
  return out;
}

}  // namespace qzrc
