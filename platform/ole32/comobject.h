// The IUnknown that most of the platform's objects share, and the class factory of a built-in class.
#pragma once

#include <objbase.h>

#include <atomic>
#include <new>

namespace qz {

// IUnknown for an object that hands out one interface besides IUnknown: an atomic reference count
// that starts at 1 and deletes the object at 0.
template <class Interface>
class ComObject : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == __uuidof(Interface)) {
      *ppv = static_cast<Interface*>(this);
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

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

 private:
  std::atomic<ULONG> m_Refs{1};
};

// Makes a new T and hands out the requested interface (the creation function of a built-in class).
template <class T>
HRESULT CreateComObject(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  T* object = new (std::nothrow) T();
  if (!object) return E_OUTOFMEMORY;
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

// The class factory of a built-in class: one per class for the life of the process, so its
// reference count is not kept; CreateInstance makes the object with `Create`.
template <HRESULT (*Create)(REFIID riid, void** ppv)>
class BuiltinClassFactory final : public IClassFactory {
 public:
  // The class-object getter to register with CoRegisterBuiltinClass. A function-local factory,
  // so that a request made while the library's statics are still being constructed finds it.
  static HRESULT GetClassObject(REFIID riid, void** ppv) {
    static BuiltinClassFactory factory;
    return factory.QueryInterface(riid, ppv);
  }

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
    return Create(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace qz
