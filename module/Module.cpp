// The module object and the entry points that COM looks for in an in-process server.
#include <objbase.h>

#include <array>
#include <utility>

#include "framework/ModuleLock.h"
#include "module/Coclasses.h"
#include "module/Module.h"
#include "support/CommonLog.h"

#define QZ_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

HINSTANCE g_hInstance = nullptr;

}  // namespace

CQZWmiMemoryModule::CQZWmiMemoryModule() {
  g_CommonLog.LogInit(L"QZWBEMServer", kAppIdModuleName);
  g_CommonLog.LogAs(L"CQZWmiMemoryModule::CQZWmiMemoryModule", kSeverityInformation, L"DLL is loaded.");
}

CQZWmiMemoryModule::~CQZWmiMemoryModule() {
  g_CommonLog.LogAs(L"CQZWmiMemoryModule::~CQZWmiMemoryModule", kSeverityInformation, L"DLL is unloaded.");
}

namespace {

// The class factory of one coclass. Factories are static: holding one does not keep the module
// loaded, LockServer does.
class CClassFactory final : public IClassFactory {
 public:
  constexpr explicit CClassFactory(size_t index) : m_Index(index) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return Coclasses()[m_Index].create(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL fLock) override {
    if (fLock) {
      ModuleLock();
    } else {
      ModuleUnlock();
    }
    return S_OK;
  }

 private:
  size_t m_Index;
};

template <size_t... Index>
constexpr std::array<CClassFactory, sizeof...(Index)> MakeFactories(std::index_sequence<Index...>) {
  return {CClassFactory(Index)...};
}

// One factory per coclass, in the order of the table.
constinit std::array<CClassFactory, kCoclassCount> g_Factories = MakeFactories(std::make_index_sequence<kCoclassCount>());

}  // namespace

HINSTANCE ModuleInstance() { return g_hInstance; }

QZ_EXPORT BOOL DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  // The COM bookkeeping is constant data here and cannot fail to initialise.
  if (dwReason == 1) g_hInstance = hInstance;
  return TRUE;
}

QZ_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const CoclassEntry* entry = FindCoclass(rclsid);
  if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
  return g_Factories[static_cast<size_t>(entry - Coclasses().data())].QueryInterface(riid, ppv);
}

QZ_EXPORT HRESULT DllCanUnloadNow() { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }
