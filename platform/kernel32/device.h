// The registry of device names that CreateFileW opens through "\\.\NAME" instead of the file system,
// and the kernel object behind an open device handle.
#pragma once

#include <string_view>

#include "kernel32/handles.h"
#include "windows.h"

namespace qz {

// An open device: what a device opener allocates a handle for. DeviceIoControl hands each request to
// IoControl, which fills at most `out_size` bytes of `out`, sets *returned and returns TRUE, or sets
// the last error and returns FALSE.
class DeviceObject : public KernelObject {
 public:
  DeviceObject() : KernelObject(ObjectType::Device) {}
  virtual BOOL IoControl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) = 0;
};

// Opens the device for CreateFileW: returns a handle, or INVALID_HANDLE_VALUE with the last error set.
using DeviceOpener = HANDLE (*)(std::wstring_view name, DWORD access, DWORD share_mode, DWORD flags);

// Makes "\\.\name" (and "\\?\name") open through `opener`; names compare ignoring case. A later
// registration of the same name replaces the earlier one; a null opener removes the name.
void RegisterDevice(std::wstring_view name, DeviceOpener opener);

// Opens a device path ("\\.\NAME"); ERROR_FILE_NOT_FOUND when no device of that name is registered.
HANDLE OpenDevice(std::wstring_view path, DWORD access, DWORD share_mode, DWORD flags);

}  // namespace qz
