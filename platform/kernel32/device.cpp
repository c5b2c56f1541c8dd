// DeviceIoControl: requests to an open device, handed to the device object behind the handle.
#include <memory>

#include "kernel32/device.h"
#include "kernel32/handles.h"
#include "windows.h"

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED) {
  std::shared_ptr<qz::KernelObject> object = qz::LookupHandle(hDevice);
  if (!object) return FALSE;
  if (lpBytesReturned) *lpBytesReturned = 0;
  // A disk file is a device too on Windows; its driver knows none of the codes a program sends here.
  if (object->Type() == qz::ObjectType::File) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (object->Type() != qz::ObjectType::Device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  DWORD returned = 0;
  auto& device = static_cast<qz::DeviceObject&>(*object);
  BOOL ok = device.IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &returned);
  if (ok && lpBytesReturned) *lpBytesReturned = returned;
  return ok;
}
