// The thread locale, the ANSI code page (Windows-1252) and UTF-8, and locale-aware string comparison.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

#include "kernel32/path.h"
#include "windows.h"

namespace {

constexpr LCID kDefaultLcid = 1033;
constexpr UINT kAnsiCodePage = 1252;
constexpr DWORD kWcErrInvalidChars = 0x00000080;

// POSIX locale names and their LCIDs; the first row of a language also answers for the bare language.
struct LocaleRow {
  const char* name;
  LCID lcid;
};
constexpr LocaleRow kLocales[] = {
    {"en_US", 1033}, {"en_GB", 2057}, {"en_AU", 3081}, {"en_CA", 4105}, {"en_NZ", 5129}, {"en_IE", 6153},
    {"de_DE", 1031}, {"de_CH", 2055}, {"de_AT", 3079}, {"fr_FR", 1036}, {"fr_BE", 2060}, {"fr_CA", 3084},
    {"fr_CH", 4108}, {"es_ES", 3082}, {"es_MX", 2058}, {"it_IT", 1040}, {"it_CH", 2064}, {"nl_NL", 1043},
    {"nl_BE", 2067}, {"pt_BR", 1046}, {"pt_PT", 2070}, {"sv_SE", 1053}, {"da_DK", 1030}, {"nb_NO", 1044},
    {"fi_FI", 1035}, {"pl_PL", 1045}, {"cs_CZ", 1029}, {"hu_HU", 1038}, {"ru_RU", 1049}, {"tr_TR", 1055},
    {"el_GR", 1032}, {"ja_JP", 1041}, {"ko_KR", 1042}, {"zh_CN", 2052}, {"zh_TW", 1028},
};

// Windows-1252 bytes 0x80 to 0x9F; the five bytes the code page leaves undefined map to the C1
// control of the same value, as Windows converts them.
constexpr wchar_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

LCID LcidFromPosixName(const char* value) {
  if (!value || !*value) return 0;
  std::string_view name(value);
  name = name.substr(0, name.find_first_of(".@"));
  if (name == "C" || name == "POSIX") return kDefaultLcid;
  for (const LocaleRow& row : kLocales)
    if (name == row.name) return row.lcid;
  std::string_view language = name.substr(0, name.find('_'));
  for (const LocaleRow& row : kLocales)
    if (std::string_view(row.name).substr(0, 2) == language) return row.lcid;
  return kDefaultLcid;
}

// POSIX precedence: LC_ALL, then LC_MESSAGES, then LANG; the first that is set decides.
LCID ProcessLcid() {
  static const LCID lcid = [] {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      LCID found = LcidFromPosixName(getenv(variable));
      if (found) return found;
    }
    return kDefaultLcid;
  }();
  return lcid;
}

thread_local LCID t_ThreadLocale = 0;  // 0: not set yet, the process's locale

bool IsKnownLcid(LCID lcid) {
  for (const LocaleRow& row : kLocales)
    if (row.lcid == lcid) return true;
  return false;
}

bool IsAnsiCodePage(UINT code_page) {
  return code_page == CP_ACP || code_page == CP_THREAD_ACP || code_page == kAnsiCodePage;
}

wchar_t Cp1252ToWide(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kCp1252High[byte - 0x80];
  return byte;
}

// The byte for a character, or -1 when Windows-1252 has none.
int WideToCp1252(wchar_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c) return 0x80 + i;
  return -1;
}

// Strict UTF-8: overlong forms, surrogates and values past U+10FFFF are invalid; each invalid
// sequence becomes one U+FFFD.
bool DecodeUtf8(std::string_view in, std::wstring* out) {
  bool valid = true;
  size_t i = 0;
  while (i < in.size()) {
    unsigned char b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {
      *out += static_cast<wchar_t>(b);
      ++i;
      continue;
    }
    size_t extra = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : 0;
    uint32_t c = extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    size_t k = 1;
    for (; extra && k <= extra && i + k < in.size(); ++k) {
      unsigned char next = static_cast<unsigned char>(in[i + k]);
      unsigned char low = 0x80, high = 0xBF;
      if (k == 1 && b == 0xE0) low = 0xA0;
      if (k == 1 && b == 0xED) high = 0x9F;
      if (k == 1 && b == 0xF0) low = 0x90;
      if (k == 1 && b == 0xF4) high = 0x8F;
      if (next < low || next > high) break;
      c = (c << 6) | (next & 0x3F);
    }
    if (!extra || k <= extra) {
      *out += L'\xFFFD';
      valid = false;
      i += extra ? k : 1;
      continue;
    }
    *out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return valid;
}

bool EncodeUtf8(std::wstring_view in, std::string* out) {
  bool valid = true;
  for (wchar_t wc : in) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      c = 0xFFFD;
      valid = false;
    }
    if (c < 0x80) {
      *out += static_cast<char>(c);
    } else if (c < 0x800) {
      *out += static_cast<char>(0xC0 | (c >> 6));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out += static_cast<char>(0xE0 | (c >> 12));
      *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (c >> 18));
      *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return valid;
}

