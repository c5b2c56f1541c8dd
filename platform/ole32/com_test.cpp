// COM activation of built-in classes and of in-process servers registered in HKEY_CLASSES_ROOT
// with the failures of a missing or broken module (loading, DllMain and unloading once the module
// is unused are run on the system's own module by its tests), apartment bookkeeping, the client
// classes' reference counting and ownership, and GUID text: the exact form StringFromGUID2 writes,
// and what CLSIDFromString accepts.
#include <atlbase.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <winreg.h>

#include <cwchar>
#include <string>
#include <thread>

#include "tests/support/PlatformTest.h"

namespace {

constexpr CLSID kBuiltin = {0x6A1E2B01, 0x0C3D, 0x4E5F, {0x90, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};

// The one object the factory hands out; its count shows every reference a caller still holds.
qztest::Counted<> g_Thing(0);

class ThingFactory : public qztest::Counted<IClassFactory> {
 public:
  ThingFactory() : Counted(0) {}
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return outer ? CLASS_E_NOAGGREGATION : g_Thing.QueryInterface(riid, ppv);
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
  EXPECT_EQ(object, &g_Thing);
  EXPECT_EQ(g_Thing.refs, 1u);
  EXPECT_EQ(g_Factory.refs, 0u) << "the factory is released after use";
  object->Release();

  // Failures leave a null pointer and pass the factory's code through.
  object = reinterpret_cast<IUnknown*>(0x1);
  EXPECT_EQ(CoCreateInstance(kBuiltin, nullptr, CLSCTX_ALL, IID_IClassFactory, reinterpret_cast<void**>(&object)),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(g_Thing.refs, 0u);

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

constexpr CLSID kOtherClass = {0x3E5C1A42, 0x7B1D, 0x4C2E, {0x9F, 0x61, 0x0A, 0x52, 0x8D, 0x33, 0x71, 0xC4}};

std::wstring Wide(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

// Registers the class's InprocServer32 default value.
void RegisterServer(REFCLSID clsid, const std::wstring& module, DWORD type = REG_SZ) {
  WCHAR guid[CHARS_IN_GUID];
  ASSERT_EQ(StringFromGUID2(clsid, guid, CHARS_IN_GUID), CHARS_IN_GUID);
  HKEY key = nullptr;
  const std::wstring name = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(module.c_str()),
                           static_cast<DWORD>((module.size() + 1) * sizeof(WCHAR))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ModuleLoaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

TEST(InprocActivation, FailuresNameWhatIsMissing) {
  struct Case {
    const wchar_t* module;  // null: not registered
    HRESULT result;
  };
  const std::wstring platform = Wide(QZ_PLATFORM_MODULE);
  const Case cases[] = {
      {nullptr, REGDB_E_CLASSNOTREG},
      {L"/nonexistent/QzMissing.so", CO_E_DLLNOTFOUND},
      {platform.c_str(), CO_E_ERRORINDLL},  // a library without DllGetClassObject
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.module ? c.module : L"(not registered)");
    if (c.module) RegisterServer(kOtherClass, c.module);
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoCreateInstance(kOtherClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), c.result);
    EXPECT_EQ(object, nullptr);
  }
  // The module is there but does not serve the class.
  RegisterServer(kOtherClass, Wide(QZ_TEST_SERVER_MODULE));
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoGetClassObject(kOtherClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ModuleLoaded(QZ_TEST_SERVER_MODULE));
}

// A class factory that only counts its references.
class CountedFactory : public qztest::Counted<IClassFactory> {
 public:
  STDMETHODIMP CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

TEST(ComPtr, HoldsExactlyOneReferenceThroughEveryTransfer) {
  CountedFactory object;
  {
    CComPtr<IClassFactory> first(&object);
    EXPECT_EQ(object.refs, 2u);
    CComPtr<IClassFactory> second = first;
    EXPECT_EQ(object.refs, 3u);
    CComPtr<IClassFactory> moved = std::move(second);
    EXPECT_EQ(object.refs, 3u);
    EXPECT_EQ(second.p, nullptr);

    CComPtr<IClassFactory> attached;
    attached.Attach(moved.Detach());  // the reference moves, no count changes
    EXPECT_EQ(object.refs, 3u);
    EXPECT_EQ(moved.p, nullptr);
    moved = attached;
    EXPECT_EQ(object.refs, 4u);
    moved.Release();
    EXPECT_EQ(moved.p, nullptr);
    EXPECT_EQ(object.refs, 3u);
    first = nullptr;
    EXPECT_EQ(object.refs, 2u);
  }
  EXPECT_EQ(object.refs, 1u);
}

TEST(ComBstr, CopiesAndGivesUpItsString) {
  CComBSTR name(L"DIMM");
  CComBSTR copy = name;
  EXPECT_NE(copy.m_str, name.m_str);
  EXPECT_TRUE(copy == name);
  BSTR taken = copy.Detach();
  EXPECT_EQ(copy.m_str, nullptr);
  SysFreeString(taken);
  CComBSTR empty;
  EXPECT_TRUE(empty == L"") << "a null BSTR equals the empty text";
}

TEST(ComVariant, CopiesDetachesAndReleasesInterfaces) {
  CountedFactory object;
  {
    CComVariant held(static_cast<IUnknown*>(&object));
    EXPECT_EQ(object.refs, 2u);
    CComVariant copy(held);
    EXPECT_EQ(object.refs, 3u);
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(copy.Detach(&out), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(object.refs, 3u);
    EXPECT_EQ(VariantClear(&out), S_OK);
    EXPECT_EQ(object.refs, 2u);
    held = L"replaced";
    EXPECT_EQ(object.refs, 1u);
    EXPECT_STREQ(held.bstrVal, L"replaced");
  }
}

}  // namespace
