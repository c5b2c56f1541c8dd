// Loads the module's strings from its string table blocks, with the US English fallback.
#include "support/ResourceString.h"

#include <atomic>

namespace {

constexpr UINT kStringsPerBlock = 16;
constexpr WORD kFallbackLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr DWORD kLanguageUnset = 0xFFFFFFFF;

// The module and language of the first call. Any thread may be first: every thread finds the same
// module, and the language of the thread that stores first is kept.
std::atomic<bool> g_ModuleKnown{false};
std::atomic<HMODULE> g_Module{nullptr};
std::atomic<DWORD> g_Language{kLanguageUnset};

// Looks `number` up in one language: its block, then its entry, each entry a 16-bit length followed
// by that many UTF-16 units. A missing block, a missing entry and an empty entry all fail.
bool FindString(HMODULE module, WORD language, UINT number, std::wstring& text) {
  HRSRC resource = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(number / kStringsPerBlock + 1), language);
  if (!resource) return false;
  HGLOBAL loaded = LoadResource(module, resource);
  const BYTE* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  DWORD size = SizeofResource(module, resource);
  if (!bytes) return false;
  auto word = [bytes](DWORD offset) { return static_cast<WORD>(bytes[offset] | (bytes[offset + 1] << 8)); };
  DWORD at = 0;
  for (UINT index = 0; index < number % kStringsPerBlock; ++index) {
    if (at + 2 > size) return false;
    at += 2 + 2u * word(at);
  }
  if (at + 2 > size) return false;
  DWORD length = word(at);
  at += 2;
  if (length == 0 || at + 2 * length > size) return false;
  text.clear();
  for (DWORD i = 0; i < length; ++i) {
    WORD unit = word(at + 2 * i);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < length) {
      WORD low = word(at + 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    text += static_cast<wchar_t>(unit);
  }
  return true;
}

}  // namespace

std::wstring LoadResourceString(const wchar_t* moduleFileName, UINT number) {
  if (!g_ModuleKnown.load(std::memory_order_acquire)) {
    g_Module.store(GetModuleHandleW(moduleFileName), std::memory_order_relaxed);
    g_ModuleKnown.store(true, std::memory_order_release);
  }
  DWORD language = kLanguageUnset;
  DWORD mine = LANGIDFROMLCID(GetThreadLocale());
  if (!g_Language.compare_exchange_strong(language, mine, std::memory_order_relaxed)) mine = language;
  HMODULE module = g_Module.load(std::memory_order_relaxed);
  std::wstring text;
  if (FindString(module, static_cast<WORD>(mine), number, text)) return text;
  if (FindString(module, kFallbackLanguage, number, text)) return text;
  return kStringNotFound;
}
