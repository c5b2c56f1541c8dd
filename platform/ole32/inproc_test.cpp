// Activation of in-process servers registered in HKEY_CLASSES_ROOT: the failures of a missing or
// broken module. Loading, DllMain and unloading once the module is unused are run on the system's
// own module by its tests.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <winreg.h>

#include <string>


namespace {

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

}  // namespace
