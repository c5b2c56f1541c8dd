// Keeps provider output out of the results, registers server modules and sets up a fresh root.
#include "Setup.h"

#include <fcntl.h>
#include <unistd.h>
#include <wbemcli.h>

#include <atlbase.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Output.h"
#include "qzplatform.h"

namespace qzwmi {
namespace {

constexpr wchar_t kProviderClassKey[] = L"CLSID\\{D57B64F7-8728-4717-BD9C-A09719A06BA0}\\InprocServer32";
constexpr wchar_t kProviderNamespace[] = L"root\\VXN";
constexpr wchar_t kProviderClass[] = L"QZ_MemoryModule";
constexpr wchar_t kStateKey[] = L"Software\\Tarnwell\\qzwmi";
constexpr wchar_t kFirstUseDone[] = L"FirstUseDone";

using RegisterFunction = HRESULT (*)();

enum class Registration { None, Present, ModuleGone };

// A registration whose module file has gone is one left by a build that has since been removed, or by
// an earlier installation: the module of this one takes its place.
Registration ProviderRegistration() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kProviderClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return Registration::None;
  WCHAR path[4096] = L"";
  DWORD size = sizeof path - sizeof(WCHAR);
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return Registration::ModuleGone;
  std::error_code error;
  return std::filesystem::exists(Utf8(path), error) ? Registration::Present : Registration::ModuleGone;
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

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

int WriteFailed() {
  std::fprintf(stderr, "qzwmi: cannot write the results: %s\n", std::strerror(errno));
  return 1;
}

HRESULT RegisterModule(const std::string& path, bool unregister) {
  HMODULE module = LoadLibraryW(Wide(path).c_str());
  if (!module) {
    const DWORD error = GetLastError();
    return error == ERROR_DLL_INIT_FAILED ? HRESULT_FROM_WIN32(error) : CO_E_DLLNOTFOUND;
  }
  auto entry = reinterpret_cast<RegisterFunction>(
      GetProcAddress(module, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
  // The registration's many registry changes, written at once.
  QzRegBeginBatch();
  const HRESULT hr = entry ? entry() : CO_E_ERRORINDLL;
  QzRegEndBatch();
  FreeLibrary(module);
  return hr;
}

const char* DefaultModulePath() {
  static const std::string path = std::string(QzGetModuleDir()) + "/QZWmiMemory.so";
  return path.c_str();
}

const char* DefaultMofPath() {
  static const std::string path = std::string(QzGetDataDir()) + "/mof/QZWmiMemory.mof";
  return path.c_str();
}

std::string DefaultMachinePath() { return std::string(QzGetDataDir()) + "/machines/default.json"; }

void SetUpFirstUse() {
  // The module is registered on the root's first use only, so that a later `unregister` stays done;
  // a registration whose module has gone is renewed at any use.
  bool firstUse = false;
  HKEY state = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &state, &disposition) == ERROR_SUCCESS) {
    DWORD done = 0, size = sizeof done;
    if (RegQueryValueExW(state, kFirstUseDone, nullptr, nullptr, reinterpret_cast<BYTE*>(&done), &size) != ERROR_SUCCESS) {
      firstUse = true;
      done = 1;
      RegSetValueExW(state, kFirstUseDone, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&done), sizeof done);
    }
    RegCloseKey(state);
  }
  const Registration registration = ProviderRegistration();
  const bool wanted = registration == Registration::ModuleGone || (firstUse && registration == Registration::None);
  if (wanted && std::filesystem::exists(DefaultModulePath())) RegisterModule(DefaultModulePath(), false);
  if (!ProviderClassDefined()) QzCompileMofFile(DefaultMofPath(), TRUE, nullptr, 0);
}

}  // namespace qzwmi
