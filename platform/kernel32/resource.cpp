// Module resources: the tables that qzrc generates, filed by module, and the Win32 functions that
// find, load and read them.
#include <list>
#include <mutex>
#include <optional>

#include "kernel32/module.h"
#include "kernel32/text.h"
#include "qzplatform.h"

namespace qz {
namespace {

constexpr WORD kStringType = 6;  // RT_STRING
constexpr WORD kUsEnglish = 0x0409;

struct ResourceTable {
  HMODULE base;
  std::wstring name;  // upper case, as module names compare
  const QzResourceEntry* entries;
  size_t count;
};

struct ResourceRegistry {
  std::mutex lock;
  std::list<ResourceTable> tables;
};

// Never destroyed: tables are filed and taken back by statics of other modules, in any order.
ResourceRegistry& Registry() {
  static ResourceRegistry* registry = new ResourceRegistry;
  return *registry;
}

// An integer type matches the entry's number, a named type its name without regard to case.
bool TypeMatches(const QzResourceEntry& entry, LPCWSTR type) {
  if (IS_INTRESOURCE(type)) return !entry.typeName && entry.type == LOWORD(type);
  return entry.typeName && UpperAscii(type) == UpperAscii(entry.typeName);
}

// Finds a resource of the module at `base`; `language` empty takes the lowest language present.
const QzResourceEntry* Lookup(HMODULE base, LPCWSTR type, LPCWSTR name, std::optional<WORD> language, DWORD& error) {
  ResourceRegistry& registry = Registry();
  std::lock_guard<std::mutex> hold(registry.lock);
  bool anyTable = false, anyType = false, anyName = false;
  const QzResourceEntry* best = nullptr;
  for (const ResourceTable& table : registry.tables) {
    if (table.base != base) continue;
    anyTable = true;
    for (size_t i = 0; i < table.count; ++i) {
      const QzResourceEntry& entry = table.entries[i];
      if (!TypeMatches(entry, type)) continue;
      anyType = true;
      if (!IS_INTRESOURCE(name) || entry.name != LOWORD(name)) continue;
      anyName = true;
      if (language ? entry.language == *language : (!best || entry.language < best->language)) {
        if (language) return &entry;
        best = &entry;
      }
    }
  }
  if (best) return best;
  error = !anyTable  ? ERROR_RESOURCE_DATA_NOT_FOUND
          : !anyType ? ERROR_RESOURCE_TYPE_NOT_FOUND
          : !anyName ? ERROR_RESOURCE_NAME_NOT_FOUND
                     : ERROR_RESOURCE_LANG_NOT_FOUND;
  return nullptr;
}

// The table that an HRSRC points into, or nullptr for anything that is not one of ours.
const ResourceTable* TableOf(HRSRC resource) {
  auto* entry = reinterpret_cast<const QzResourceEntry*>(resource);
  for (const ResourceTable& table : Registry().tables)
    if (entry >= table.entries && entry < table.entries + table.count) return &table;
  return nullptr;
}

HMODULE ModuleOrProgram(HMODULE module) { return module ? module : GetModuleHandleW(nullptr); }

}  // namespace

bool ModuleHasResourceName(HMODULE base, const std::wstring& name) {
  ResourceRegistry& registry = Registry();
  std::lock_guard<std::mutex> hold(registry.lock);
  for (const ResourceTable& table : registry.tables)
    if (table.base == base && table.name == name) return true;
  return false;
}

}  // namespace qz

extern "C" void QzRegisterResources(const void* anchor, const char* moduleName, const QzResourceEntry* entries,
                                    size_t count) {
  HMODULE base = qz::ModuleBaseOf(anchor);
  if (!base || !entries) return;
  std::wstring name = qz::UpperAscii(qz::FromUtf8(moduleName ? moduleName : ""));
  size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  qz::ResourceTable table{base, name, entries, count};
  qz::ResourceRegistry& registry = qz::Registry();
  std::lock_guard<std::mutex> hold(registry.lock);
  registry.tables.push_back(std::move(table));
}

extern "C" void QzUnregisterResources(const QzResourceEntry* entries) {
  qz::ResourceRegistry& registry = qz::Registry();
  std::lock_guard<std::mutex> hold(registry.lock);
  registry.tables.remove_if([&](const qz::ResourceTable& table) { return table.entries == entries; });
}

extern "C" HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
  DWORD error = ERROR_SUCCESS;
  std::optional<WORD> language;
  if (wLanguage != MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) language = wLanguage;
  const QzResourceEntry* entry = qz::Lookup(qz::ModuleOrProgram(hModule), lpType, lpName, language, error);
  if (!entry) SetLastError(error);
  return reinterpret_cast<HRSRC>(const_cast<QzResourceEntry*>(entry));
}

extern "C" HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
  HMODULE base = qz::ModuleOrProgram(hModule);
  LANGID thread = LANGIDFROMLCID(GetThreadLocale());
  const WORD preferred[] = {MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), thread,
                            static_cast<WORD>(MAKELANGID(PRIMARYLANGID(thread), SUBLANG_NEUTRAL)), qz::kUsEnglish};
  DWORD error = ERROR_SUCCESS;
  for (WORD language : preferred) {
    if (const QzResourceEntry* entry = qz::Lookup(base, lpType, lpName, language, error))
      return reinterpret_cast<HRSRC>(const_cast<QzResourceEntry*>(entry));
    if (error != ERROR_RESOURCE_LANG_NOT_FOUND) break;
  }
  if (error == ERROR_RESOURCE_LANG_NOT_FOUND) {
    if (const QzResourceEntry* entry = qz::Lookup(base, lpType, lpName, std::nullopt, error))
      return reinterpret_cast<HRSRC>(const_cast<QzResourceEntry*>(entry));
  }
  SetLastError(error);
  return nullptr;
}

extern "C" HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
  qz::ResourceRegistry& registry = qz::Registry();
  std::lock_guard<std::mutex> hold(registry.lock);
  if (!hResInfo || !qz::TableOf(hResInfo)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<BYTE*>(reinterpret_cast<const QzResourceEntry*>(hResInfo)->data);
}

extern "C" LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

extern "C" DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
  qz::ResourceRegistry& registry = qz::Registry();
  std::lock_guard<std::mutex> hold(registry.lock);
  if (!hResInfo || !qz::TableOf(hResInfo)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return reinterpret_cast<const QzResourceEntry*>(hResInfo)->size;
}

