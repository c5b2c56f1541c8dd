// The module as COM and the registry see it: its registration, its class objects, its lock count,
// and the log lines of its loading and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <wbemprov.h>

#include <string>

#include <atlbase.h>

#include "module/Coclasses.h"
#include "tests/support/SystemFixture.h"

namespace {

using RegisterFunction = HRESULT (*)();

// The module loaded by the test itself, as a registration tool loads it.
class ModuleTest : public qztest::SystemTest {
 protected:
  void SetUp() override {
    m_Handle = LoadLibraryW(kModuleFile.c_str());
    ASSERT_NE(m_Handle, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (m_Handle) FreeLibrary(m_Handle);
    qztest::SystemTest::TearDown();
  }
  HRESULT Call(const char* name) { return reinterpret_cast<RegisterFunction>(GetProcAddress(m_Handle, name))(); }

  const std::wstring kModuleFile = std::wstring(QZ_MODULE_FILE, QZ_MODULE_FILE + sizeof(QZ_MODULE_FILE) - 1);

  static bool KeyExists(const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
  }
  // A string value, or "(missing)".
  static std::wstring Value(const std::wstring& key, const wchar_t* name = nullptr) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return L"(missing)";
    WCHAR text[1024] = {};
    DWORD size = sizeof text - sizeof(WCHAR);
    DWORD type = 0;
    LSTATUS status = RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS) return L"(missing)";
    return type == REG_SZ ? std::wstring(text) : L"(not a string)";
  }

  HMODULE m_Handle = nullptr;
};

TEST_F(ModuleTest, RegistrationWritesEveryCoclassAndUnregistrationRemovesThem) {
  ASSERT_TRUE(SetThreadLocale(1031));
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  EXPECT_EQ(GetThreadLocale(), 1031u) << "the caller's locale comes back";

  EXPECT_EQ(Value(L"QZWmiMemory.QZMemoryModuleProv\\CurVer"), L"QZWmiMemory.QZMemoryModuleProv.1");
  EXPECT_EQ(Value(L"AppID\\{5A486531-0201-43E0-BD81-D544BB08D0DC}"), L"QZWmiMemory");
  EXPECT_EQ(Value(L"AppID\\QZWmiMemory.DLL", L"AppID"), L"{5A486531-0201-43E0-BD81-D544BB08D0DC}");
  EXPECT_EQ(Value(L"TypeLib\\{5A486531-0201-43E0-BD81-D544BB08D0DC}\\1.0"), L"QZWmiMemory 1.0 Type Library");
  for (const CoclassEntry& coclass : Coclasses()) {
    SCOPED_TRACE(coclass.providerClass);
    const std::wstring clsid = std::wstring(L"CLSID\\") + coclass.clsid;
    const std::wstring friendly = std::wstring(coclass.providerClass) + L" Object";
    const std::wstring versioned = std::wstring(coclass.progId) + L".1";
    EXPECT_EQ(Value(clsid), friendly);
    EXPECT_EQ(Value(clsid, L"AppID"), kAppId);
    EXPECT_EQ(Value(clsid + L"\\ProgID"), versioned);
    EXPECT_EQ(Value(clsid + L"\\VersionIndependentProgID"), coclass.progId);
    EXPECT_TRUE(KeyExists(clsid + L"\\Programmable"));
    EXPECT_EQ(Value(clsid + L"\\InprocServer32"), kModuleFile);
    EXPECT_EQ(Value(clsid + L"\\InprocServer32", L"ThreadingModel"), L"both");
    EXPECT_EQ(Value(clsid + L"\\TypeLib"), kLibId);
    EXPECT_EQ(Value(versioned), friendly);
    EXPECT_EQ(Value(versioned + L"\\CLSID"), coclass.clsid);
    EXPECT_EQ(Value(std::wstring(coclass.progId) + L"\\CLSID"), coclass.clsid);
  }

  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_EQ(GetThreadLocale(), 1031u);
  for (const CoclassEntry& coclass : Coclasses()) {
    EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + coclass.clsid)) << coclass.providerClass;
    EXPECT_FALSE(KeyExists(coclass.progId)) << coclass.providerClass;
  }
  EXPECT_FALSE(KeyExists(L"AppID\\{5A486531-0201-43E0-BD81-D544BB08D0DC}"));
  EXPECT_FALSE(KeyExists(L"AppID\\QZWmiMemory.DLL"));
  EXPECT_FALSE(KeyExists(L"TypeLib\\{5A486531-0201-43E0-BD81-D544BB08D0DC}"));
  EXPECT_TRUE(KeyExists(L"AppID")) << "the AppID key itself stays";
  EXPECT_TRUE(KeyExists(L"CLSID"));
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK) << "unregistering twice finds nothing to remove";
}

