// The registry of device names that CreateFileW opens through "\\.\NAME" instead of the file system.
#pragma once

#include <string_view>

#include "windows.h"

namespace qz {

// Opens the device for CreateFileW: returns a handle, or INVALID_HANDLE_VALUE with the last error set.
using DeviceOpener = HANDLE (*)(std::wstring_view name, DWORD access, DWORD share_mode, DWORD flags);

// Makes "\\.\name" (and "\\?\name") open through `opener`; names compare ignoring case. A later
// registration of the same name replaces the earlier one; a null opener removes the name.
void RegisterDevice(std::wstring_view name, DeviceOpener opener);

// Opens a device path ("\\.\NAME"); ERROR_FILE_NOT_FOUND when no device of that name is registered.
HANDLE OpenDevice(std::wstring_view path, DWORD access, DWORD share_mode, DWORD flags);

}  // namespace qz
