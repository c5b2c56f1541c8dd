// A server module for the command's tests that prints to standard output while it loads, registers
// and unloads, as real modules print diagnostics, and records its registration in the registry.
#include <windows.h>
#include <winreg.h>

#include <cstdio>
#include <cstdlib>

#define QZ_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
constexpr wchar_t kKey[] = L"Software\\QzwmiTests\\PrintingServer";
}

QZ_EXPORT BOOL DllMain(HINSTANCE, DWORD reason, LPVOID) {
  std::printf("PrintingServer: DllMain %u\n", static_cast<unsigned>(reason));
  // The tests make the load itself fail.
  return reason == 1 && std::getenv("QZWMI_TEST_DLLMAIN_FAILS") ? FALSE : TRUE;
}

QZ_EXPORT HRESULT DllRegisterServer() {
  std::printf("PrintingServer: registering\n");
  // The tests make registration fail with a code that has no name.
  if (std::getenv("QZWMI_TEST_REGISTER_FAILS")) return SELFREG_E_CLASS;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  const DWORD one = 1;
  RegSetValueExW(key, L"Registered", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  RegCloseKey(key);
  return S_OK;
}

QZ_EXPORT HRESULT DllUnregisterServer() {
  std::printf("PrintingServer: unregistering\n");
  return RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey) == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}
