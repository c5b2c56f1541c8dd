// Module resources: the tables that qzrc generates, filed by module, and the Win32 functions that
// find, load and read them.
#include <list>
#include <map>
#include <mutex>
#include <optional>

#include "kernel32/module.h"
#include "kernel32/text.h"
#include "qzplatform.h"

namespace qz {
namespace {

constexpr WORD kStringType = 6;  // RT_STRING
constexpr UINT kStringsPerBlock = 16;
constexpr WORD kUsEnglish = 0x0409;

struct ResourceTable {
  HMODULE base;
  std::wstring name;  // upper case, as module names compare
  const QzResourceEntry* entries;
  size_t count;
  // Each string of the table once more as the process's wide characters, for LoadStringW's
  // read-only pointers: the blocks themselves hold UTF-16.
  std::map<std::pair<WORD, UINT>, std::wstring> strings;
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

// The strings of one block; a block cut short keeps the entries that are whole.
void DecodeBlock(const QzResourceEntry& entry, std::map<std::pair<WORD, UINT>, std::wstring>& strings) {
  if (entry.name == 0) return;
  size_t at = 0;
  auto word = [&](size_t offset) { return static_cast<WORD>(entry.data[offset] | (entry.data[offset + 1] << 8)); };
  for (UINT index = 0; index < kStringsPerBlock && at + 2 <= entry.size; ++index) {
    size_t length = word(at);
    at += 2;
    if (at + length * 2 > entry.size) return;
    std::wstring text;
    for (size_t i = 0; i < length; ++i) {
      WORD unit = word(at + i * 2);
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < length) {
        WORD low = word(at + (i + 1) * 2);
        if (low >= 0xDC00 && low < 0xE000) {
          text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          ++i;
          continue;
        }
      }
      text += static_cast<wchar_t>(unit);
    }
    at += length * 2;
    if (length) strings[{entry.language, (entry.name - 1u) * kStringsPerBlock + index}] = std::move(text);
  }
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
  qz::ResourceTable table{base, name, entries, count, {}};
  for (size_t i = 0; i < count; ++i)
    if (!entries[i].typeName && entries[i].type == qz::kStringType && entries[i].data) qz::DecodeBlock(entries[i], table.strings);
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

extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A string that is not there leaves an empty buffer, so that careless callers print nothing.
  if (cchBufferMax > 0) lpBuffer[0] = L'\0';
  if (uID > 0xFFFF) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  HRSRC found = FindResourceW(hInstance, MAKEINTRESOURCEW(uID / qz::kStringsPerBlock + 1), RT_STRING);
  if (!found) return 0;
  auto* entry = reinterpret_cast<const QzResourceEntry*>(found);
  qz::ResourceRegistry& registry = qz::Registry();
  std::lock_guard<std::mutex> hold(registry.lock);
  const qz::ResourceTable* table = qz::TableOf(found);
  if (!table) return 0;
  auto text = table->strings.find({entry->language, uID});
  if (text == table->strings.end()) return 0;
  if (cchBufferMax == 0) {
    *reinterpret_cast<const WCHAR**>(lpBuffer) = text->second.c_str();
    return static_cast<int>(text->second.size());
  }
  size_t copied = std::min(text->second.size(), static_cast<size_t>(cchBufferMax - 1));
  text->second.copy(lpBuffer, copied);
  lpBuffer[copied] = L'\0';
  return static_cast<int>(copied);
}
