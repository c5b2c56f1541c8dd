// COM activation of built-in classes, apartment bookkeeping and the failures of activation, and
// GUID text: the exact form StringFromGUID2 writes, and what CLSIDFromString accepts.
#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <cwchar>
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

constexpr GUID kProvider = {0xD57B64F7, 0x8728, 0x4717, {0xBD, 0x9C, 0xA0, 0x97, 0x19, 0xA0, 0x6B, 0xA0}};

TEST(GuidText, WritesUpperCaseBracedFormOfThirtyNineCharacters) {
  WCHAR text[CHARS_IN_GUID + 2];
  wmemset(text, L'#', CHARS_IN_GUID + 2);
  EXPECT_EQ(StringFromGUID2(kProvider, text, CHARS_IN_GUID), 39);
  EXPECT_STREQ(text, L"{D57B64F7-8728-4717-BD9C-A09719A06BA0}");
  EXPECT_EQ(text[CHARS_IN_GUID], L'#');

  wmemset(text, L'#', CHARS_IN_GUID + 2);
  EXPECT_EQ(StringFromGUID2(kProvider, text, CHARS_IN_GUID - 1), 0);
  EXPECT_EQ(text[0], L'#') << "a short buffer is left alone";
  EXPECT_EQ(StringFromGUID2(GUID_NULL, text, 64), 39);
  EXPECT_STREQ(text, L"{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidText, RoundTripsInEitherCase) {
  const GUID guids[] = {kProvider, IID_IUnknown, GUID_NULL,
                        {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}};
  for (const GUID& guid : guids) {
    WCHAR text[CHARS_IN_GUID];
    ASSERT_EQ(StringFromGUID2(guid, text, CHARS_IN_GUID), CHARS_IN_GUID);
    for (int pass = 0; pass < 2; ++pass) {  // as written, then in lower case
      CLSID clsid;
      ASSERT_EQ(CLSIDFromString(text, &clsid), S_OK) << text;
      EXPECT_EQ(clsid, guid);
      for (WCHAR& c : text) c = static_cast<WCHAR>(towlower(c));
    }
  }
}

TEST(GuidText, MalformedTextIsRefusedAndNoTextIsTheNullClsid) {
  const std::pair<const WCHAR*, HRESULT> cases[] = {
      {L"", CO_E_CLASSSTRING},
      {L"D57B64F7-8728-4717-BD9C-A09719A06BA0", CO_E_CLASSSTRING},     // no braces
      {L"{D57B64F7-8728-4717-BD9C-A09719A06BA0}x", CO_E_CLASSSTRING},  // trailing text
      {L"{D57B64G7-8728-4717-BD9C-A09719A06BA0}", CO_E_CLASSSTRING},   // not hex
      {L"QZWmiMemory.MemoryModule", CO_E_CLASSSTRING},                 // a ProgID that nobody registered
      {nullptr, S_OK},
  };
  for (const auto& [text, result] : cases) {
    CLSID clsid = kProvider;
    EXPECT_EQ(CLSIDFromString(text, &clsid), result) << (text ? text : L"(null)");
    EXPECT_EQ(clsid, CLSID_NULL) << (text ? text : L"(null)");
  }
}

}  // namespace
