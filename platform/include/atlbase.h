// The client classes of the active template library that the platform and the provider use:
// CComPtr, CComQIPtr, CComBSTR and CComVariant, with the library's names and semantics.
#pragma once

#include <cassert>
#include <cstring>
#include <cwchar>
#include <memory>
#include <utility>

#include "objbase.h"
#include "oleauto.h"

#ifndef ATLASSERT
#define ATLASSERT(expr) assert(expr)
#endif

namespace ATL {

// Owns one reference on an interface pointer.
template <class T>
class CComPtr {
 public:
  CComPtr() noexcept : p(nullptr) {}
  CComPtr(T* lp) noexcept : p(lp) {  // NOLINT: implicit as in the library
    if (p) p->AddRef();
  }
  CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
  CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
  ~CComPtr() {
    if (p) p->Release();
  }

  T* operator=(T* lp) noexcept {
    if (p != lp) CComPtr(lp).Swap(*this);
    return p;
  }
  T* operator=(const CComPtr& other) noexcept { return *this = other.p; }
  CComPtr& operator=(CComPtr&& other) noexcept {
    if (this != std::addressof(other)) CComPtr(std::move(other)).Swap(*this);
    return *this;
  }

  operator T*() const noexcept { return p; }
  T& operator*() const {
    ATLASSERT(p != nullptr);
    return *p;
  }
  // For out parameters: the pointer must be empty, or its reference would leak.
  T** operator&() {
    ATLASSERT(p == nullptr);
    return &p;
  }
  T* operator->() const {
    ATLASSERT(p != nullptr);
    return p;
  }
  bool operator!() const noexcept { return p == nullptr; }
  bool operator==(T* other) const noexcept { return p == other; }
  bool operator!=(T* other) const noexcept { return p != other; }

  // Releases the reference and empties the pointer.
  void Release() noexcept {
    T* temp = p;
    if (temp) {
      p = nullptr;
      temp->Release();
    }
  }
  // Takes over a reference without AddRef, releasing the one held.
  void Attach(T* p2) noexcept {
    if (p) p->Release();
    p = p2;
  }
  // Gives up the reference without Release.
  T* Detach() noexcept {
    T* temp = p;
    p = nullptr;
    return temp;
  }
  // An AddRef'd copy for an out parameter.
  HRESULT CopyTo(T** ppT) const noexcept {
    if (!ppT) return E_POINTER;
    *ppT = p;
    if (p) p->AddRef();
    return S_OK;
  }
  template <class Q>
  HRESULT QueryInterface(Q** pp) const noexcept {
    ATLASSERT(pp != nullptr);
    if (!p) return E_POINTER;
    return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
  }
  HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter = nullptr, DWORD dwClsContext = CLSCTX_ALL) noexcept {
    ATLASSERT(p == nullptr);
    return ::CoCreateInstance(rclsid, pUnkOuter, dwClsContext, __uuidof(T), reinterpret_cast<void**>(&p));
  }
  bool IsEqualObject(IUnknown* pOther) noexcept {
    if (!p && !pOther) return true;
    if (!p || !pOther) return false;
    CComPtr<IUnknown> left;
    CComPtr<IUnknown> right;
    p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&left));
    pOther->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&right));
    return left == right.p;
  }
  void Swap(CComPtr& other) noexcept { std::swap(p, other.p); }

  T* p;
};

// A CComPtr that asks its source for T with QueryInterface.
template <class T>
class CComQIPtr : public CComPtr<T> {
 public:
  CComQIPtr() noexcept = default;
  CComQIPtr(T* lp) noexcept : CComPtr<T>(lp) {}  // NOLINT
  CComQIPtr(IUnknown* lp) noexcept {             // NOLINT
    if (lp) lp->QueryInterface(__uuidof(T), reinterpret_cast<void**>(&this->p));
  }
  CComQIPtr(const CComQIPtr& other) noexcept : CComPtr<T>(other.p) {}
  T* operator=(T* lp) noexcept { return CComPtr<T>::operator=(lp); }
  T* operator=(const CComQIPtr& other) noexcept { return CComPtr<T>::operator=(other.p); }
};

