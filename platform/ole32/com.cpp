// COM activation: apartment bookkeeping, the platform's built-in classes, and in-process servers
// found through HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 and loaded with dlopen.
#include <objbase.h>
#include <winreg.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel32/library.h"
#include "kernel32/path.h"
#include "kernel32/text.h"

namespace {

struct BuiltinClass {
  CLSID clsid;
  QZ_CLASS_FACTORY_GETTER getter;
};

std::mutex& BuiltinLock() {
  static std::mutex lock;
  return lock;
}

std::vector<BuiltinClass>& BuiltinClasses() {
  static std::vector<BuiltinClass> classes;
  return classes;
}

QZ_CLASS_FACTORY_GETTER FindBuiltin(REFCLSID clsid) {
  std::lock_guard<std::mutex> guard(BuiltinLock());
  for (const BuiltinClass& entry : BuiltinClasses())
    if (entry.clsid == clsid) return entry.getter;
  return nullptr;
}

// How this thread initialised COM: the number of successful CoInitializeEx calls not yet
// balanced by CoUninitialize, and the concurrency model of the first.
struct ThreadApartment {
  unsigned count = 0;
  DWORD model = COINIT_MULTITHREADED;
};
thread_local ThreadApartment t_Apartment;

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;

// A server module loaded for a registered class; loaded once, kept until CoFreeUnusedLibraries
// finds it unused.
struct LoadedServer {
  std::string path;
  HMODULE module = nullptr;  // loaded as LoadLibrary does, so its DllMain hears of it
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

// Held while a module is loaded, asked for a class object or unloaded, so that no module is
// unloaded between its DllGetClassObject and the first reference on what it returned. Recursive:
// a module's static constructors or DllGetClassObject may activate other classes.
std::recursive_mutex& ServerLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::vector<LoadedServer>& Servers() {
  static std::vector<LoadedServer> servers;
  return servers;
}

// Expands %SystemRoot% and %windir% to the Windows directory and other %NAME% from the
// environment, as a REG_EXPAND_SZ value is read.
std::wstring ExpandEnvironment(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t end = text[i] == L'%' ? text.find(L'%', i + 1) : std::wstring::npos;
    if (end == std::wstring::npos) {
      out.push_back(text[i]);
      continue;
    }
    const std::wstring name = text.substr(i + 1, end - i - 1);
    const std::wstring upper = qz::UpperAscii(name);
    if (upper == L"SYSTEMROOT" || upper == L"WINDIR") {
      out += L"C:\\Windows";
    } else if (const char* value = std::getenv(qz::ToUtf8(name).c_str())) {
      out += qz::FromUtf8(value);
    } else {
      out += L"%" + name + L"%";
    }
    i = end;
  }
  return out;
}

// The module of HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 (its default value).
HRESULT ReadInprocServer(REFCLSID clsid, std::wstring* module) {
  WCHAR guid[CHARS_IN_GUID];
  StringFromGUID2(clsid, guid, CHARS_IN_GUID);
  const std::wstring keyName = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return REGDB_E_CLASSNOTREG;
  DWORD type = REG_NONE;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
  std::vector<WCHAR> text(size / sizeof(WCHAR) + 1, L'\0');
  if (status == ERROR_SUCCESS && size)
    status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return REGDB_E_CLASSNOTREG;
  text.resize(size / sizeof(WCHAR));
  std::wstring value(text.data(), wcsnlen(text.data(), text.size()));
  if (value.empty()) return REGDB_E_CLASSNOTREG;
  *module = type == REG_EXPAND_SZ ? ExpandEnvironment(value) : value;
  return S_OK;
}

// The loaded server of the module, loading it on first use. Called under ServerLock().
HRESULT LoadServer(const std::wstring& module, LoadedServer** server) {
  std::optional<std::string> path = qz::MapWindowsPath(module);
  if (!path) return CO_E_DLLNOTFOUND;
  for (LoadedServer& loaded : Servers()) {
    if (loaded.path == *path) {
      *server = &loaded;
      return S_OK;
    }
  }
  HMODULE loadedModule = qz::LoadModule(*path);
  if (!loadedModule) return GetLastError() == ERROR_DLL_INIT_FAILED ? HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED) : CO_E_DLLNOTFOUND;
  LoadedServer loaded;
  loaded.path = *path;
  loaded.module = loadedModule;
  loaded.getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(qz::ModuleSymbol(loadedModule, "DllGetClassObject"));
  loaded.canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(qz::ModuleSymbol(loadedModule, "DllCanUnloadNow"));
  if (!loaded.getClassObject) {
    qz::FreeModule(loadedModule);
    return CO_E_ERRORINDLL;
  }
  Servers().push_back(loaded);
  *server = &Servers().back();
  return S_OK;
}

HRESULT GetInprocClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  std::wstring module;
  HRESULT hr = ReadInprocServer(clsid, &module);
  if (FAILED(hr)) return hr;
  std::lock_guard<std::recursive_mutex> guard(ServerLock());
  LoadedServer* server = nullptr;
  hr = LoadServer(module, &server);
  if (FAILED(hr)) return hr;
  LPFNGETCLASSOBJECT getClassObject = server->getClassObject;
  hr = getClassObject(clsid, riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

void FreeUnusedInprocServers() {
  std::lock_guard<std::recursive_mutex> guard(ServerLock());
  std::vector<LoadedServer>& servers = Servers();
  for (size_t i = 0; i < servers.size();) {
    LoadedServer& server = servers[i];
    if (!server.canUnloadNow || server.canUnloadNow() != S_OK) {
      ++i;
      continue;
    }
    HMODULE module = server.module;
    servers.erase(servers.begin() + static_cast<std::ptrdiff_t>(i));
    qz::FreeModule(module);
  }
}

}  // namespace

extern "C" {

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved) return E_INVALIDARG;
  const DWORD model = dwCoInit & kModelMask;
  if (t_Apartment.count > 0) {
    if (t_Apartment.model != model) return RPC_E_CHANGED_MODE;
    ++t_Apartment.count;
    return S_FALSE;
  }
  t_Apartment.model = model;
  t_Apartment.count = 1;
  return S_OK;
}

void CoUninitialize(void) {
  if (t_Apartment.count > 0) --t_Apartment.count;
}

HRESULT CoRegisterBuiltinClass(REFCLSID rclsid, QZ_CLASS_FACTORY_GETTER getter) {
  if (!getter) return E_INVALIDARG;
  std::lock_guard<std::mutex> guard(BuiltinLock());
  for (BuiltinClass& entry : BuiltinClasses()) {
    if (entry.clsid == rclsid) {
      entry.getter = getter;
      return S_FALSE;
    }
  }
  BuiltinClasses().push_back({rclsid, getter});
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  (void)pvReserved;
  // Every class here is an in-process one; a request for another context finds nothing.
  if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
  if (QZ_CLASS_FACTORY_GETTER getter = FindBuiltin(rclsid)) return getter(riid, ppv);
  return GetInprocClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

void CoFreeUnusedLibraries(void) { FreeUnusedInprocServers(); }

}  // extern "C"
