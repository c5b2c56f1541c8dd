// The IWbemPath and IWbemPathKeyList objects behind CLSID_WbemDefPath, and their class factory,
// which the platform registers as a built-in class.
#include "ole32/comobject.h"
#include "wbem/path.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <limits>
#include <new>

namespace qz {
namespace {

std::vector<std::wstring_view> SplitNamespace(std::wstring_view text) {
  std::vector<std::wstring_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == L'\\' || text[i] == L'/') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// The text of the buffer-size protocol: the size needed, terminator included, always comes back;
// a null buffer only asks for it.
HRESULT CopyText(std::wstring_view text, ULONG* size, LPWSTR buffer) {
  if (!size) return WBEM_E_INVALID_PARAMETER;
  if (text.size() >= std::numeric_limits<ULONG>::max()) return WBEM_E_OUT_OF_MEMORY;
  ULONG needed = static_cast<ULONG>(text.size() + 1);
  if (buffer && *size < needed) {
    *size = needed;
    return WBEM_E_BUFFER_TOO_SMALL;
  }
  *size = needed;
  if (buffer) {
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = L'\0';
  }
  return WBEM_S_NO_ERROR;
}

bool NamespaceMatches(const ObjectPath& path, LPCWSTR wszNamespace, bool childToo) {
  if (path.namespaces.empty()) return true;
  if (!wszNamespace) return false;
  std::vector<std::wstring_view> given = SplitNamespace(wszNamespace);
  if (path.namespaces.size() < given.size()) return false;
  if (!childToo && path.namespaces.size() != given.size()) return false;
  for (size_t i = 0; i < given.size(); ++i)
    if (!EqualNamesNoCase(path.namespaces[i], given[i])) return false;
  return true;
}

bool ServerIsLocal(const ObjectPath& path, LPCWSTR wszMachine) {
  if (!path.hasServer || path.server == L".") return true;
  return wszMachine && EqualNamesNoCase(path.server, wszMachine);
}

// Key values given as VARIANTs, read with the CIM type the caller states (a VT_I4 of a uint32
// key is unsigned; a uint64 in a VT_BSTR is its decimal text).
HRESULT ValueFromVariant(const VARIANT* variant, ULONG cimType, PathKeyValue* value) {
  auto integer = [value](LONGLONG n) {
    value->kind = PathKeyValue::Kind::Integer;
    value->integer = n;
  };
  switch (variant->vt) {
    case VT_BSTR: {
      std::wstring_view text;
      if (variant->bstrVal) text = std::wstring_view(variant->bstrVal, SysStringLen(variant->bstrVal));
      if (text.find(L'\0') != std::wstring_view::npos) return WBEM_E_INVALID_PARAMETER;
      if ((cimType == CIM_SINT64 || cimType == CIM_UINT64) && ParseKeyNumber(text, value)) return WBEM_S_NO_ERROR;
      value->kind = PathKeyValue::Kind::String;
      value->text.assign(text);
      return WBEM_S_NO_ERROR;
    }
    case VT_I1:
      integer(cimType == CIM_UINT8 ? static_cast<BYTE>(variant->cVal) : variant->cVal);
      return WBEM_S_NO_ERROR;
    case VT_UI1:
      integer(variant->bVal);
      return WBEM_S_NO_ERROR;
    case VT_I2:
      integer(cimType == CIM_UINT16 ? static_cast<USHORT>(variant->iVal) : variant->iVal);
      return WBEM_S_NO_ERROR;
    case VT_UI2:
      integer(variant->uiVal);
      return WBEM_S_NO_ERROR;
    case VT_I4:
    case VT_INT:
      integer(cimType == CIM_UINT32 ? static_cast<ULONG>(variant->lVal) : variant->lVal);
      return WBEM_S_NO_ERROR;
    case VT_UI4:
    case VT_UINT:
      integer(variant->ulVal);
      return WBEM_S_NO_ERROR;
    case VT_I8:
      integer(variant->llVal);
      return WBEM_S_NO_ERROR;
    case VT_UI8:
      if (variant->ullVal > static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max())) {
        value->kind = PathKeyValue::Kind::Unsigned;
        value->unsignedValue = variant->ullVal;
      } else {
        integer(static_cast<LONGLONG>(variant->ullVal));
      }
      return WBEM_S_NO_ERROR;
    case VT_BOOL:
      value->kind = PathKeyValue::Kind::Boolean;
      value->boolean = variant->boolVal != VARIANT_FALSE;
      return WBEM_S_NO_ERROR;
    default:
      return WBEM_E_INVALID_PARAMETER;
  }
}

}  // namespace