// Owns one BSTR.
class CComBSTR {
 public:
  CComBSTR() noexcept : m_str(nullptr) {}
  CComBSTR(LPCOLESTR pSrc) : m_str(pSrc ? ::SysAllocString(pSrc) : nullptr) {}  // NOLINT
  CComBSTR(int nSize, LPCOLESTR sz) : m_str(nSize ? ::SysAllocStringLen(sz, static_cast<UINT>(nSize)) : nullptr) {}
  CComBSTR(const CComBSTR& src) : m_str(src.Copy()) {}
  CComBSTR(CComBSTR&& src) noexcept : m_str(src.m_str) { src.m_str = nullptr; }
  ~CComBSTR() { ::SysFreeString(m_str); }

  CComBSTR& operator=(const CComBSTR& src) {
    if (m_str != src.m_str) {
      ::SysFreeString(m_str);
      m_str = src.Copy();
    }
    return *this;
  }
  CComBSTR& operator=(CComBSTR&& src) noexcept {
    if (this != std::addressof(src)) {
      ::SysFreeString(m_str);
      m_str = src.m_str;
      src.m_str = nullptr;
    }
    return *this;
  }
  CComBSTR& operator=(LPCOLESTR pSrc) {
    if (pSrc != m_str) {
      ::SysFreeString(m_str);
      m_str = pSrc ? ::SysAllocString(pSrc) : nullptr;
    }
    return *this;
  }

  operator BSTR() const noexcept { return m_str; }
  BSTR* operator&() noexcept { return &m_str; }
  bool operator!() const noexcept { return m_str == nullptr; }
  // Equal texts; a null BSTR equals the empty one, as in the library.
  bool operator==(LPCOLESTR other) const noexcept {
    const OLECHAR* left = m_str ? m_str : L"";
    const OLECHAR* right = other ? other : L"";
    return std::wcscmp(left, right) == 0;
  }
  bool operator!=(LPCOLESTR other) const noexcept { return !(*this == other); }
  bool operator==(const CComBSTR& other) const noexcept {
    return Length() == other.Length() &&
           (Length() == 0 || std::wmemcmp(m_str, other.m_str, Length()) == 0);
  }

