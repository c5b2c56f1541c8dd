// IWbemServices for one namespace of the repository: class definitions by name or path, class
// changes, child namespaces, and the instances, enumerations and queries that providers answer.
#include <atomic>
#include <new>

#include "ole32/comobject.h"
#include "wbem/path.h"
#include "wbem/provider.h"
#include "wbem/repository.h"

namespace qz::wbem {
namespace {

class Services : public ComObject<IWbemServices> {
 public:
  explicit Services(std::wstring nameSpace) : m_Namespace(std::move(nameSpace)) {}


  STDMETHODIMP OpenNamespace(const BSTR strNamespace, LONG, IWbemContext*, IWbemServices** ppWorkingNamespace,
                             IWbemCallResult** ppResult) override {
    if (ppResult) *ppResult = nullptr;
    if (!strNamespace || !ppWorkingNamespace) return WBEM_E_INVALID_PARAMETER;
    *ppWorkingNamespace = nullptr;
    const std::wstring child = Repository::NormalizeNamespace(strNamespace);
    if (child.empty()) return WBEM_E_INVALID_NAMESPACE;
    return CreateServices(m_Namespace + L"\\" + child, ppWorkingNamespace);
  }

  STDMETHODIMP CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP QueryObjectSink(LONG, IWbemObjectSink** ppResponseHandler) override {
    if (ppResponseHandler) *ppResponseHandler = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }

  STDMETHODIMP GetObject(const BSTR strObjectPath, LONG, IWbemContext* pCtx, IWbemClassObject** ppObject,
                         IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    if (!ppObject) return WBEM_E_INVALID_PARAMETER;
    *ppObject = nullptr;
    // No path: an empty class, to be named with __CLASS and stored with PutClass.
    if (!strObjectPath || !*strObjectPath) {
      auto def = std::make_shared<ClassDef>();
      def->nameSpace = m_Namespace;
      def->server = Repository::Instance().ServerName();
      return ClassObject::Create(std::move(def), false, ppObject);
    }
    ObjectPath path;
    if (!ParseObjectPath(strObjectPath, WBEMPATH_CREATE_ACCEPT_ALL, &path) || !path.hasClass)
      return WBEM_E_INVALID_OBJECT_PATH;
    std::wstring nameSpace = m_Namespace;
    if (!path.namespaces.empty()) {
      nameSpace.clear();
      for (const std::wstring& part : path.namespaces) nameSpace += (nameSpace.empty() ? L"" : L"\\") + part;
      if (!Repository::Instance().HasNamespace(nameSpace)) return WBEM_E_INVALID_NAMESPACE;
    }
    const bool instancePath = !path.keys.empty() || path.singleton;
    if (!instancePath) return Repository::Instance().GetClass(nameSpace, path.className, ppObject);
    if (!Repository::Instance().FindClass(nameSpace, path.className)) return WBEM_E_INVALID_CLASS;
    return GetInstance(nameSpace, strObjectPath, pCtx, ppObject);
  }

