// The provider pattern: Initialize, the cached enumeration, the refusals and the lookup by path.
#include "framework/InstanceProvider.h"

#include <cstdarg>
#include <cwchar>
#include <new>
#include <vector>

#include "framework/ModuleLock.h"
#include "support/CommonLog.h"

namespace {

// Holds a BSTR for the length of a call.
class CallBstr {
 public:
  explicit CallBstr(const WCHAR* text) : m_Text(SysAllocString(text)) {}
  ~CallBstr() { SysFreeString(m_Text); }
  CallBstr(const CallBstr&) = delete;
  CallBstr& operator=(const CallBstr&) = delete;
  BSTR Get() const { return m_Text; }

 private:
  BSTR m_Text;
};

// An address inside the module that holds the providers, to find that module by.
const char kModuleAnchor = 0;

}  // namespace

STDMETHODIMP CQZInstanceProvider::GetClassInfo(ITypeInfo** ppTI) {
  if (!ppTI) return E_POINTER;
  *ppTI = nullptr;
  HMODULE module = nullptr;
  WCHAR path[4096];
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module))
    return TYPE_E_CANTLOADLIBRARY;
  DWORD length = GetModuleFileNameW(module, path, 4096);
  if (length == 0 || length >= 4096) return TYPE_E_CANTLOADLIBRARY;
  CComPtr<ITypeLib> library;
  HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  hr = TYPE_E_ELEMENTNOTFOUND;
  const WCHAR* coclass = m_Description.providerName + 1;
  for (UINT i = 0; i < library->GetTypeInfoCount() && hr == TYPE_E_ELEMENTNOTFOUND; ++i) {
    TYPEKIND kind = TKIND_MAX;
    BSTR name = nullptr;
    if (SUCCEEDED(library->GetTypeInfoType(i, &kind)) && kind == TKIND_COCLASS &&
        SUCCEEDED(library->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr)) && name &&
        std::wcscmp(name, coclass) == 0)
      hr = library->GetTypeInfo(i, ppTI);
    SysFreeString(name);
  }
  return hr;
}

CQZInstanceProvider::CQZInstanceProvider(const ProviderDescription& description) : m_Description(description) {
  if (description.mutexName) m_Mutex.SetName(description.mutexName);
  ModuleLock();
}

CQZInstanceProvider::~CQZInstanceProvider() {
  ClearCache();
  // Everything the provider holds goes before the module may be unloaded.
  m_pHelper.reset();
  m_pParserFactory.Release();
  m_pUnused.Release();
  m_pClass.Release();
  m_pNamespace.Release();
  ModuleUnlock();
}

STDMETHODIMP CQZInstanceProvider::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWbemServices) {
    *ppv = static_cast<IWbemServices*>(this);
  } else if (riid == IID_IWbemProviderInit) {
    *ppv = static_cast<IWbemProviderInit*>(this);
  } else if (riid == IID_IProvideClassInfo) {
    *ppv = static_cast<IProvideClassInfo*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CQZInstanceProvider::AddRef() { return ++m_RefCount; }

STDMETHODIMP_(ULONG) CQZInstanceProvider::Release() {
  ULONG count = --m_RefCount;
  if (count == 0) delete this;
  return count;
}

void CQZInstanceProvider::Trace(const WCHAR* operation) const {
  if (g_CommonLog.Level() > kSeverityVerbose) return;
  LogLine(operation, kSeverityVerbose, L"Entering");
}

void CQZInstanceProvider::LogLine(const WCHAR* operation, DWORD severity, const WCHAR* format, ...) const {
  if (g_CommonLog.Level() > severity) return;
  va_list args;
  va_start(args, format);
  std::wstring message = FormatMessageText(format, args);
  va_end(args);
  std::wstring function = std::wstring(m_Description.providerName) + L"::" + operation;
  // Warnings are written as errors.
  const DWORD written = severity == kSeverityVerbose || severity == kSeverityInformation ? severity : kSeverityError;
  g_CommonLog.LogAs(function.c_str(), written, L"%ls", message.c_str());
}

STDMETHODIMP CQZInstanceProvider::Initialize(LPWSTR, LONG, LPWSTR, LPWSTR, IWbemServices* pNamespace,
                                             IWbemContext* pCtx, IWbemProviderInitSink* pInitSink) {
  Trace(L"Initialize");
  if (!pNamespace || !pInitSink) return WBEM_E_INVALID_PARAMETER;

  m_pNamespace = pNamespace;

  m_pClass.Release();
  CallBstr className(m_Description.className);
  if (FAILED(m_pNamespace->GetObject(className.Get(), 0, pCtx, &m_pClass, nullptr)) || !m_pClass) {
    m_pClass.Release();
    return WBEM_E_FAILED;
  }

  m_pParserFactory.Release();
  if (FAILED(CoGetClassObject(CLSID_WbemDefPath, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                              reinterpret_cast<void**>(&m_pParserFactory))) ||
      !m_pParserFactory) {
    m_pParserFactory.Release();
    return WBEM_E_FAILED;
  }

  m_pHelper.reset(new (std::nothrow) CInstanceProviderHelper(pNamespace, pCtx));
  if (!m_pHelper) return WBEM_E_OUT_OF_MEMORY;

  pInitSink->SetStatus(WBEM_S_INITIALIZED, 0);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CQZInstanceProvider::PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
  Trace(L"PutInstanceAsync");
  return WBEM_E_PROVIDER_NOT_CAPABLE;
}

STDMETHODIMP CQZInstanceProvider::DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  Trace(L"DeleteInstanceAsync");
  return WBEM_E_PROVIDER_NOT_CAPABLE;
}

