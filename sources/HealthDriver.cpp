// Access to the server's health driver: device opening, command framing and physical-memory reads.
#include "sources/HealthDriver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "support/CommonLog.h"

constinit std::atomic<bool> g_bPrimaryDriverDevice{true};

namespace {

// The answer frame: the driver's 16-bit supplied length, then the answer data, plus one spare byte.
constexpr DWORD kFrameHeader = 2;
constexpr DWORD kFrameExtra = 3;

HANDLE OpenDevice(const WCHAR* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

}  // namespace

bool OpenHealthDriver(HANDLE& device) {
  device = OpenDevice(kPrimaryDriverDevice);
  if (device != INVALID_HANDLE_VALUE) return true;
  // Several provider threads may open at once; the flag only ever falls.
  g_bPrimaryDriverDevice.store(false, std::memory_order_relaxed);
  device = OpenDevice(kSecondaryDriverDevice);
  return device != INVALID_HANDLE_VALUE;
}

void CloseHealthDriver(HANDLE& device) {
  if (device != INVALID_HANDLE_VALUE && device != nullptr) CloseHandle(device);
  device = INVALID_HANDLE_VALUE;
}

bool OpenHealthDriver(CAutoHandle& device) {
  HANDLE opened = INVALID_HANDLE_VALUE;
  const bool ok = OpenHealthDriver(opened);
  device.Reset(opened);
  return ok;
}

void LogHealthDriverNotFound(const WCHAR* functionName) {
  g_CommonLog.LogAs(functionName, kSeverityInformation, L"Health (or MQZ) driver not found");
}

int DriverCommand(HANDLE device, WORD command, void* answer, WORD& length, std::initializer_list<DWORD> params) {
  DriverCommandRequest request{};
  request.command = command;
  request.requestedLength = length;
  size_t count = 0;
  for (DWORD param : params) {
    if (count == kMaxCommandParams) break;
    request.params[count++] = static_cast<BYTE>(param);
  }
  const DWORD frameSize = DWORD{length} + kFrameExtra;
  std::unique_ptr<BYTE[]> frame(new (std::nothrow) BYTE[frameSize]());
  if (!frame) return 1;
  DWORD returned = 0;
  if (!DeviceIoControl(device, kIoctlDriverCommand, &request, sizeof(request), frame.get(), frameSize, &returned,
                       nullptr))
    return 1;
  WORD supplied = static_cast<WORD>(frame[0] | frame[1] << 8);
  if (answer) std::memcpy(answer, frame.get() + kFrameHeader, std::min(length, supplied));
  return 0;
}

BOOL ReadPhysicalMemory(DWORD address, DWORD length, void* buffer) {
  HANDLE device = OpenDevice(kSecondaryDriverDevice);
  if (device == INVALID_HANDLE_VALUE) return FALSE;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, kIoctlReadPhysicalMemory, &address, sizeof(address), buffer, length, &returned,
                            nullptr);
  CloseHandle(device);
  return ok;
}
