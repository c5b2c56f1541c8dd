// Device I/O control: the requests a program sends to a driver through a device handle.
#pragma once

#include "errhandlingapi.h"

// The parts of an I/O control code: device type, required access, function number, buffering.
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

// Sends `dwIoControlCode` to the device behind `hDevice` with an input and an output buffer. On
// success the number of output bytes written goes to *lpBytesReturned. Handles that are not devices
// fail with ERROR_INVALID_HANDLE, except files, which refuse every code with ERROR_INVALID_FUNCTION.
// Requests always complete before the call returns; `lpOverlapped` is accepted and not used.
WINBASEAPI BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
