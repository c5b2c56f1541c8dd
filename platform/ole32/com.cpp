// COM activation: apartment bookkeeping, the platform's built-in classes, and in-process servers
// found through HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 and loaded with dlopen.
#include <objbase.h>

#include <mutex>
#include <vector>

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

// Registry-activated servers: not wired up yet.
HRESULT GetInprocClassObject(REFCLSID, REFIID, void**) { return REGDB_E_CLASSNOTREG; }
void FreeUnusedInprocServers() {}

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