STDMETHODIMP CQZInstanceProvider::ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  Trace(L"ExecQueryAsync");
  return WBEM_E_NOT_SUPPORTED;
}

// The provider's mutex, then its list's when the list is shared by every provider object, held
// for one request and released in the opposite order.
class CQZInstanceProvider::CRequestLock {
 public:
  explicit CRequestLock(CQZInstanceProvider& provider) : m_Provider(provider) {
    m_Provider.m_Mutex.Lock();
    if (m_Provider.m_Description.staticList) m_Provider.List().Lock();
  }
  ~CRequestLock() {
    if (m_Provider.m_Description.staticList) m_Provider.List().Unlock();
    m_Provider.m_Mutex.Unlock();
  }
  CRequestLock(const CRequestLock&) = delete;
  CRequestLock& operator=(const CRequestLock&) = delete;

 private:
  CQZInstanceProvider& m_Provider;
};

void CQZInstanceProvider::ClearCache() {
  for (IWbemClassObject* instance : m_Instances) instance->Release();
  m_Instances.clear();
}

STDMETHODIMP CQZInstanceProvider::CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext* pCtx,
                                                          IWbemObjectSink* pResponseHandler) {
  Trace(L"CreateInstanceEnumAsync");
  if (!pResponseHandler) return WBEM_E_INVALID_PARAMETER;
  const HRESULT result = IndicateInstances(pCtx, pResponseHandler);
  pResponseHandler->SetStatus(WBEM_STATUS_COMPLETE, result, nullptr, nullptr);
  return result;
}

HRESULT CQZInstanceProvider::IndicateInstances(IWbemContext* pCtx, IWbemObjectSink* pResponseHandler) {
  CRequestLock lock(*this);
  HRESULT result = WBEM_S_NO_ERROR;
  CQZList& list = List();
  if (list.HasChanged(pCtx, m_Stamp)) {
    ClearCache();
    DWORD count = list.GetCount();
    for (DWORD i = 0; i < count; ++i) {
      IWbemClassObject* instance = nullptr;
      result = m_pClass ? m_pClass->SpawnInstance(0, &instance) : WBEM_E_FAILED;
      if (FAILED(result)) break;
      result = FillInstance(instance, i);
      if (FAILED(result)) {
        instance->Release();
        break;
      }
      m_Instances.push_back(instance);
    }
  }
  if (m_Stamp == 0) result = WBEM_E_FAILED;

  if (FAILED(result)) {
    LogLine(L"CreateInstanceEnumAsync", kSeverityError, L"Cannot return instances");
    m_Stamp = 0;
    return result;
  }
  LogLine(L"CreateInstanceEnumAsync", kSeverityInformation, L"Returning %d instances",
          static_cast<int>(m_Instances.size()));
  if (m_Instances.empty()) return result;
  return pResponseHandler->Indicate(static_cast<LONG>(m_Instances.size()), m_Instances.data());
}

STDMETHODIMP CQZInstanceProvider::GetObjectAsync(const BSTR strObjectPath, LONG, IWbemContext*,
                                                 IWbemObjectSink* pResponseHandler) {
  Trace(L"GetObjectAsync");
  if (!pResponseHandler) return WBEM_E_INVALID_PARAMETER;
  IWbemClassObject* instance = nullptr;
  HRESULT result = GetInstanceByPath(strObjectPath, &instance);
  if (FAILED(result)) return result;
  pResponseHandler->Indicate(1, &instance);
  instance->Release();
  pResponseHandler->SetStatus(WBEM_STATUS_COMPLETE, WBEM_S_NO_ERROR, nullptr, nullptr);
  return WBEM_S_NO_ERROR;
}

DWORD CQZInstanceProvider::GetKeyComputerName(std::wstring*) { return ERROR_NOT_SUPPORTED; }

