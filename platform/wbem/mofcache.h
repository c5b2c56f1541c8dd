// The compiled result of the kept MOF files, saved so that a later process puts it into its
// repository instead of parsing and compiling the files again, as long as the files and the build
// are the same.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wbem/repository.h"

namespace qz::wbem {

// A hash of bytes (64 bits, not for secrets): it tells changed files and damaged saves apart.
uint64_t HashBytes(std::string_view bytes);

// A kept file as a saved result remembers it.
struct KeptFileKey {
  std::string name;
  uint64_t size = 0;
  uint64_t hash = 0;  // HashBytes of its bytes
  bool operator==(const KeptFileKey& other) const {
    return name == other.name && size == other.size && hash == other.hash;
  }
};

// What made a saved result besides the files: the layout of the save, and the code that compiled
// (the platform's classes the files build on are code too).
struct CompiledMofStamp {
  uint32_t format = 0;
  std::string build;
};
// This build's stamp.
const CompiledMofStamp& CurrentCompiledMofStamp();

// The save of the changes that compiling `files` made to a repository. False when a change holds
// what cannot be saved (an embedded object as a value).
bool EncodeCompiledMofs(const CompiledMofStamp& stamp, const std::vector<KeptFileKey>& files,
                        const std::vector<Repository::Change>& changes, std::string* bytes);

enum class CompiledMofsUse {
  Applied,      // the repository holds what compiling the files would have put
  Refused,      // stale, truncated, damaged, of another layout or build: the repository is untouched
  Interrupted,  // the repository refused a change halfway: what came before it is in
};
// Puts a save into the repository when it was made with `stamp` from exactly `files`. The whole
// save is checked and decoded before anything is put.
CompiledMofsUse ApplyCompiledMofs(std::string_view bytes, const CompiledMofStamp& stamp,
                                  const std::vector<KeptFileKey>& files, Repository& repository);

}  // namespace qz::wbem
