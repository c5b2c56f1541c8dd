// IUnknown and IClassFactory, the two interfaces every COM object and server starts from.
#pragma once

#include "windef.h"
#include "winerror.h"

#define interface struct
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define STDAPI extern "C" HRESULT STDAPICALLTYPE
#define STDAPI_(type) extern "C" type STDAPICALLTYPE

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr CLSID CLSID_NULL = GUID_NULL;

interface IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* LPUNKNOWN;

interface IClassFactory : public IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
  STDMETHOD(LockServer)(BOOL fLock) PURE;
};
typedef IClassFactory* LPCLASSFACTORY;

// The IID of an interface type, what the compiler's __uuidof gives on Windows. Each interface
// header names its interfaces' IIDs with QZ_DEFINE_UUIDOF; __uuidof takes a type, not an expression.
template <class T>
struct QzUuidOf;
#define QZ_DEFINE_UUIDOF(Interface, iid)                \
  template <>                                           \
  struct QzUuidOf<Interface> {                          \
    static constexpr const IID& value() { return iid; } \
  };
#define __uuidof(type) (QzUuidOf<type>::value())

QZ_DEFINE_UUIDOF(IUnknown, IID_IUnknown)
QZ_DEFINE_UUIDOF(IClassFactory, IID_IClassFactory)
