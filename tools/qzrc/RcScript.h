// The resource compiler's reading of a resource script: the LANGUAGE lines and STRINGTABLE blocks of
// an .rc file, with the #define numbers of the headers it includes, and the blocks they become.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qzrc {

// One language's strings, by number.
struct StringTable {
  uint16_t language = 0;
  std::map<uint32_t, std::u16string> strings;
};

// What a script holds: the string tables in ascending language order, and every file that was read
// (the script and its headers), for the build's dependency file.
struct ResourceScript {
  std::vector<StringTable> tables;
  std::vector<std::string> files;
};

// Reads the script `text`, named `fileName` in messages. Headers named by #include are looked up
// beside the including file, then in `includeDirs`. On failure returns false and sets `error` to one
// line "file:line: problem".
bool ParseScript(const std::string& text, const std::string& fileName, const std::vector<std::string>& includeDirs,
                 ResourceScript& script, std::string& error);

// The same for a script file on disk.
bool ParseScriptFile(const std::string& path, const std::vector<std::string>& includeDirs, ResourceScript& script,
                     std::string& error);

// The bytes of string block `blockId` (numbers (blockId - 1) * 16 to (blockId - 1) * 16 + 15) as a
// module carries them: for each of the 16 entries a 16-bit little-endian length, then that many
// UTF-16LE units; a number without a string has length 0. Empty when the table has none of the 16.
std::vector<uint8_t> BuildStringBlock(const StringTable& table, uint32_t blockId);

// The C++ source that holds every block of every table and files them, at start-up, under the module
// that links it and under `moduleName`.
std::string GenerateSource(const ResourceScript& script, const std::string& moduleName, const std::string& origin);

}  // namespace qzrc
