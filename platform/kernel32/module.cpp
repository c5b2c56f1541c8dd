// Loaded modules: module handles as image bases of the process's ELF objects, and their file names.
#include "kernel32/module.h"

#include <link.h>
#include <unistd.h>

#include <climits>

#include "kernel32/text.h"

namespace qz {
namespace {

struct ObjectView {
  uintptr_t base;
  uintptr_t end;
  const char* name;
};

// The base is where the lowest loadable segment starts; for a position-dependent program that is
// its link address, not the (zero) load bias, so that no module handle is NULL.
ObjectView ViewOf(const dl_phdr_info* info) {
  uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    uintptr_t pageStart = start & ~static_cast<uintptr_t>(getpagesize() - 1);
    if (pageStart < low) low = pageStart;
    if (start + segment.p_memsz > high) high = start + segment.p_memsz;
  }
  return {low == UINTPTR_MAX ? 0 : low, high, info->dlpi_name};
}

std::string ProgramPath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// The base name without case, as module names compare.
std::wstring BaseNameUpper(std::wstring_view path) {
  size_t slash = path.find_last_of(L"\\/");
  return UpperAscii(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
}

// Whether a loaded object's file base name answers to the asked name: the same name, or for a
// Windows "X.DLL" the shared objects "X.SO" and "LIBX.SO", with or without a version ("X.SO.1").
bool FileNameMatches(const std::wstring& fileName, const std::wstring& wanted) {
  if (fileName == wanted) return true;
  static const std::wstring kDll = L".DLL";
  if (wanted.size() <= kDll.size() || wanted.compare(wanted.size() - kDll.size(), kDll.size(), kDll) != 0)
    return false;
  std::wstring stem = wanted.substr(0, wanted.size() - kDll.size());
  for (const std::wstring& candidate : {stem + L".SO", L"LIB" + stem + L".SO"}) {
    if (fileName == candidate) return true;
    if (fileName.size() > candidate.size() + 1 && fileName.compare(0, candidate.size(), candidate) == 0 &&
        fileName[candidate.size()] == L'.')
      return true;
  }
  return false;
}

}  // namespace

std::vector<LoadedModule> LoadedModules() {
  std::vector<LoadedModule> modules;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* list = static_cast<std::vector<LoadedModule>*>(data);
        ObjectView view = ViewOf(info);
        if (view.base == 0) return 0;
        // The program comes first and has no name of its own in the list.
        std::string path = list->empty() ? ProgramPath() : std::string(view.name ? view.name : "");
        list->push_back({reinterpret_cast<HMODULE>(view.base), path});
        return 0;
      },
      &modules);
  return modules;
}

HMODULE ModuleBaseOf(const void* address) {
  struct Search {
    uintptr_t address;
    uintptr_t base;
  } search{reinterpret_cast<uintptr_t>(address), 0};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* wanted = static_cast<Search*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          uintptr_t start = info->dlpi_addr + segment.p_vaddr;
          if (segment.p_type == PT_LOAD && wanted->address >= start && wanted->address < start + segment.p_memsz) {
            wanted->base = ViewOf(info).base;
            return 1;
          }
        }
        return 0;
      },
      &search);
  return reinterpret_cast<HMODULE>(search.base);
}

}  // namespace qz

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  std::vector<qz::LoadedModule> modules = qz::LoadedModules();
  if (!lpModuleName) return modules.empty() ? nullptr : modules.front().base;
  std::wstring wanted = qz::BaseNameUpper(lpModuleName);
  // A name without an extension means a DLL, as LoadLibrary reads it.
  if (wanted.find(L'.') == std::wstring::npos) wanted += L".DLL";
  for (const qz::LoadedModule& module : modules) {
    if (qz::ModuleHasResourceName(module.base, wanted)) return module.base;
    if (!module.path.empty() && qz::FileNameMatches(qz::BaseNameUpper(qz::FromUtf8(module.path)), wanted))
      return module.base;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

extern "C" BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  if (phModule) *phModule = nullptr;
  if (!phModule || !(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HMODULE module = (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) ? qz::ModuleBaseOf(lpModuleName)
                                                                      : GetModuleHandleW(lpModuleName);
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  *phModule = module;
  return TRUE;
}

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  std::vector<qz::LoadedModule> modules = qz::LoadedModules();
  const qz::LoadedModule* found = nullptr;
  for (const qz::LoadedModule& module : modules) {
    if (hModule ? module.base == hModule : &module == &modules.front()) {
      found = &module;
      break;
    }
  }
  if (!found || found->path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize == 0 || !lpFilename) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wstring path = qz::FromUtf8(found->path);
  if (path.size() >= nSize) {
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  path.copy(lpFilename, path.size());
  lpFilename[path.size()] = L'\0';
  return static_cast<DWORD>(path.size());
}
