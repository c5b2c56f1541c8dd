// Keeps provider output out of the results, registers server modules and sets up a fresh root.
#include "Setup.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <wbemcli.h>

#include <atlbase.h>
#include <cstdio>
#include <filesystem>

#include "qzplatform.h"

namespace qzwmi {
namespace {

constexpr wchar_t kProviderClassKey[] = L"CLSID\\{D57B64F7-8728-4717-BD9C-A09719A06BA0}\\InprocServer32";
constexpr wchar_t kProviderNamespace[] = L"root\\VXN";
constexpr wchar_t kProviderClass[] = L"QZ_MemoryModule";

using DllMainFunction = BOOL (*)(HINSTANCE, DWORD, LPVOID);
using RegisterFunction = HRESULT (*)();
constexpr DWORD kProcessDetach = 0;
constexpr DWORD kProcessAttach = 1;

bool ProviderClassRegistered() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kProviderClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ProviderClassDefined() {
  CComPtr<IWbemLocator> locator;
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(&locator))))
    return false;
  CComPtr<IWbemServices> services;
  if (FAILED(locator->ConnectServer(CComBSTR(kProviderNamespace), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    &services)))
    return false;
  CComPtr<IWbemClassObject> cls;
  return SUCCEEDED(services->GetObject(CComBSTR(kProviderClass), 0, nullptr, &cls, nullptr));
}

}  // namespace

int SeparateStandardOutput() {
  const std::filesystem::path folder =
      std::filesystem::path(QzGetSystemRoot()) / "drive_c" / "windows" / "system32" / "wbem" / "logs";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const int log = open((folder / "provider-stdout.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) return -1;
  std::fflush(stdout);
  const int results = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (results < 0 || dup2(log, STDOUT_FILENO) < 0) {
    if (results >= 0) close(results);
    close(log);
    return -1;
  }
  close(log);
  return results;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(written);
  }
}

HRESULT RegisterModule(const std::string& path, bool unregister) {
  void* module = dlopen(path.c_str(), RTLD_NOW);
  if (!module) return CO_E_DLLNOTFOUND;
  auto entry = reinterpret_cast<RegisterFunction>(dlsym(module, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
  auto dllMain = reinterpret_cast<DllMainFunction>(dlsym(module, "DllMain"));
  HINSTANCE instance = nullptr;
  Dl_info info{};
  if (entry && dladdr(reinterpret_cast<void*>(entry), &info) && info.dli_fbase)
    instance = static_cast<HINSTANCE>(info.dli_fbase);
  HRESULT hr = CO_E_ERRORINDLL;
  if (entry) {
    // A module whose initialisation fails is not loaded, as the system's loader refuses it.
    if (dllMain && !dllMain(instance, kProcessAttach, nullptr)) {
      dlclose(module);
      return HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED);
    }
    hr = entry();
    if (dllMain) dllMain(instance, kProcessDetach, nullptr);
  }
  dlclose(module);
  return hr;
}

const char* DefaultModulePath() { return QZ_MODULE_PATH; }

void SetUpFirstUse() {
  if (!ProviderClassRegistered() && std::filesystem::exists(DefaultModulePath()))
    RegisterModule(DefaultModulePath(), false);
  if (!ProviderClassDefined()) QzCompileMofFile(QZ_MOF_PATH, TRUE, nullptr, 0);
}

}  // namespace qzwmi