// ---- IWbemPath -------------------------------------------------------------------------------

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
  // A provider reads the same path several times over while it answers one request (checks it,
  // then takes its keys): the thread's last parse is used again for the same text and mode.
  struct LastParse {
    ULONG mode = 0;
    std::wstring text;
    bool valid = false;
    ObjectPath path;
  };
  thread_local LastParse last;
  ObjectPath parsed;
  if (last.mode == uMode && last.text == pszPath && !last.text.empty()) {
    if (!last.valid) return WBEM_E_INVALID_PARAMETER;
    parsed = last.path;
  } else {
    const bool valid = ParseObjectPath(pszPath, uMode, &parsed);
    last.mode = uMode;
    last.text = pszPath;
    last.valid = valid;
    last.path = valid ? parsed : ObjectPath();
    if (!valid) return WBEM_E_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Path = std::move(parsed);
  m_Original = pszPath;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetText(LONG lFlags, ULONG* puBuffLength, LPWSTR pszText) {
  if (!puBuffLength) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  if (lFlags == WBEMPATH_GET_ORIGINAL) return CopyText(m_Original, puBuffLength, pszText);
  std::wstring text;
  if (!FormatObjectPath(m_Path, lFlags, &text)) return WBEM_E_INVALID_PARAMETER;
  return CopyText(text, puBuffLength, pszText);
}

STDMETHODIMP CWbemPath::GetInfo(ULONG uRequestedInfo, ULONGLONG* puResponse) {
  if (uRequestedInfo != 0 || !puResponse) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  *puResponse = ObjectPathInfo(m_Path);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::SetServer(LPCWSTR Name) {
  std::lock_guard<std::mutex> lock(m_Lock);
  if (!Name || !*Name) {
    m_Path.hasServer = false;
    m_Path.server.clear();
    return WBEM_S_NO_ERROR;
  }
  if (!IsValidServerName(Name)) return WBEM_E_INVALID_PARAMETER;
  m_Path.hasServer = true;
  m_Path.server = Name;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetServer(ULONG* puNameBufLength, LPWSTR pName) {
  if (!puNameBufLength) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  if (!m_Path.hasServer) return WBEM_E_NOT_AVAILABLE;
  return CopyText(m_Path.server, puNameBufLength, pName);
}

STDMETHODIMP CWbemPath::GetNamespaceCount(ULONG* puCount) {
  if (!puCount) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  *puCount = static_cast<ULONG>(m_Path.namespaces.size());
  return WBEM_S_NO_ERROR;
}

// Inserts before the namespace at uIndex; the count appends.
STDMETHODIMP CWbemPath::SetNamespaceAt(ULONG uIndex, LPCWSTR pszName) {
  if (!pszName || !IsValidPathName(pszName)) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  if (uIndex > m_Path.namespaces.size()) return WBEM_E_INVALID_PARAMETER;
  m_Path.namespaces.insert(m_Path.namespaces.begin() + uIndex, pszName);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetNamespaceAt(ULONG uIndex, ULONG* puNameBufLength, LPWSTR pName) {
  if (!puNameBufLength) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  if (uIndex >= m_Path.namespaces.size()) return WBEM_E_INVALID_PARAMETER;
  return CopyText(m_Path.namespaces[uIndex], puNameBufLength, pName);
}

STDMETHODIMP CWbemPath::RemoveNamespaceAt(ULONG uIndex) {
  std::lock_guard<std::mutex> lock(m_Lock);
  if (uIndex >= m_Path.namespaces.size()) return WBEM_E_INVALID_PARAMETER;
  m_Path.namespaces.erase(m_Path.namespaces.begin() + uIndex);
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::RemoveAllNamespaces() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Path.namespaces.clear();
  return WBEM_S_NO_ERROR;
}

// Scopes (paths through embedded objects) are not part of the grammar: a path never has one.
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
  if (!Name || !IsValidPathName(Name)) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Path.hasClass = true;
  m_Path.className = Name;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::GetClassName(ULONG* puBuffLength, LPWSTR pszName) {
  if (!puBuffLength) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  if (!m_Path.hasClass) return WBEM_E_INVALID_OBJECT_PATH;
  return CopyText(m_Path.className, puBuffLength, pszName);
}

STDMETHODIMP CWbemPath::GetKeyList(IWbemPathKeyList** pOut) {
  if (!pOut) return WBEM_E_INVALID_PARAMETER;
  *pOut = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Path.hasClass) return WBEM_E_NOT_AVAILABLE;
  }
  CWbemPathKeyList* list = new (std::nothrow) CWbemPathKeyList(this);
  if (!list) return WBEM_E_OUT_OF_MEMORY;
  *pOut = list;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPath::CreateClassPart(LONG lFlags, LPCWSTR Name) {
  if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
  return SetClassName(Name);
}

STDMETHODIMP CWbemPath::DeleteClassPart(LONG lFlags) {
  if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Path.hasClass = false;
  m_Path.className.clear();
  m_Path.keys.clear();
  m_Path.singleton = false;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP_(BOOL) CWbemPath::IsRelative(LPWSTR wszMachine, LPWSTR wszNamespace) {
  std::lock_guard<std::mutex> lock(m_Lock);
  return ServerIsLocal(m_Path, wszMachine) && NamespaceMatches(m_Path, wszNamespace, false);
}

STDMETHODIMP_(BOOL) CWbemPath::IsRelativeOrChild(LPWSTR wszMachine, LPWSTR wszNamespace, LONG lFlags) {
  if (lFlags != 0) return FALSE;
  std::lock_guard<std::mutex> lock(m_Lock);
  return ServerIsLocal(m_Path, wszMachine) && NamespaceMatches(m_Path, wszNamespace, true);
}

STDMETHODIMP_(BOOL) CWbemPath::IsLocal(LPCWSTR wszMachine) {
  std::lock_guard<std::mutex> lock(m_Lock);
  return ServerIsLocal(m_Path, wszMachine);
}

STDMETHODIMP_(BOOL) CWbemPath::IsSameClassName(LPCWSTR wszClass) {
  if (!wszClass) return FALSE;
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Path.hasClass && EqualNamesNoCase(m_Path.className, wszClass);
}

// ---- IWbemPathKeyList ------------------------------------------------------------------------

namespace {

bool FitsLong(LONGLONG n) { return n >= std::numeric_limits<LONG>::min() && n <= std::numeric_limits<LONG>::max(); }

// The CIM type that the caller gave the key, else the one its value shows.
ULONG ApparentCimType(const PathKey& key) {
  if (key.cimType != CIM_EMPTY) return key.cimType;
  switch (key.value.kind) {
    case PathKeyValue::Kind::String:
      return CIM_STRING;
    case PathKeyValue::Kind::Integer:
      return FitsLong(key.value.integer) ? CIM_SINT32 : CIM_SINT64;
    case PathKeyValue::Kind::Unsigned:
      return CIM_UINT64;
    case PathKeyValue::Kind::Boolean:
      return CIM_BOOLEAN;
  }
  return CIM_EMPTY;
}

// The value as a VARIANT: strings VT_BSTR, integers VT_I4 where they fit and VT_I8 beyond, values
// above the signed 64-bit range as decimal VT_BSTR (as WMI carries uint64), booleans VT_BOOL.
HRESULT ValueToVariant(const PathKeyValue& value, VARIANT* variant) {
  auto text = [variant](std::wstring_view s) {
    BSTR b = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    if (!b) return WBEM_E_OUT_OF_MEMORY;
    variant->vt = VT_BSTR;
    variant->bstrVal = b;
    return WBEM_S_NO_ERROR;
  };
  switch (value.kind) {
    case PathKeyValue::Kind::String:
      return text(value.text);
    case PathKeyValue::Kind::Integer:
      if (FitsLong(value.integer)) {
        variant->vt = VT_I4;
        variant->lVal = static_cast<LONG>(value.integer);
      } else {
        variant->vt = VT_I8;
        variant->llVal = value.integer;
      }
      return WBEM_S_NO_ERROR;
    case PathKeyValue::Kind::Unsigned:
      return text(std::to_wstring(value.unsignedValue));
    case PathKeyValue::Kind::Boolean:
      variant->vt = VT_BOOL;
      variant->boolVal = value.boolean ? VARIANT_TRUE : VARIANT_FALSE;
      return WBEM_S_NO_ERROR;
  }
  return WBEM_E_FAILED;
}

// The value in the binary form of GetKey with flags 0: wide text, 32- or 64-bit integer, VARIANT_BOOL.
std::vector<BYTE> RawValue(const PathKeyValue& value) {
  auto bytes = [](const void* data, size_t size) {
    const BYTE* p = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(p, p + size);
  };
  switch (value.kind) {
    case PathKeyValue::Kind::String:
      return bytes(value.text.c_str(), (value.text.size() + 1) * sizeof(WCHAR));
    case PathKeyValue::Kind::Integer:
      if (FitsLong(value.integer)) {
        LONG n = static_cast<LONG>(value.integer);
        return bytes(&n, sizeof(n));
      }
      return bytes(&value.integer, sizeof(value.integer));
    case PathKeyValue::Kind::Unsigned:
      return bytes(&value.unsignedValue, sizeof(value.unsignedValue));
    case PathKeyValue::Kind::Boolean: {
      VARIANT_BOOL b = value.boolean ? VARIANT_TRUE : VARIANT_FALSE;
      return bytes(&b, sizeof(b));
    }
  }
  return {};
}

}  // namespace

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
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  *puKeyCount = static_cast<ULONG>(m_pPath->m_Path.keys.size());
  return WBEM_S_NO_ERROR;
}

// A key of the same name (ignoring case) takes the new value; a new name is appended. The unnamed
// key stands alone: it cannot join named keys, nor they it.
HRESULT CWbemPathKeyList::StoreKey(LPCWSTR wszName, ULONG uCimType, const PathKeyValue& value) {
  std::wstring_view name(wszName);
  if (!name.empty() && !IsValidPathName(name)) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  std::vector<PathKey>& keys = m_pPath->m_Path.keys;
  for (PathKey& key : keys) {
    if (EqualNamesNoCase(key.name, name)) {
      key.value = value;
      key.cimType = uCimType;
      m_pPath->m_Path.singleton = false;
      return WBEM_S_NO_ERROR;
    }
  }
  if (!keys.empty() && (name.empty() || HasImpliedKey(m_pPath->m_Path))) return WBEM_E_INVALID_PARAMETER;
  keys.push_back(PathKey{std::wstring(name), value, uCimType});
  m_pPath->m_Path.singleton = false;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::SetKey(LPCWSTR wszName, ULONG uFlags, ULONG uCimType, LPVOID pKeyVal) {
  if (!wszName || !pKeyVal || uFlags != 0) return WBEM_E_INVALID_PARAMETER;
  PathKeyValue value;
  value.kind = PathKeyValue::Kind::Integer;
  switch (uCimType) {
    case CIM_STRING:
    case CIM_REFERENCE:
    case CIM_DATETIME:
      value.kind = PathKeyValue::Kind::String;
      value.text = static_cast<LPCWSTR>(pKeyVal);
      break;
    case CIM_SINT8:
      value.integer = *static_cast<const signed char*>(pKeyVal);
      break;
    case CIM_UINT8:
      value.integer = *static_cast<const BYTE*>(pKeyVal);
      break;
    case CIM_SINT16:
      value.integer = *static_cast<const SHORT*>(pKeyVal);
      break;
    case CIM_UINT16:
    case CIM_CHAR16:
      value.integer = *static_cast<const USHORT*>(pKeyVal);
      break;
    case CIM_SINT32:
      value.integer = *static_cast<const LONG*>(pKeyVal);
      break;
    case CIM_UINT32:
      value.integer = *static_cast<const ULONG*>(pKeyVal);
      break;
    case CIM_SINT64:
      value.integer = *static_cast<const LONGLONG*>(pKeyVal);
      break;
    case CIM_UINT64: {
      VARIANT v{};
      v.vt = VT_UI8;
      v.ullVal = *static_cast<const ULONGLONG*>(pKeyVal);
      ValueFromVariant(&v, uCimType, &value);
      break;
    }
    case CIM_BOOLEAN:
      value.kind = PathKeyValue::Kind::Boolean;
      value.boolean = *static_cast<const VARIANT_BOOL*>(pKeyVal) != VARIANT_FALSE;
      break;
    default:
      return WBEM_E_INVALID_PARAMETER;
  }
  return StoreKey(wszName, uCimType, value);
}

STDMETHODIMP CWbemPathKeyList::SetKey2(LPCWSTR wszName, ULONG uFlags, ULONG uCimType, VARIANT* pKeyVal) {
  if (!wszName || !pKeyVal || uFlags != 0) return WBEM_E_INVALID_PARAMETER;
  PathKeyValue value;
  HRESULT hr = ValueFromVariant(pKeyVal, uCimType, &value);
  if (FAILED(hr)) return hr;
  return StoreKey(wszName, uCimType, value);
}

// The value comes typed (flags 0), as text or as quoted text; the name and value buffers follow
// the buffer-size protocol, the value's in bytes.
STDMETHODIMP CWbemPathKeyList::GetKey(ULONG uKeyIx, ULONG uFlags, ULONG* puNameBufSize, LPWSTR pszKeyName,
                                      ULONG* puKeyValBufSize, LPVOID pKeyVal, ULONG* puApparentCimType) {
  if (uFlags != 0 && uFlags != WBEMPATH_TEXT && uFlags != WBEMPATH_QUOTEDTEXT) return WBEM_E_INVALID_PARAMETER;
  if (!puNameBufSize || !puKeyValBufSize) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  const std::vector<PathKey>& keys = m_pPath->m_Path.keys;
  if (uKeyIx >= keys.size()) return WBEM_E_INVALID_PARAMETER;
  const PathKey& key = keys[uKeyIx];
  PathKeyValue asText;
  if (uFlags != 0) AppendKeyValue(&asText.text, key.value, uFlags == WBEMPATH_QUOTEDTEXT);
  std::vector<BYTE> raw = RawValue(uFlags == 0 ? key.value : asText);
  if (raw.size() >= std::numeric_limits<ULONG>::max() || key.name.size() >= std::numeric_limits<ULONG>::max())
    return WBEM_E_OUT_OF_MEMORY;
  ULONG nameSize = static_cast<ULONG>(key.name.size() + 1);
  ULONG valueSize = static_cast<ULONG>(raw.size());
  bool fits = (!pszKeyName || *puNameBufSize >= nameSize) && (!pKeyVal || *puKeyValBufSize >= valueSize);
  *puNameBufSize = nameSize;
  *puKeyValBufSize = valueSize;
  if (!fits) return WBEM_E_BUFFER_TOO_SMALL;
  if (pszKeyName) std::memcpy(pszKeyName, key.name.c_str(), nameSize * sizeof(WCHAR));
  if (pKeyVal) std::memcpy(pKeyVal, raw.data(), raw.size());
  if (puApparentCimType) *puApparentCimType = uFlags == 0 ? ApparentCimType(key) : ULONG{CIM_STRING};
  return WBEM_S_NO_ERROR;
}

// The value comes as a VARIANT: typed (flags 0), as text or as quoted text in a VT_BSTR. The
// VARIANT is written without being cleared first.
STDMETHODIMP CWbemPathKeyList::GetKey2(ULONG uKeyIx, ULONG uFlags, ULONG* puNameBufSize, LPWSTR pszKeyName,
                                       VARIANT* pKeyValue, ULONG* puApparentCimType) {
  if (uFlags != 0 && uFlags != WBEMPATH_TEXT && uFlags != WBEMPATH_QUOTEDTEXT) return WBEM_E_INVALID_PARAMETER;
  if (pszKeyName && !puNameBufSize) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  const std::vector<PathKey>& keys = m_pPath->m_Path.keys;
  if (uKeyIx >= keys.size()) return WBEM_E_INVALID_PARAMETER;
  const PathKey& key = keys[uKeyIx];
  if (puNameBufSize) {
    HRESULT hr = CopyText(key.name, puNameBufSize, pszKeyName);
    if (FAILED(hr)) return hr;
  }
  if (pKeyValue) {
    PathKeyValue asText;
    if (uFlags != 0) AppendKeyValue(&asText.text, key.value, uFlags == WBEMPATH_QUOTEDTEXT);
    HRESULT hr = ValueToVariant(uFlags == 0 ? key.value : asText, pKeyValue);
    if (FAILED(hr)) return hr;
  }
  if (puApparentCimType) *puApparentCimType = uFlags == 0 ? ApparentCimType(key) : ULONG{CIM_STRING};
  return WBEM_S_NO_ERROR;
}

// Removing a name the list does not hold is no error: the key is absent afterwards either way.
STDMETHODIMP CWbemPathKeyList::RemoveKey(LPCWSTR wszName, ULONG uFlags) {
  if (!wszName || uFlags != 0) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  std::vector<PathKey>& keys = m_pPath->m_Path.keys;
  for (auto it = keys.begin(); it != keys.end(); ++it) {
    if (EqualNamesNoCase(it->name, wszName)) {
      keys.erase(it);
      break;
    }
  }
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::RemoveAllKeys(ULONG uFlags) {
  if (uFlags != 0) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  m_pPath->m_Path.keys.clear();
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::MakeSingleton(boolean bSet) {
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  if (bSet) m_pPath->m_Path.keys.clear();
  m_pPath->m_Path.singleton = bSet != 0;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::GetInfo(ULONG uRequestedInfo, ULONGLONG* puResponse) {
  if (uRequestedInfo != 0 || !puResponse) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  const ObjectPath& path = m_pPath->m_Path;
  ULONGLONG info = 0;
  if (path.singleton) info |= WBEMPATH_INFO_IS_SINGLETON;
  if (path.keys.size() > 1) info |= WBEMPATH_INFO_IS_COMPOUND;
  if (HasImpliedKey(path)) info |= WBEMPATH_INFO_HAS_IMPLIED_KEY;
  *puResponse = info;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP CWbemPathKeyList::GetText(LONG lFlags, ULONG* puBuffLength, LPWSTR pszText) {
  if (lFlags != 0 && lFlags != WBEMPATH_QUOTEDTEXT) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(m_pPath->m_Lock);
  return CopyText(FormatKeyList(m_pPath->m_Path), puBuffLength, pszText);
}

// ---- Class factory ---------------------------------------------------------------------------

namespace {

// The parser is one of the platform's built-in classes, there as soon as the library is loaded.
[[maybe_unused]] const bool g_Registered =
    SUCCEEDED(CoRegisterBuiltinClass(CLSID_WbemDefPath, &WbemDefPathGetClassObject));

}  // namespace

HRESULT WbemDefPathGetClassObject(REFIID riid, void** ppv) {
  return BuiltinClassFactory<&CreateWbemPath>::GetClassObject(riid, ppv);
}

HRESULT CreateWbemPath(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  CWbemPath* path = new (std::nothrow) CWbemPath();
  if (!path) return E_OUTOFMEMORY;
  HRESULT hr = path->QueryInterface(riid, ppv);
  path->Release();
  return hr;
}

}  // namespace qz
