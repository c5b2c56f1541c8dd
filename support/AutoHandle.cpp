// Reading the registry values that configure the logs.
#include "support/AutoHandle.h"

#include <vector>

bool ReadRegDword(HKEY key, const WCHAR* name, DWORD* value) {
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
    return false;
  if (type != REG_DWORD || size != sizeof data) return false;
  *value = data;
  return true;
}

bool ReadRegString(HKEY key, const WCHAR* name, std::wstring* value) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::vector<WCHAR> text(size / sizeof(WCHAR) + 1, L'\0');
  DWORD read = size;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &read) != ERROR_SUCCESS)
    return false;
  // The stored text need not carry its terminator; the buffer has one more zero either way.
  value->assign(text.data());
  return true;
}