  STDMETHODIMP GetObjectAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                              IWbemObjectSink* pResponseHandler) override {
    if (!pResponseHandler) return WBEM_E_INVALID_PARAMETER;
    CComPtr<IWbemClassObject> object;
    HRESULT hr = GetObject(strObjectPath, lFlags, pCtx, &object, nullptr);
    if (SUCCEEDED(hr)) {
      IWbemClassObject* objects[] = {object.p};
      pResponseHandler->Indicate(1, objects);
    }
    pResponseHandler->SetStatus(WBEM_STATUS_COMPLETE, hr, nullptr, nullptr);
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP PutClass(IWbemClassObject* pObject, LONG lFlags, IWbemContext*, IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    return Repository::Instance().PutClass(m_Namespace, pObject, lFlags & (WBEM_FLAG_UPDATE_ONLY | WBEM_FLAG_CREATE_ONLY));
  }

  STDMETHODIMP PutClassAsync(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                             IWbemObjectSink* pResponseHandler) override {
    if (!pResponseHandler) return WBEM_E_INVALID_PARAMETER;
    pResponseHandler->SetStatus(WBEM_STATUS_COMPLETE, PutClass(pObject, lFlags, pCtx, nullptr), nullptr, nullptr);
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP DeleteClass(const BSTR strClass, LONG, IWbemContext*, IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    if (!strClass || !*strClass) return WBEM_E_INVALID_PARAMETER;
    return Repository::Instance().DeleteClass(m_Namespace, strClass);
  }

  STDMETHODIMP DeleteClassAsync(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                IWbemObjectSink* pResponseHandler) override {
    if (!pResponseHandler) return WBEM_E_INVALID_PARAMETER;
    pResponseHandler->SetStatus(WBEM_STATUS_COMPLETE, DeleteClass(strClass, lFlags, pCtx, nullptr), nullptr, nullptr);
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP CreateClassEnum(const BSTR strSuperclass, LONG lFlags, IWbemContext*, IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum) return WBEM_E_INVALID_PARAMETER;
    *ppEnum = nullptr;
    std::wstring_view superclass = strSuperclass ? strSuperclass : L"";
    if (!superclass.empty() && !Repository::Instance().FindClass(m_Namespace, superclass)) return WBEM_E_INVALID_CLASS;
    ObjectStream stream;
    for (const auto& cls : Repository::Instance().Classes(m_Namespace, superclass, !(lFlags & WBEM_FLAG_SHALLOW))) {
      TimedObject entry;
      HRESULT hr = ClassObject::Create(cls, false, &entry.object);
      if (FAILED(hr)) return hr;
      stream.push_back(std::move(entry));
    }
    return CreateObjectEnumerator(std::move(stream), lFlags & WBEM_FLAG_FORWARD_ONLY, ppEnum);
  }
  STDMETHODIMP CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                    IWbemObjectSink* pResponseHandler) override {
    CComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr = CreateClassEnum(strSuperclass, lFlags, pCtx, &enumerator);
    return Deliver(hr, enumerator, pResponseHandler);
  }
  STDMETHODIMP PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** ppCallResult) override {
    return NotSupported(ppCallResult);
  }
  STDMETHODIMP PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult** ppCallResult) override {
    return NotSupported(ppCallResult);
  }
  STDMETHODIMP DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum || !strFilter || !*strFilter) return NotValid(ppEnum);
    *ppEnum = nullptr;
    ObjectStream stream;
    HRESULT hr = EnumerateInstances(m_Namespace, strFilter, pCtx, !(lFlags & WBEM_FLAG_SHALLOW), &stream);
    if (FAILED(hr)) return hr;
    return CreateObjectEnumerator(std::move(stream), lFlags & WBEM_FLAG_FORWARD_ONLY, ppEnum);
  }
  STDMETHODIMP CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                       IWbemObjectSink* pResponseHandler) override {
    CComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr = CreateInstanceEnum(strFilter, lFlags, pCtx, &enumerator);
    return Deliver(hr, enumerator, pResponseHandler);
  }
  STDMETHODIMP ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
                         IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum || !strQueryLanguage || !strQuery) return NotValid(ppEnum);
    *ppEnum = nullptr;
    ObjectStream stream;
    HRESULT hr = ExecuteQuery(m_Namespace, strQueryLanguage, strQuery, pCtx, &stream);
    if (FAILED(hr)) return hr;
    return CreateObjectEnumerator(std::move(stream), lFlags & WBEM_FLAG_FORWARD_ONLY, ppEnum);
  }
  STDMETHODIMP ExecQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
                              IWbemObjectSink* pResponseHandler) override {
    CComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr = ExecQuery(strQueryLanguage, strQuery, lFlags, pCtx, &enumerator);
    return Deliver(hr, enumerator, pResponseHandler);
  }
  STDMETHODIMP ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** ppEnum) override {
    return NotSupported(ppEnum);
  }
  STDMETHODIMP ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject** ppOutParams,
                          IWbemCallResult** ppCallResult) override {
    if (ppOutParams) *ppOutParams = nullptr;
    return NotSupported(ppCallResult);
  }
  STDMETHODIMP ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

 private:
  virtual ~Services() = default;

  template <class T>
  static HRESULT NotValid(T** out) {
    if (out) *out = nullptr;
    return WBEM_E_INVALID_PARAMETER;
  }

  // The asynchronous form of a call: the objects, then exactly one final status.
  static HRESULT Deliver(HRESULT hr, IEnumWbemClassObject* enumerator, IWbemObjectSink* sink) {
    if (!sink) return WBEM_E_INVALID_PARAMETER;
    if (SUCCEEDED(hr) && enumerator) {
      for (;;) {
        IWbemClassObject* object = nullptr;
        ULONG returned = 0;
        if (enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &object, &returned) != WBEM_S_NO_ERROR || !returned) break;
        sink->Indicate(1, &object);
        object->Release();
      }
    }
    sink->SetStatus(WBEM_STATUS_COMPLETE, SUCCEEDED(hr) ? WBEM_S_NO_ERROR : hr, nullptr, nullptr);
    return WBEM_S_NO_ERROR;
  }

  template <class T>
  static HRESULT NotSupported(T** out) {
    if (out) *out = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }

  const std::wstring m_Namespace;
};

}  // namespace

HRESULT CreateServices(std::wstring_view nameSpace, IWbemServices** ppServices) {
  if (!ppServices) return WBEM_E_INVALID_PARAMETER;
  *ppServices = nullptr;
  const std::wstring name = Repository::Instance().NamespaceName(nameSpace);
  if (name.empty()) return WBEM_E_INVALID_NAMESPACE;
  auto* services = new (std::nothrow) Services(name);
  if (!services) return WBEM_E_OUT_OF_MEMORY;
  *ppServices = services;
  return WBEM_S_NO_ERROR;
}

}  // namespace qz::wbem