// Copies a converted string out: its length when it fits (or when only the size is asked for),
// else 0 with ERROR_INSUFFICIENT_BUFFER.
template <class Char>
int CopyOut(const std::basic_string<Char>& converted, Char* out, int size) {
  int needed = static_cast<int>(converted.size());
  if (size == 0) return needed;
  if (size < needed) {
    converted.copy(out, static_cast<size_t>(size));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  converted.copy(out, converted.size());
  return needed;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

extern "C" LCID WINAPI GetThreadLocale(void) {
  if (!t_ThreadLocale) t_ThreadLocale = ProcessLcid();
  return t_ThreadLocale;
}

extern "C" BOOL WINAPI SetThreadLocale(LCID Locale) {
  // The default locales stand for the locale they name, as ConvertDefaultLocale resolves them.
  if (Locale == LOCALE_SYSTEM_DEFAULT || Locale == LOCALE_USER_DEFAULT || Locale == LOCALE_NEUTRAL) {
    t_ThreadLocale = ProcessLcid();
    return TRUE;
  }
  if (!IsKnownLcid(Locale)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  t_ThreadLocale = Locale;
  return TRUE;
}

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (!lpWideCharStr && cchWideChar))
    return Fail(ERROR_INVALID_PARAMETER);
  size_t length = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  std::string_view in(lpMultiByteStr, length);
  std::wstring converted;
  converted.reserve(length);
  if (CodePage == CP_UTF8) {
    if (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) return Fail(ERROR_INVALID_FLAGS);
    if (!DecodeUtf8(in, &converted) && (dwFlags & MB_ERR_INVALID_CHARS))
      return Fail(ERROR_NO_UNICODE_TRANSLATION);
  } else if (IsAnsiCodePage(CodePage)) {
    for (char byte : in) converted += Cp1252ToWide(static_cast<unsigned char>(byte));
  } else {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return CopyOut(converted, lpWideCharStr, cchWideChar);
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (!lpMultiByteStr && cbMultiByte))
    return Fail(ERROR_INVALID_PARAMETER);
  size_t length = cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  std::wstring_view in(lpWideCharStr, length);
  std::string converted;
  converted.reserve(length);
  if (CodePage == CP_UTF8) {
    if (lpDefaultChar || lpUsedDefaultChar) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~kWcErrInvalidChars) return Fail(ERROR_INVALID_FLAGS);
    if (!EncodeUtf8(in, &converted) && (dwFlags & kWcErrInvalidChars)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  } else if (IsAnsiCodePage(CodePage)) {
    // No best-fit table: a character the code page lacks becomes the default character.
    char fallback = lpDefaultChar ? *lpDefaultChar : '?';
    bool used = false;
    for (wchar_t c : in) {
      int byte = WideToCp1252(c);
      if (byte < 0) {
        used = true;
        converted += fallback;
      } else {
        converted += static_cast<char>(byte);
      }
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
  } else {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return CopyOut(converted, lpMultiByteStr, cbMultiByte);
}

extern "C" int WINAPI CompareStringW(LCID, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2,
                                     int cchCount2) {
  if (!lpString1 || !lpString2 || cchCount1 < -1 || cchCount2 < -1) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring_view a(lpString1, cchCount1 == -1 ? wcslen(lpString1) : static_cast<size_t>(cchCount1));
  std::wstring_view b(lpString2, cchCount2 == -1 ? wcslen(lpString2) : static_cast<size_t>(cchCount2));
  // Letters compare by their folded form first, so "a" < "B" as in a dictionary; without
  // NORM_IGNORECASE, lower case sorts before upper case among otherwise equal strings.
  size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    wchar_t x = qz::FoldCase(a[i]);
    wchar_t y = qz::FoldCase(b[i]);
    if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  if (dwCmpFlags & NORM_IGNORECASE) return CSTR_EQUAL;
  for (size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return a[i] > b[i] ? CSTR_LESS_THAN : CSTR_GREATER_THAN;  // lower case first
  }
  return CSTR_EQUAL;
}

extern "C" int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 ? 1 : lpString2 ? -1 : 0;
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, lpString1, -1, lpString2, -1) - CSTR_EQUAL;
}

extern "C" int WINAPI lstrlenW(LPCWSTR lpString) { return lpString ? static_cast<int>(wcslen(lpString)) : 0; }
