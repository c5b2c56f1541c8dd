// DllRegisterServer and DllUnregisterServer: the AppID, the 22 coclasses with their ProgIDs, and
// the type library, under HKEY_CLASSES_ROOT, written in the system default locale.
#include <oleauto.h>
#include <winnls.h>
#include <winreg.h>

#include <string>
#include <vector>

#include "module/Coclasses.h"
#include "module/Module.h"

#define QZ_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// A key path and the string values to put in it ("" = the default value).
struct RegistryEntry {
  std::wstring key;
  std::vector<std::pair<std::wstring, std::wstring>> values;
};

HRESULT FromStatus(LSTATUS status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

HRESULT Write(const RegistryEntry& entry) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  for (const auto& [name, value] : entry.values) {
    status = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
    if (status != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return FromStatus(status);
}

// Removes a key and everything below it; a key that is not there counts as removed.
HRESULT Remove(const std::wstring& key) {
  LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return FromStatus(status);
  status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

std::wstring ModulePath() {
  std::vector<WCHAR> path(4096);
  DWORD length = GetModuleFileNameW(ModuleInstance(), path.data(), static_cast<DWORD>(path.size()));
  return std::wstring(path.data(), length);
}

// The AppID's entries, as the module's registry script gives them.
std::vector<RegistryEntry> AppIdEntries() {
  return {
      {std::wstring(L"AppID\\") + kAppId, {{L"", L"QZWmiMemory"}}},
      {std::wstring(L"AppID\\") + kAppIdModuleName, {{L"AppID", kAppId}}},
  };
}

std::vector<RegistryEntry> CoclassEntries(const CoclassEntry& coclass, const std::wstring& modulePath) {
  const std::wstring friendly = std::wstring(coclass.providerClass) + L" Object";
  const std::wstring progId = coclass.progId;
  const std::wstring versioned = progId + L".1";
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + coclass.clsid;
  return {
      {versioned, {{L"", friendly}}},
      {versioned + L"\\CLSID", {{L"", coclass.clsid}}},
      {progId, {{L"", friendly}}},
      {progId + L"\\CLSID", {{L"", coclass.clsid}}},
      {progId + L"\\CurVer", {{L"", versioned}}},
      {clsidKey, {{L"", friendly}, {L"AppID", kAppId}}},
      {clsidKey + L"\\ProgID", {{L"", versioned}}},
      {clsidKey + L"\\VersionIndependentProgID", {{L"", progId}}},
      {clsidKey + L"\\Programmable", {}},
      {clsidKey + L"\\InprocServer32", {{L"", modulePath}, {L"ThreadingModel", L"both"}}},
      {clsidKey + L"\\TypeLib", {{L"", kLibId}}},
  };
}

HRESULT WriteAll(const std::vector<RegistryEntry>& entries) {
  for (const RegistryEntry& entry : entries) {
    HRESULT hr = Write(entry);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// Registration runs in the system default locale, whatever the caller's thread uses.
class SystemLocaleScope {
 public:
  SystemLocaleScope() : m_Saved(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
  ~SystemLocaleScope() { SetThreadLocale(m_Saved); }
  SystemLocaleScope(const SystemLocaleScope&) = delete;
  SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

 private:
  LCID m_Saved;
};

HRESULT RegisterCoclasses() {
  const std::wstring modulePath = ModulePath();
  for (const CoclassEntry& coclass : Coclasses()) {
    HRESULT hr = WriteAll(CoclassEntries(coclass, modulePath));
    if (FAILED(hr)) return hr;
  }
  // The library is registered from the module's own resource, so that the registry says what the
  // library holds: its help text, its version, and the module as its file and help folder.
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_REGISTER, &library);
  if (FAILED(hr)) return hr;
  library->Release();
  return S_OK;
}

HRESULT UnregisterCoclasses() {
  for (const CoclassEntry& coclass : Coclasses()) {
    const std::wstring progId = coclass.progId;
    for (const std::wstring& key : {progId + L".1", progId, std::wstring(L"CLSID\\") + coclass.clsid}) {
      HRESULT hr = Remove(key);
      if (FAILED(hr)) return hr;
    }
  }
  return Remove(std::wstring(L"TypeLib\\") + kLibId);
}

HRESULT UnregisterAppId() {
  for (const RegistryEntry& entry : AppIdEntries()) {
    HRESULT hr = Remove(entry.key);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

QZ_EXPORT HRESULT DllRegisterServer() {
  SystemLocaleScope locale;
  HRESULT hr = WriteAll(AppIdEntries());
  if (FAILED(hr)) return hr;
  return RegisterCoclasses();
}

QZ_EXPORT HRESULT DllUnregisterServer() {
  SystemLocaleScope locale;
  HRESULT hr = UnregisterCoclasses();
  if (FAILED(hr)) return hr;
  return UnregisterAppId();
}
