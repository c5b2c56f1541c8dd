// IWbemLocator (CLSID_WbemLocator and CLSID_WbemAdministrativeLocator): connects a client to a
// namespace of this computer's WMI service.
#include <objbase.h>

#include "ole32/comobject.h"
#include "wbem/classobject.h"
#include "wbem/repository.h"

namespace qz::wbem {
namespace {

class Locator : public ComObject<IWbemLocator> {
 public:
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
};

// Both locators are built into the platform; the administrative one differs on Windows only in the
// rights it asks for, which this service does not check.
[[maybe_unused]] const bool g_Registered =
    SUCCEEDED(CoRegisterBuiltinClass(CLSID_WbemLocator, &BuiltinClassFactory<&CreateComObject<Locator>>::GetClassObject)) &&
    SUCCEEDED(CoRegisterBuiltinClass(CLSID_WbemAdministrativeLocator,
                                     &BuiltinClassFactory<&CreateComObject<Locator>>::GetClassObject));

}  // namespace
}  // namespace qz::wbem
