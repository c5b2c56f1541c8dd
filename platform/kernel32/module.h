// The loaded modules of the process as kernel32 sees them: each ELF object, keyed by its image base.
#pragma once

#include <string>
#include <vector>

#include "windows.h"

namespace qz {

struct LoadedModule {
  HMODULE base;      // the address where the object's first segment is mapped
  std::string path;  // its full path ("" when it has none, like the kernel's vDSO)
};

// Every loaded object, the program first, in load order.
std::vector<LoadedModule> LoadedModules();

// The image base of the loaded object that holds `address`, or NULL.
HMODULE ModuleBaseOf(const void* address);

// Whether the module at `base` answers to `name` (upper case, no folder) through its resource tables.
bool ModuleHasResourceName(HMODULE base, const std::wstring& name);

}  // namespace qz
