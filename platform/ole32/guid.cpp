// GUIDs as text ("{D57B64F7-8728-4717-BD9C-A09719A06BA0}", or a ProgID registered in
// HKEY_CLASSES_ROOT) and task memory.
#include <objbase.h>
#include <winreg.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

// Positions of the 16 bytes' hex digits in the braced form, in the order Data1 (big end first),
// Data2, Data3, Data4[0..7].
constexpr int kGuidTextLength = 38;  // without the terminator
constexpr int kDashes[] = {9, 14, 19, 24};

int HexValue(WCHAR c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[pos]; false on any other character.
bool ReadHex(LPCOLESTR text, int pos, int digits, uint32_t* value) {
  uint32_t result = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = HexValue(text[pos + i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

// Parses exactly the braced form, hex digits in either case.
bool ParseGuid(LPCOLESTR text, GUID* guid) {
  if (std::wcslen(text) != kGuidTextLength) return false;
  if (text[0] != L'{' || text[kGuidTextLength - 1] != L'}') return false;
  for (int dash : kDashes)
    if (text[dash] != L'-') return false;
  uint32_t value = 0;
  GUID result{};
  if (!ReadHex(text, 1, 8, &value)) return false;
  result.Data1 = value;
  if (!ReadHex(text, 10, 4, &value)) return false;
  result.Data2 = static_cast<uint16_t>(value);
  if (!ReadHex(text, 15, 4, &value)) return false;
  result.Data3 = static_cast<uint16_t>(value);
  constexpr int kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePositions[i], 2, &value)) return false;
    result.Data4[i] = static_cast<uint8_t>(value);
  }
  *guid = result;
  return true;
}

// The CLSID that a ProgID names: the default value of HKEY_CLASSES_ROOT\<ProgID>\CLSID.
bool ClsidOfProgId(LPCOLESTR progId, CLSID* clsid) {
  if (!*progId) return false;
  HKEY key = nullptr;
  const std::wstring keyName = std::wstring(progId) + L"\\CLSID";
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  std::vector<WCHAR> text(CHARS_IN_GUID + 1, L'\0');
  DWORD size = static_cast<DWORD>((text.size() - 1) * sizeof(WCHAR));
  DWORD type = REG_NONE;
  const LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ && ParseGuid(text.data(), clsid);
}

}  // namespace

extern "C" {

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < CHARS_IN_GUID) return 0;
  std::swprintf(lpsz, CHARS_IN_GUID, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", rguid.Data1, rguid.Data2,
                rguid.Data3, rguid.Data4[0], rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4],
                rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
  return CHARS_IN_GUID;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz) {
    *pclsid = CLSID_NULL;
    return S_OK;
  }
  if (ParseGuid(lpsz, pclsid)) return S_OK;
  if (lpsz[0] != L'{' && ClsidOfProgId(lpsz, pclsid)) return S_OK;
  // Text that is no CLSID nor a registered ProgID leaves the null CLSID behind, so that a caller ignoring the result
  // cannot activate a half-parsed class.
  *pclsid = CLSID_NULL;
  return CO_E_CLASSSTRING;
}

}  // extern "C"