HRESULT CQZInstanceProvider::ExtractKeys(const BSTR strObjectPath, std::vector<std::wstring>* values,
                                         std::vector<bool>* present) {
  CComPtr<IWbemPath> path;
  if (FAILED(m_pParserFactory->CreateInstance(nullptr, IID_IWbemPath, reinterpret_cast<void**>(&path))) || !path)
    return WBEM_E_FAILED;
  CComPtr<IWbemPathKeyList> keys;
  ULONG count = 0;
  HRESULT result = path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, strObjectPath);
  if (SUCCEEDED(result)) result = path->GetKeyList(&keys);
  if (SUCCEEDED(result)) result = keys->GetCount(&count);
  if (FAILED(result)) return result;

  // A key's name is never longer than the whole path.
  const size_t length = wcslen(strObjectPath);
  std::vector<WCHAR> nameBuffer(length + 1);
  WCHAR* name = nameBuffer.data();
  values->assign(m_Description.keyCount, std::wstring());
  present->assign(m_Description.keyCount, false);
  for (ULONG i = 0; i < count; ++i) {
    VARIANT value;
    VariantInit(&value);
    ULONG size = static_cast<ULONG>(length + 1);
    ULONG cimType = 0;
    name[0] = L'\0';
    keys->GetKey2(i, 0, &size, name, &value, &cimType);
    // Keys of other names, and values that are not strings, are passed over; a later key of the
    // same name replaces an earlier one.
    if (value.vt == VT_BSTR) {
      for (size_t k = 0; k < m_Description.keyCount; ++k) {
        if (lstrcmpiW(name, m_Description.keys[k].name) == 0) {
          (*values)[k] = value.bstrVal ? value.bstrVal : L"";
          (*present)[k] = true;
          break;
        }
      }
    }
    VariantClear(&value);
  }
  return WBEM_S_NO_ERROR;
}

bool CQZInstanceProvider::RecordMatches(DWORD index, const std::vector<std::wstring>& values,
                                        const std::vector<bool>& present, const std::wstring& computerName) {
  for (size_t k = 0; k < m_Description.keyCount; ++k) {
    // A path that lacks a key value matches no record: every comparison expects a value.
    if (!present[k]) return false;
    const KeyDescription& key = m_Description.keys[k];
    const WCHAR* expected = nullptr;
    switch (key.match) {
      case KeyMatch::Record:
        expected = GetRecordKey(index, k);
        break;
      case KeyMatch::Fixed:
        expected = key.fixedText;
        break;
      case KeyMatch::ComputerName:
        expected = computerName.c_str();
        break;
    }
    if (!expected || values[k] != expected) return false;
  }
  return true;
}

IWbemClassObject* CQZInstanceProvider::FindInstance(const std::vector<std::wstring>& values,
                                                   const std::vector<bool>& present, const std::wstring& computerName) {
  CRequestLock lock(*this);
  const DWORD generation = List().Update(nullptr);
  if (generation == 0) return nullptr;
  const DWORD count = List().GetCount();
  for (DWORD i = 0; i < count; ++i) {
    if (!RecordMatches(i, values, present, computerName)) continue;
    // The cached instance while the list is still at the generation of the last enumeration.
    if (generation == m_Stamp && i < m_Instances.size()) {
      m_Instances[i]->AddRef();
      return m_Instances[i];
    }
    IWbemClassObject* found = nullptr;
    if (!m_pClass || FAILED(m_pClass->SpawnInstance(0, &found))) return nullptr;
    if (SUCCEEDED(FillInstance(found, i))) return found;
    found->Release();
    return nullptr;
  }
  return nullptr;
}

HRESULT CQZInstanceProvider::GetInstanceByPath(const BSTR strObjectPath, IWbemClassObject** ppInstance) {
  Trace(L"GetInstanceByPath");
  if (!ppInstance) return WBEM_E_INVALID_PARAMETER;
  *ppInstance = nullptr;
  if (!strObjectPath || !m_pHelper || !m_pParserFactory) return WBEM_E_INVALID_PARAMETER;

  CallBstr className(m_Description.className);
  if (FAILED(m_pHelper->CheckInstancePath(m_pParserFactory, strObjectPath, className.Get(), m_Description.pathInfo)))
    return WBEM_E_INVALID_PARAMETER;

  std::wstring computerName;
  for (size_t k = 0; k < m_Description.keyCount; ++k) {
    if (m_Description.keys[k].match == KeyMatch::ComputerName && GetKeyComputerName(&computerName) != 0)
      return WBEM_E_FAILED;
  }

  std::vector<std::wstring> values;
  std::vector<bool> present;
  HRESULT result = ExtractKeys(strObjectPath, &values, &present);
  if (FAILED(result)) return result;

  IWbemClassObject* found = FindInstance(values, present, computerName);

  if (m_Description.logsLookupOutcome) {
    if (found)
      LogLine(L"GetInstanceByPath", kSeverityInformation, L"Returning instance by path");
    else
      LogLine(L"GetInstanceByPath", kSeverityError, L"Cannot return instance by path");
  }
  if (!found) return WBEM_E_NOT_FOUND;
  *ppInstance = found;
  return WBEM_S_NO_ERROR;
}

// Everything else a namespace offers is not what an instance provider does.
STDMETHODIMP CQZInstanceProvider::OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::CancelAsyncCall(IWbemObjectSink*) { return WBEM_E_NOT_SUPPORTED; }
STDMETHODIMP CQZInstanceProvider::QueryObjectSink(LONG, IWbemObjectSink**) { return WBEM_E_NOT_SUPPORTED; }
STDMETHODIMP CQZInstanceProvider::GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                        IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                             IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                             IWbemClassObject**, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
STDMETHODIMP CQZInstanceProvider::ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                                  IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
