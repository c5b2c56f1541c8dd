// The IWbemPath and IWbemPathKeyList objects behind CLSID_WbemDefPath, and their class factory.
#include "wbem/path.h"

#include <oleauto.h>
#include <winnls.h>

#include <new>

namespace qz {
namespace {

// The buffer protocol of the path interfaces: the size needed, terminator included, always goes
// back; a buffer that is missing or too small gets nothing.
HRESULT CopyOut(const std::wstring& text, ULONG* size, LPWSTR buffer) {
  if (!size) return WBEM_E_INVALID_PARAMETER;
  ULONG needed = static_cast<ULONG>(text.size() + 1);
  ULONG given = *size;
  *size = needed;
  if (!buffer) return WBEM_S_NO_ERROR;
  if (given < needed) return WBEM_E_BUFFER_TOO_SMALL;
  text.copy(buffer, text.size());
  buffer[text.size()] = L'\0';
  return WBEM_S_NO_ERROR;
}

class CWbemDefPathFactory final : public IClassFactory {
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
  // A process-wide object: its count never reaches zero.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateWbemPath(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

const bool g_Registered = [] {
  CoRegisterBuiltinClass(CLSID_WbemDefPath, &WbemDefPathGetClassObject);
  return true;
}();

}  // namespace

HRESULT WbemDefPathGetClassObject(REFIID riid, void** ppv) {
  static CWbemDefPathFactory factory;
  return factory.QueryInterface(riid, ppv);
}

HRESULT CreateWbemPath(REFIID riid, void** ppv) {
  CWbemPath* path = new (std::nothrow) CWbemPath;
  if (!path) return E_OUTOFMEMORY;
  HRESULT hr = path->QueryInterface(riid, ppv);
  path->Release();
  return hr;
}

STDMETHODIMP CWbemPath::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWbemPath) {
    *ppv = static_cast<IWbemPath*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CWbemPath::AddRef() { return ++m_RefCount; }

STDMETHODIMP_(ULONG) CWbemPath::Release() {
  ULONG count = --m_RefCount;
  if (count == 0) delete this;
  return count;
}

STDMETHODIMP CWbemPath::SetText(ULONG uMode, LPCWSTR pszPath) {
  if (!pszPath) return WBEM_E_INVALID_PARAMETER;
  ObjectPath parsed;
  if (!ParseObjectPath(pszPath, uMode, &parsed)) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_Lock);
  m_Path = std::move(parsed);
  m_Original = pszPath;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetText(LONG lFlags, ULONG* puBuffLength, LPWSTR pszText) {
  std::lock_guard guard(m_Lock);
  std::wstring text;
  if (lFlags == WBEMPATH_GET_ORIGINAL)
    text = m_Original;
  else if (!FormatObjectPath(m_Path, lFlags, &text))
    return WBEM_E_INVALID_PARAMETER;
  return CopyOut(text, puBuffLength, pszText);
}

STDMETHODIMP CWbemPath::GetInfo(ULONG uRequestedInfo, ULONGLONG* puResponse) {
  if (uRequestedInfo != 0 || !puResponse) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_Lock);
  *puResponse = ObjectPathInfo(m_Path);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::SetServer(LPCWSTR Name) {
  std::lock_guard guard(m_Lock);
  m_Path.hasServer = Name != nullptr;
  m_Path.server = Name ? Name : L"";
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetServer(ULONG* puNameBufLength, LPWSTR pName) {
  std::lock_guard guard(m_Lock);
  if (!m_Path.hasServer) return WBEM_E_NOT_AVAILABLE;
  return CopyOut(m_Path.server, puNameBufLength, pName);
}

STDMETHODIMP CWbemPath::GetNamespaceCount(ULONG* puCount) {
  if (!puCount) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_Lock);
  *puCount = static_cast<ULONG>(m_Path.namespaces.size());
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::SetNamespaceAt(ULONG uIndex, LPCWSTR pszName) {
  if (!pszName) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_Lock);
  if (uIndex > m_Path.namespaces.size()) return WBEM_E_INVALID_PARAMETER;
  m_Path.namespaces.insert(m_Path.namespaces.begin() + uIndex, pszName);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetNamespaceAt(ULONG uIndex, ULONG* puNameBufLength, LPWSTR pName) {
  std::lock_guard guard(m_Lock);
  if (uIndex >= m_Path.namespaces.size()) return WBEM_E_INVALID_PARAMETER;
  return CopyOut(m_Path.namespaces[uIndex], puNameBufLength, pName);
}

STDMETHODIMP CWbemPath::RemoveNamespaceAt(ULONG uIndex) {
  std::lock_guard guard(m_Lock);
  if (uIndex >= m_Path.namespaces.size()) return WBEM_E_INVALID_PARAMETER;
  m_Path.namespaces.erase(m_Path.namespaces.begin() + uIndex);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::RemoveAllNamespaces() {
  std::lock_guard guard(m_Lock);
  m_Path.namespaces.clear();
  return WBEM_S_NO_ERROR;
}

// Scopes belong to paths of nested containers, which no class of this system uses.
STDMETHODIMP CWbemPath::GetScopeCount(ULONG* puCount) {
  if (!puCount) return WBEM_E_INVALID_PARAMETER;
  *puCount = 0;
  return WBEM_S_NO_ERROR;
}
STDMETHODIMP CWbemPath::SetScope(ULONG, LPWSTR) { return WBEM_E_NOT_SUPPORTED; }
STDMETHODIMP CWbemPath::SetScopeFromText(ULONG, LPWSTR) { return WBEM_E_NOT_SUPPORTED; }
STDMETHODIMP CWbemPath::GetScope(ULONG, ULONG*, LPWSTR, IWbemPathKeyList**) { return WBEM_E_NOT_SUPPORTED; }
STDMETHODIMP CWbemPath::GetScopeAsText(ULONG, ULONG*, LPWSTR) { return WBEM_E_NOT_SUPPORTED; }
STDMETHODIMP CWbemPath::RemoveScope(ULONG) { return WBEM_E_NOT_SUPPORTED; }
STDMETHODIMP CWbemPath::RemoveAllScopes() { return WBEM_S_NO_ERROR; }

STDMETHODIMP CWbemPath::SetClassName(LPCWSTR Name) {
  if (!Name || !*Name) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_Lock);
  m_Path.className = Name;
  m_Path.hasClass = true;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetClassName(ULONG* puBuffLength, LPWSTR pszName) {
  if (!puBuffLength) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_Lock);
  if (!m_Path.hasClass) return WBEM_E_INVALID_OBJECT_PATH;
  return CopyOut(m_Path.className, puBuffLength, pszName);
}

STDMETHODIMP CWbemPath::GetKeyList(IWbemPathKeyList** pOut) {
  if (!pOut) return WBEM_E_INVALID_PARAMETER;
  *pOut = nullptr;
  {
    std::lock_guard guard(m_Lock);
    if (!m_Path.hasClass) return WBEM_E_NOT_AVAILABLE;
  }
  CWbemPathKeyList* list = new (std::nothrow) CWbemPathKeyList(this);
  if (!list) return WBEM_E_OUT_OF_MEMORY;
  *pOut = list;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::CreateClassPart(LONG, LPCWSTR Name) { return SetClassName(Name); }

STDMETHODIMP CWbemPath::DeleteClassPart(LONG) {
  std::lock_guard guard(m_Lock);
  m_Path.hasClass = false;
  m_Path.className.clear();
  m_Path.keys.clear();
  m_Path.singleton = false;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP_(BOOL) CWbemPath::IsRelative(LPWSTR wszMachine, LPWSTR wszNamespace) {
  std::lock_guard guard(m_Lock);
  if (m_Path.hasServer && m_Path.server != L"." && (!wszMachine || lstrcmpiW(m_Path.server.c_str(), wszMachine) != 0))
    return FALSE;
  if (m_Path.namespaces.empty()) return TRUE;
  std::wstring ns;
  for (size_t i = 0; i < m_Path.namespaces.size(); ++i) ns += (i ? L"\\" : L"") + m_Path.namespaces[i];
  return wszNamespace && lstrcmpiW(ns.c_str(), wszNamespace) == 0;
}

STDMETHODIMP_(BOOL) CWbemPath::IsRelativeOrChild(LPWSTR wszMachine, LPWSTR wszNamespace, LONG) {
  return IsRelative(wszMachine, wszNamespace);
}

STDMETHODIMP_(BOOL) CWbemPath::IsLocal(LPCWSTR wszMachine) {
  std::lock_guard guard(m_Lock);
  if (!m_Path.hasServer || m_Path.server == L".") return TRUE;
  return wszMachine && lstrcmpiW(m_Path.server.c_str(), wszMachine) == 0;
}

STDMETHODIMP_(BOOL) CWbemPath::IsSameClassName(LPCWSTR wszClass) {
  std::lock_guard guard(m_Lock);
  return m_Path.hasClass && wszClass && lstrcmpiW(m_Path.className.c_str(), wszClass) == 0;
}

CWbemPathKeyList::CWbemPathKeyList(CWbemPath* path) : m_pPath(path) { m_pPath->AddRef(); }

CWbemPathKeyList::~CWbemPathKeyList() { m_pPath->Release(); }

STDMETHODIMP CWbemPathKeyList::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWbemPathKeyList) {
    *ppv = static_cast<IWbemPathKeyList*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CWbemPathKeyList::AddRef() { return ++m_RefCount; }

STDMETHODIMP_(ULONG) CWbemPathKeyList::Release() {
  ULONG count = --m_RefCount;
  if (count == 0) delete this;
  return count;
}

STDMETHODIMP CWbemPathKeyList::GetCount(ULONG* puKeyCount) {
  if (!puKeyCount) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_pPath->m_Lock);
  *puKeyCount = static_cast<ULONG>(m_pPath->m_Path.keys.size());
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemPathKeyList::StoreKey(LPCWSTR wszName, ULONG uCimType, const PathKeyValue& value) {
  std::lock_guard guard(m_pPath->m_Lock);
  std::wstring name = wszName ? wszName : L"";
  for (PathKey& key : m_pPath->m_Path.keys) {
    if (lstrcmpiW(key.name.c_str(), name.c_str()) == 0) {
      key.value = value;
      key.cimType = uCimType;
      return WBEM_S_NO_ERROR;
    }
  }
  m_pPath->m_Path.keys.push_back(PathKey{name, value, uCimType});
  m_pPath->m_Path.singleton = false;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::SetKey(LPCWSTR wszName, ULONG, ULONG uCimType, LPVOID pKeyVal) {
  if (!pKeyVal) return WBEM_E_INVALID_PARAMETER;
  PathKeyValue value;
  switch (uCimType) {
    case CIM_STRING:
    case CIM_REFERENCE:
    case CIM_DATETIME:
      value.text = static_cast<const WCHAR*>(pKeyVal);
      break;
    case CIM_SINT32:
      value.kind = PathKeyValue::Kind::Integer;
      value.integer = *static_cast<const LONG*>(pKeyVal);
      break;
    case CIM_UINT32:
      value.kind = PathKeyValue::Kind::Integer;
      value.integer = *static_cast<const ULONG*>(pKeyVal);
      break;
    case CIM_BOOLEAN:
      value.kind = PathKeyValue::Kind::Boolean;
      value.boolean = *static_cast<const VARIANT_BOOL*>(pKeyVal) != 0;
      break;
    default:
      return WBEM_E_INVALID_PARAMETER;
  }
  return StoreKey(wszName, uCimType, value);
}

STDMETHODIMP CWbemPathKeyList::SetKey2(LPCWSTR wszName, ULONG, ULONG uCimType, VARIANT* pKeyVal) {
  if (!pKeyVal) return WBEM_E_INVALID_PARAMETER;
  PathKeyValue value;
  switch (pKeyVal->vt) {
    case VT_BSTR:
      value.text = pKeyVal->bstrVal ? pKeyVal->bstrVal : L"";
      break;
    case VT_I4:
      value.kind = PathKeyValue::Kind::Integer;
      value.integer = pKeyVal->lVal;
      break;
    case VT_BOOL:
      value.kind = PathKeyValue::Kind::Boolean;
      value.boolean = pKeyVal->boolVal != 0;
      break;
    default:
      return WBEM_E_INVALID_PARAMETER;
  }
  return StoreKey(wszName, uCimType, value);
}

STDMETHODIMP CWbemPathKeyList::GetKey(ULONG, ULONG, ULONG*, LPWSTR, ULONG*, LPVOID, ULONG*) {
  return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP CWbemPathKeyList::GetKey2(ULONG uKeyIx, ULONG, ULONG* puNameBufSize, LPWSTR pszKeyName,
                                       VARIANT* pKeyValue, ULONG* puApparentCimType) {
  if (!pKeyValue) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_pPath->m_Lock);
  const std::vector<PathKey>& keys = m_pPath->m_Path.keys;
  if (uKeyIx >= keys.size()) return WBEM_E_INVALID_PARAMETER;
  const PathKey& key = keys[uKeyIx];
  if (puNameBufSize) {
    HRESULT hr = CopyOut(key.name, puNameBufSize, pszKeyName);
    if (FAILED(hr)) return hr;
  }
  VariantClear(pKeyValue);
  ULONG cimType = CIM_STRING;
  switch (key.value.kind) {
    case PathKeyValue::Kind::String:
      pKeyValue->vt = VT_BSTR;
      pKeyValue->bstrVal = SysAllocStringLen(key.value.text.data(), static_cast<UINT>(key.value.text.size()));
      break;
    case PathKeyValue::Kind::Integer:
      if (key.value.integer >= INT32_MIN && key.value.integer <= INT32_MAX) {
        pKeyValue->vt = VT_I4;
        pKeyValue->lVal = static_cast<LONG>(key.value.integer);
        cimType = CIM_SINT32;
      } else {
        pKeyValue->vt = VT_BSTR;
        pKeyValue->bstrVal = SysAllocString(std::to_wstring(key.value.integer).c_str());
        cimType = CIM_SINT64;
      }
      break;
    case PathKeyValue::Kind::Unsigned:
      pKeyValue->vt = VT_BSTR;
      pKeyValue->bstrVal = SysAllocString(std::to_wstring(key.value.unsignedValue).c_str());
      cimType = CIM_UINT64;
      break;
    case PathKeyValue::Kind::Boolean:
      pKeyValue->vt = VT_BOOL;
      pKeyValue->boolVal = key.value.boolean ? VARIANT_TRUE : VARIANT_FALSE;
      cimType = CIM_BOOLEAN;
      break;
  }
  if (puApparentCimType) *puApparentCimType = key.cimType != CIM_EMPTY ? key.cimType : cimType;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::RemoveKey(LPCWSTR wszName, ULONG) {
  std::lock_guard guard(m_pPath->m_Lock);
  std::vector<PathKey>& keys = m_pPath->m_Path.keys;
  std::wstring name = wszName ? wszName : L"";
  for (auto it = keys.begin(); it != keys.end(); ++it) {
    if (lstrcmpiW(it->name.c_str(), name.c_str()) == 0) {
      keys.erase(it);
      return WBEM_S_NO_ERROR;
    }
  }
  return WBEM_E_INVALID_PARAMETER;
}

STDMETHODIMP CWbemPathKeyList::RemoveAllKeys(ULONG) {
  std::lock_guard guard(m_pPath->m_Lock);
  m_pPath->m_Path.keys.clear();
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::MakeSingleton(boolean bSet) {
  std::lock_guard guard(m_pPath->m_Lock);
  m_pPath->m_Path.singleton = bSet != 0;
  if (bSet) m_pPath->m_Path.keys.clear();
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::GetInfo(ULONG, ULONGLONG* puResponse) {
  if (!puResponse) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard guard(m_pPath->m_Lock);
  *puResponse = ObjectPathInfo(m_pPath->m_Path);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::GetText(LONG, ULONG* puBuffLength, LPWSTR pszText) {
  std::lock_guard guard(m_pPath->m_Lock);
  std::wstring text;
  FormatObjectPath(m_pPath->m_Path, WBEMPATH_GET_RELATIVE_ONLY, &text);
  size_t dot = text.find_first_of(L".=");
  return CopyOut(dot == std::wstring::npos ? std::wstring() : text.substr(dot + 1), puBuffLength, pszText);
}

}  // namespace qz
