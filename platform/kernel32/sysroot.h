// The system root of this process and its runtime area on tmpfs.
#pragma once

#include <string>

namespace qz {

// Absolute path of the system root, created on first use.
const std::string& SystemRoot();

// Absolute path of the runtime area (mode 0700), created on first use.
const std::string& RuntimeDir();

// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode);

}  // namespace qz
