// IWbemLocator (CLSID_WbemLocator and CLSID_WbemAdministrativeLocator): connects a client to a
// namespace of this computer's WMI service.
#include <objbase.h>

#include <atomic>
#include <new>

#include "wbem/classobject.h"
#include "wbem/repository.h"

namespace qz::wbem {
namespace {

class Locator : public IWbemLocator {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWbemLocator) {
      *ppv = static_cast<IWbemLocator*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_Refs;
    if (refs == 0) delete this;
    return refs;
  }

  STDMETHODIMP ConnectServer(const BSTR strNetworkResource, const BSTR, const BSTR, const BSTR, LONG, const BSTR,
                             IWbemContext*, IWbemServices** ppNamespace) override {
    if (!ppNamespace) return WBEM_E_INVALID_PARAMETER;
    *ppNamespace = nullptr;
    if (!strNetworkResource || !*strNetworkResource) return WBEM_E_INVALID_PARAMETER;
    std::wstring_view resource(strNetworkResource);
    // "\\server\namespace" or "//server/namespace": only this computer is served.
    if (resource.size() > 2 && (resource[0] == L'\\' || resource[0] == L'/') && resource[1] == resource[0]) {
      resource.remove_prefix(2);
      const size_t end = resource.find_first_of(L"\\/");
      if (end == std::wstring_view::npos) return WBEM_E_INVALID_NAMESPACE;
      std::wstring_view server = resource.substr(0, end);
      if (server != L"." && !EqualNames(server, L"localhost") && !EqualNames(server, Repository::Instance().ServerName()))
        return WBEM_E_TRANSPORT_FAILURE;
      resource.remove_prefix(end + 1);
    }
    const std::wstring name = Repository::NormalizeNamespace(resource);
    if (name.empty()) return WBEM_E_INVALID_NAMESPACE;
    return CreateServices(name, ppNamespace);
  }

 private:
  virtual ~Locator() = default;
  std::atomic<ULONG> m_Refs{1};
};

class LocatorFactory final : public IClassFactory {
 public:
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
    auto* locator = new (std::nothrow) Locator;
    if (!locator) return E_OUTOFMEMORY;
    HRESULT hr = locator->QueryInterface(riid, ppv);
    locator->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

HRESULT LocatorGetClassObject(REFIID riid, void** ppv) {
  static LocatorFactory factory;
  return factory.QueryInterface(riid, ppv);
}

// Both locators are built into the platform; the administrative one differs on Windows only in the
// rights it asks for, which this service does not check.
[[maybe_unused]] const bool g_Registered =
    SUCCEEDED(CoRegisterBuiltinClass(CLSID_WbemLocator, &LocatorGetClassObject)) &&
    SUCCEEDED(CoRegisterBuiltinClass(CLSID_WbemAdministrativeLocator, &LocatorGetClassObject));

}  // namespace
}  // namespace qz::wbem