TEST_F(ModuleTest, TypeLibraryResourceHoldsWhatRegistrationWrites) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  const std::wstring version = L"TypeLib\\{5A486531-0201-43E0-BD81-D544BB08D0DC}\\1.0";
  const std::wstring file = Value(version + L"\\0\\win64");
  EXPECT_EQ(file, kModuleFile);
  EXPECT_EQ(Value(version + L"\\FLAGS"), L"0");
  EXPECT_EQ(Value(version + L"\\HELPDIR"), kModuleFile.substr(0, kModuleFile.find_last_of(L'/') + 1));

  CComPtr<ITypeLib> library;
  ASSERT_EQ(LoadTypeLibEx(file.c_str(), REGKIND_NONE, &library), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
  WCHAR libId[40] = {};
  StringFromGUID2(attr->guid, libId, 40);
  EXPECT_EQ(libId, std::wstring(kLibId));
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->lcid, 0u);
  library->ReleaseTLibAttr(attr);
  CComBSTR name, help;
  ASSERT_EQ(library->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(std::wstring(name), L"QZWmiMemory");
  EXPECT_EQ(std::wstring(help), Value(version));

  // Every registered class finds its coclass in the library, named after it, with its help text;
  // the redundancy set's is checked by its own name as well.
  ASSERT_EQ(library->GetTypeInfoCount(), kCoclassCount);
  bool sawRedundancySet = false;
  for (const CoclassEntry& coclass : Coclasses()) {
    SCOPED_TRACE(coclass.providerClass);
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + coclass.clsid;
    CLSID clsid;
    ASSERT_EQ(CLSIDFromString(coclass.clsid, &clsid), S_OK);
    CComPtr<ITypeInfo> info;
    ASSERT_EQ(library->GetTypeInfoOfGuid(clsid, &info), S_OK);
    name.Empty();
    help.Empty();
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(L"C" + std::wstring(name) + L" Object", Value(clsidKey));
    EXPECT_EQ(std::wstring(help), coclass.typeLibHelp);
    if (std::wstring(coclass.clsid) == L"{E15DD35F-55DC-4EF1-A484-F1748D2AB540}") {
      sawRedundancySet = true;
      EXPECT_EQ(std::wstring(name), L"QZMemoryRedundancySetProv");
      EXPECT_EQ(std::wstring(help), L"QZMemoryRedundancySetProv Class");
    }
    TYPEATTR* typeAttr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&typeAttr), S_OK);
    EXPECT_EQ(typeAttr->typekind, TKIND_COCLASS);
    EXPECT_EQ(typeAttr->wTypeFlags, TYPEFLAG_FCANCREATE);
    info->ReleaseTypeAttr(typeAttr);

    // A provider object hands out the same coclass as its class information.
    CComPtr<IProvideClassInfo> provider;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IProvideClassInfo,
                               reinterpret_cast<void**>(&provider)),
              S_OK);
    info.Release();
    ASSERT_EQ(provider->GetClassInfo(&info), S_OK);
    ASSERT_EQ(info->GetTypeAttr(&typeAttr), S_OK);
    EXPECT_EQ(typeAttr->guid, clsid);
    info->ReleaseTypeAttr(typeAttr);
  }
  EXPECT_TRUE(sawRedundancySet);
}

TEST_F(ModuleTest, ProvidersKeepTheModuleLoadedAndItsLogSaysWhenItComesAndGoes) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  FreeLibrary(m_Handle);  // from here on only COM holds the module
  m_Handle = nullptr;

  CLSID memoryModule, foreign;
  ASSERT_EQ(CLSIDFromString(L"{D57B64F7-8728-4717-BD9C-A09719A06BA0}", &memoryModule), S_OK);
  ASSERT_EQ(CLSIDFromString(L"{00000000-0000-0000-0000-0000000000AB}", &foreign), S_OK);
  IWbemProviderInit* provider = nullptr;
  ASSERT_EQ(CoCreateInstance(memoryModule, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemProviderInit,
                             reinterpret_cast<void**>(&provider)),
            S_OK);
  void* loaded = dlopen(QZ_MODULE_FILE, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(loaded, nullptr);
  auto canUnload = reinterpret_cast<RegisterFunction>(dlsym(loaded, "DllCanUnloadNow"));
  auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(loaded, "DllGetClassObject"));
  EXPECT_EQ(canUnload(), S_FALSE) << "a provider object lives";
  IClassFactory* factory = reinterpret_cast<IClassFactory*>(0x1);
  EXPECT_EQ(getClassObject(foreign, IID_IClassFactory, reinterpret_cast<void**>(&factory)), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  ASSERT_EQ(getClassObject(memoryModule, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IUnknown* aggregated = reinterpret_cast<IUnknown*>(0x1);
  EXPECT_EQ(factory->CreateInstance(provider, IID_IUnknown, reinterpret_cast<void**>(&aggregated)), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(aggregated, nullptr);
  provider->Release();
  EXPECT_EQ(canUnload(), S_OK);
  factory->LockServer(TRUE);
  EXPECT_EQ(canUnload(), S_FALSE) << "a locked factory keeps the module";
  factory->LockServer(FALSE);
  factory->Release();
  dlclose(loaded);

  CoFreeUnusedLibraries();
  EXPECT_EQ(dlopen(QZ_MODULE_FILE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "unloaded";
  const std::wstring log = qztest::ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log");
  const size_t loadedLine = log.find(L"QZWmiMemory.DLL!CQZWmiMemoryModule::CQZWmiMemoryModule| DLL is loaded.\r\n");
  const size_t unloadedLine = log.find(L"QZWmiMemory.DLL!CQZWmiMemoryModule::~CQZWmiMemoryModule| DLL is unloaded.\r\n");
  ASSERT_NE(loadedLine, std::wstring::npos);
  ASSERT_NE(unloadedLine, std::wstring::npos);
  EXPECT_LT(loadedLine, unloadedLine);
}

}  // namespace
