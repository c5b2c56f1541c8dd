// COM activation of built-in classes, apartment bookkeeping and the failures of activation.
#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <thread>

#include "tests/support/PlatformTest.h"

namespace {

constexpr CLSID kBuiltin = {0x6A1E2B01, 0x0C3D, 0x4E5F, {0x90, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};

std::atomic<int> g_Objects{0};

class Thing : public IUnknown {
 public:
  Thing() { ++g_Objects; }
  virtual ~Thing() { --g_Objects; }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG refs = --m_Refs;
    if (refs == 0) delete this;
    return refs;
  }

 private:
  std::atomic<ULONG> m_Refs{1};
};

class ThingFactory : public qztest::Counted<IClassFactory> {
 public:
  ThingFactory() : Counted(0) {}
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    Thing* thing = new Thing;
    HRESULT hr = thing->QueryInterface(riid, ppv);
    thing->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

ThingFactory g_Factory;

HRESULT GetThingFactory(REFIID riid, void** ppv) { return g_Factory.QueryInterface(riid, ppv); }

TEST(ComActivation, BuiltinClassIsCreatedThroughItsFactory) {
  ASSERT_EQ(CoRegisterBuiltinClass(kBuiltin, &GetThingFactory), S_OK);
  EXPECT_EQ(CoRegisterBuiltinClass(kBuiltin, &GetThingFactory), S_FALSE);

  IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
  ASSERT_EQ(CoCreateInstance(kBuiltin, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
            S_OK);
  EXPECT_EQ(g_Objects, 1);
  EXPECT_EQ(g_Factory.refs, 0u) << "the factory is released after use";
  object->Release();
  EXPECT_EQ(g_Objects, 0);

  // Failures leave a null pointer and pass the factory's code through.
  object = reinterpret_cast<IUnknown*>(0x1);
  EXPECT_EQ(CoCreateInstance(kBuiltin, nullptr, CLSCTX_ALL, IID_IClassFactory, reinterpret_cast<void**>(&object)),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(kBuiltin, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(factory, &g_Factory);
  factory->Release();
}

TEST(ComApartment, FirstInitialisationOfAThreadIsSOkThenSFalse) {
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  std::thread other([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK) << "each thread counts for itself";
    CoUninitialize();
  });
  other.join();
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK) << "balanced: a fresh start";
  CoUninitialize();
  CoUninitialize();  // one too many is harmless
  EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(0x1), COINIT_MULTITHREADED), E_INVALIDARG);
}

}  // namespace
