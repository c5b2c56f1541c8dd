// Windows paths mapped onto the system root, the way drive_c holds drive C:.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qz {

// Maps a Windows path to the Linux path that holds it:
//   "C:\Windows\system32\x.log" -> <root>/drive_c/windows/system32/x.log (any drive X: -> drive_x),
//   "\Windows\x"                -> the same as on drive C: (the current drive is always C:),
//   "/var/tmp/x"                -> itself (a Linux path is taken as it is).
// Backslashes and slashes both separate, repeated separators collapse and "." components drop.
// Each existing component is found case-insensitively; components that do not exist yet keep the
// caller's spelling. Refused, with the last error set only on failure: an empty or relative path
// (also "C:name") with ERROR_PATH_NOT_FOUND, ".." and characters Windows forbids in names with
// ERROR_INVALID_NAME, device paths (\\.\ and \\?\) with ERROR_FILE_NOT_FOUND, UNC paths with
// ERROR_BAD_PATHNAME.
std::optional<std::string> MapWindowsPath(std::wstring_view path);

// True for "\\.\NAME" and "\\?\NAME" (either separator): names that belong to the device layer.
bool IsDevicePath(std::wstring_view path);

// The folders that a fresh root gets, relative to the root: the Windows directory and its
// system32\wbem\logs.
inline constexpr const char* kWindowsDirs[] = {"drive_c/windows/system32/wbem/logs"};

// The case folding under which Windows compares names: ASCII and Latin-1 letters to lower case.
inline wchar_t FoldCase(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<wchar_t>(c + 0x20);
  if (c == 0x178) return 0xFF;
  return c;
}

}  // namespace qz