  unsigned int Length() const noexcept { return ::SysStringLen(m_str); }
  unsigned int ByteLength() const noexcept { return ::SysStringByteLen(m_str); }
  // A new BSTR with the same bytes; null for a null string.
  BSTR Copy() const noexcept {
    if (!m_str) return nullptr;
    return ::SysAllocStringByteLen(reinterpret_cast<LPCSTR>(m_str), ::SysStringByteLen(m_str));
  }
  HRESULT CopyTo(BSTR* pbstr) const noexcept {
    if (!pbstr) return E_POINTER;
    *pbstr = Copy();
    return (!*pbstr && m_str) ? E_OUTOFMEMORY : S_OK;
  }
  HRESULT CopyTo(VARIANT* pvarDest) const noexcept {
    if (!pvarDest) return E_POINTER;
    pvarDest->vt = VT_BSTR;
    pvarDest->bstrVal = Copy();
    if (!pvarDest->bstrVal && m_str) {
      pvarDest->vt = VT_EMPTY;
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  void Attach(BSTR src) noexcept {
    if (m_str != src) {
      ::SysFreeString(m_str);
      m_str = src;
    }
  }
  BSTR Detach() noexcept {
    BSTR s = m_str;
    m_str = nullptr;
    return s;
  }
  void Empty() noexcept {
    ::SysFreeString(m_str);
    m_str = nullptr;
  }
  HRESULT Append(LPCOLESTR lpsz, int nLen) noexcept {
    if (!lpsz || nLen <= 0) return S_OK;
    const unsigned int length = Length();
    BSTR grown = ::SysAllocStringLen(nullptr, length + static_cast<unsigned int>(nLen));
    if (!grown) return E_OUTOFMEMORY;
    if (length) std::wmemcpy(grown, m_str, length);
    std::wmemcpy(grown + length, lpsz, static_cast<size_t>(nLen));
    ::SysFreeString(m_str);
    m_str = grown;
    return S_OK;
  }
  HRESULT Append(LPCOLESTR lpsz) noexcept { return lpsz ? Append(lpsz, static_cast<int>(std::wcslen(lpsz))) : S_OK; }
  HRESULT Append(const CComBSTR& bstrSrc) noexcept { return Append(bstrSrc.m_str, static_cast<int>(bstrSrc.Length())); }
  HRESULT Append(OLECHAR ch) noexcept { return Append(&ch, 1); }
  CComBSTR& operator+=(LPCOLESTR lpsz) {
    Append(lpsz);
    return *this;
  }
  CComBSTR& operator+=(const CComBSTR& bstrSrc) {
    Append(bstrSrc);
    return *this;
  }

  BSTR m_str;
};

// A VARIANT that clears itself.
class CComVariant : public tagVARIANT {
 public:
  CComVariant() noexcept { vt = VT_EMPTY; }
  ~CComVariant() { Clear(); }
  CComVariant(const VARIANT& varSrc) {  // NOLINT
    vt = VT_EMPTY;
    InternalCopy(&varSrc);
  }
  CComVariant(const CComVariant& varSrc) : CComVariant(static_cast<const VARIANT&>(varSrc)) {}
  CComVariant(LPCOLESTR lpszSrc) {  // NOLINT
    vt = VT_EMPTY;
    *this = lpszSrc;
  }
  CComVariant(const CComBSTR& bstrSrc) : CComVariant(static_cast<LPCOLESTR>(bstrSrc.m_str)) {
    // A null CComBSTR still gives a VT_BSTR (holding null), as the library does.
    if (!bstrSrc.m_str) {
      vt = VT_BSTR;
      bstrVal = nullptr;
    }
  }
  CComVariant(bool bSrc) noexcept {  // NOLINT
    vt = VT_BOOL;
    boolVal = bSrc ? VARIANT_TRUE : VARIANT_FALSE;
  }
  CComVariant(int nSrc, VARTYPE vtSrc = VT_I4) noexcept {  // NOLINT
    ATLASSERT(vtSrc == VT_I4 || vtSrc == VT_INT);
    vt = vtSrc;
    intVal = nSrc;
  }
  CComVariant(BYTE nSrc) noexcept {  // NOLINT
    vt = VT_UI1;
    bVal = nSrc;
  }
  CComVariant(short nSrc) noexcept {  // NOLINT
    vt = VT_I2;
    iVal = nSrc;
  }
  CComVariant(char cSrc) noexcept {  // NOLINT
    vt = VT_I1;
    cVal = cSrc;
  }
  CComVariant(unsigned short nSrc) noexcept {  // NOLINT
    vt = VT_UI2;
    uiVal = nSrc;
  }
  CComVariant(unsigned int nSrc, VARTYPE vtSrc = VT_UI4) noexcept {  // NOLINT
    ATLASSERT(vtSrc == VT_UI4 || vtSrc == VT_UINT);
    vt = vtSrc;
    uintVal = nSrc;
  }
  CComVariant(LONGLONG nSrc) noexcept {  // NOLINT
    vt = VT_I8;
    llVal = nSrc;
  }
  CComVariant(ULONGLONG nSrc) noexcept {  // NOLINT
    vt = VT_UI8;
    ullVal = nSrc;
  }
  CComVariant(float fltSrc) noexcept {  // NOLINT
    vt = VT_R4;
    fltVal = fltSrc;
  }
  CComVariant(double dblSrc, VARTYPE vtSrc = VT_R8) noexcept {  // NOLINT
    ATLASSERT(vtSrc == VT_R8 || vtSrc == VT_DATE);
    vt = vtSrc;
    dblVal = dblSrc;
  }
  CComVariant(IUnknown* pSrc) noexcept {  // NOLINT
    vt = VT_UNKNOWN;
    punkVal = pSrc;
    if (punkVal) punkVal->AddRef();
  }
  // An array carries no element type that a variant could take, and would otherwise become a bool.
  CComVariant(const SAFEARRAY* pSrc) = delete;  // NOLINT

  CComVariant& operator=(const CComVariant& varSrc) {
    if (this != &varSrc) InternalCopy(&varSrc);
    return *this;
  }
  CComVariant& operator=(const VARIANT& varSrc) {
    if (static_cast<const VARIANT*>(this) != &varSrc) InternalCopy(&varSrc);
    return *this;
  }
  CComVariant& operator=(LPCOLESTR lpszSrc) {
    ClearToZero();
    vt = VT_BSTR;
    bstrVal = ::SysAllocString(lpszSrc);
    if (!bstrVal && lpszSrc) {
      vt = VT_ERROR;
      scode = E_OUTOFMEMORY;
    }
    return *this;
  }
  CComVariant& operator=(bool bSrc) {
    ClearToZero();
    vt = VT_BOOL;
    boolVal = bSrc ? VARIANT_TRUE : VARIANT_FALSE;
    return *this;
  }
  CComVariant& operator=(int nSrc) {
    ClearToZero();
    vt = VT_I4;
    intVal = nSrc;
    return *this;
  }
  CComVariant& operator=(BYTE nSrc) { return Assign(CComVariant(nSrc)); }
  CComVariant& operator=(short nSrc) { return Assign(CComVariant(nSrc)); }
  CComVariant& operator=(char cSrc) { return Assign(CComVariant(cSrc)); }
  CComVariant& operator=(unsigned short nSrc) { return Assign(CComVariant(nSrc)); }
  CComVariant& operator=(unsigned int nSrc) { return Assign(CComVariant(nSrc)); }
  CComVariant& operator=(LONGLONG nSrc) { return Assign(CComVariant(nSrc)); }
  CComVariant& operator=(ULONGLONG nSrc) { return Assign(CComVariant(nSrc)); }
  CComVariant& operator=(float fltSrc) { return Assign(CComVariant(fltSrc)); }
  CComVariant& operator=(double dblSrc) { return Assign(CComVariant(dblSrc)); }
  CComVariant& operator=(IUnknown* pSrc) {
    ClearToZero();
    vt = VT_UNKNOWN;
    punkVal = pSrc;
    if (punkVal) punkVal->AddRef();
    return *this;
  }

  HRESULT Clear() { return ::VariantClear(this); }
  HRESULT Copy(const VARIANT* pSrc) { return ::VariantCopy(this, const_cast<VARIANT*>(pSrc)); }
  // Moves the value into pDest (cleared first); this variant is left empty.
  HRESULT Detach(VARIANT* pDest) {
    ATLASSERT(pDest != nullptr);
    if (!pDest) return E_POINTER;
    HRESULT hr = ::VariantClear(pDest);
    if (FAILED(hr)) return hr;
    std::memcpy(static_cast<void*>(pDest), static_cast<const void*>(this), sizeof(VARIANT));
    vt = VT_EMPTY;
    return S_OK;
  }
  // Takes over the value of pSrc, which is left empty.
  HRESULT Attach(VARIANT* pSrc) {
    if (!pSrc) return E_INVALIDARG;
    HRESULT hr = Clear();
    if (FAILED(hr)) return hr;
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(pSrc), sizeof(VARIANT));
    pSrc->vt = VT_EMPTY;
    return S_OK;
  }

 private:
  void ClearToZero() {
    Clear();
    std::memset(static_cast<void*>(static_cast<VARIANT*>(this)), 0, sizeof(VARIANT));
  }
  // Takes over the value of a temporary.
  CComVariant& Assign(CComVariant&& other) {
    Attach(&other);
    return *this;
  }
  void InternalCopy(const VARIANT* pSrc) {
    HRESULT hr = Copy(pSrc);
    if (FAILED(hr)) {
      vt = VT_ERROR;
      scode = hr;
    }
  }
};

}  // namespace ATL

// Client code names the classes without their namespace unless it asks otherwise.
#ifndef _ATL_NO_AUTOMATIC_NAMESPACE
using namespace ATL;  // NOLINT
#endif
