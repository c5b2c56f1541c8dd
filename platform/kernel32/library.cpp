// LoadLibraryW, FreeLibrary and GetProcAddress over dlopen, with DllMain told of first load and
// last free.
#include "kernel32/library.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <optional>

#include "kernel32/path.h"
#include "kernel32/text.h"

namespace qz {
namespace {

using DllMainFunction = BOOL (*)(HINSTANCE, DWORD, LPVOID);
constexpr DWORD kProcessDetach = 0;
constexpr DWORD kProcessAttach = 1;

struct LoadedModule {
  void* handle = nullptr;
  unsigned references = 0;
};

// Recursive: a DllMain may load or free modules itself.
std::recursive_mutex& Lock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}
std::map<HMODULE, LoadedModule>& Modules() {
  static auto* modules = new std::map<HMODULE, LoadedModule>;  // used until the process ends
  return *modules;
}

HMODULE BaseOf(void* handle) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
  return reinterpret_cast<HMODULE>(map->l_addr);
}

DllMainFunction EntryPoint(void* handle) { return reinterpret_cast<DllMainFunction>(dlsym(handle, "DllMain")); }

}  // namespace

HMODULE LoadModule(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    SetLastError(access(path.c_str(), F_OK) == 0 ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  HMODULE module = BaseOf(handle);
  LoadedModule& loaded = Modules()[module];
  if (loaded.references++ > 0) {
    dlclose(handle);  // one dlopen reference per module is enough
    return module;
  }
  loaded.handle = handle;
  if (DllMainFunction main = EntryPoint(handle); main && !main(module, kProcessAttach, nullptr)) {
    Modules().erase(module);
    dlclose(handle);
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  return module;
}

bool FreeModule(HMODULE module) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto it = Modules().find(module);
  if (it == Modules().end()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  if (--it->second.references > 0) return true;
  void* handle = it->second.handle;
  if (DllMainFunction main = EntryPoint(handle)) main(module, kProcessDetach, nullptr);
  Modules().erase(it);
  dlclose(handle);
  return true;
}

void* ModuleSymbol(HMODULE module, const char* name) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto it = Modules().find(module);
  if (it == Modules().end()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* symbol = name ? dlsym(it->second.handle, name) : nullptr;
  if (!symbol) SetLastError(ERROR_PROC_NOT_FOUND);
  return symbol;
}

}  // namespace qz

extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  if (!lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::wstring_view name(lpLibFileName);
  std::optional<std::string> path =
      name[0] == L'/' ? std::optional<std::string>(qz::ToUtf8(name)) : qz::MapWindowsPath(name);
  if (!path) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return qz::LoadModule(*path);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) { return qz::FreeModule(hLibModule) ? TRUE : FALSE; }

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  return qz::ModuleSymbol(hModule, lpProcName);
}
