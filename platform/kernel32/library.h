// Loading and freeing modules with a reference count per module, telling each module's DllMain
// of its first load and last free, as LoadLibrary and FreeLibrary do. COM loads its servers here too.
#pragma once

#include <string>

#include "windows.h"

namespace qz {

// Loads the module at a Linux path; its handle (load address), or NULL with the last error set
// (ERROR_MOD_NOT_FOUND, ERROR_BAD_EXE_FORMAT, ERROR_DLL_INIT_FAILED when its DllMain refused).
HMODULE LoadModule(const std::string& path);

// Drops one reference; the last one tells DllMain and unloads the module.
bool FreeModule(HMODULE module);

// An exported function of a loaded module, or null with ERROR_PROC_NOT_FOUND / ERROR_MOD_NOT_FOUND.
void* ModuleSymbol(HMODULE module, const char* name);

}  // namespace qz
