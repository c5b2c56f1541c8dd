// A system root set up as the first qzwmi of a fresh root sets it up (the module registered, its
// classes kept), the module's 22 classes, and the memory event counter: what the whole-system tests
// and benchmarks share. The set-up needs QZ_MODULE_FILE and QZ_SOURCE_DIR defined.
#pragma once

#include <atlbase.h>
#include <objbase.h>
#include <qzplatform.h>
#include <wbemidl.h>
#include <windows.h>

#include <cctype>
#include <string>

namespace qztest {

// Every class the module serves, elements first, then the associations.
inline constexpr const wchar_t* kModuleClasses[] = {
    L"QZ_MemoryModule",           L"QZ_MemoryBoard",
    L"QZ_MemoryModuleSlot",       L"QZ_MemoryBoardSlot",
    L"QZ_MemoryModuleSlotLocation", L"QZ_MemoryBoardSlotLocation",
    L"QZ_MemoryModuleSlotElementLocation", L"QZ_MemoryBoardSlotElementLocation",
    L"QZ_MemoryRedundancySet",    L"QZ_MemoryCollection",
    L"QZ_WinMemory",              L"QZ_WinSystemMemory",
    L"QZ_HostedMemoryCollection", L"QZ_MemberOfMemoryCollection",
    L"QZ_MemberOfMemoryRedundancySet", L"QZ_HostedMemoryRedundancySet",
    L"QZ_RealizesMemoryModule",   L"QZ_MemoryModuleInSlot",
    L"QZ_MemoryBoardInSlot",      L"QZ_MemoryModuleSlotOnBoard",
    L"QZ_SystemMemoryModuleSlot", L"QZ_SystemMemoryBoardSlot",
};

#ifdef QZ_MODULE_FILE
// Registers the module and keeps its classes in the root; false with the reason when either fails.
inline bool SetUpModuleRoot(std::string* error) {
  HMODULE module = LoadLibraryW(std::wstring(QZ_MODULE_FILE, QZ_MODULE_FILE + sizeof(QZ_MODULE_FILE) - 1).c_str());
  auto registerServer = module ? reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer")) : nullptr;
  const bool registered = registerServer && SUCCEEDED(registerServer());
  if (module) FreeLibrary(module);
  if (!registered) {
    *error = "the module does not register";
    return false;
  }
  char text[256] = {};
  if (FAILED(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", TRUE, text, sizeof text))) {
    *error = text;
    return false;
  }
  return true;
}
#endif

// Sets the memory event counter, as the server's management agent does after a memory event.
inline void SetMemoryEvent(DWORD value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", 0, nullptr,
                      REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, L"QZ_MemoryEvent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

// A namespace as a client connects to it, through the locator; null when that fails.
inline CComPtr<IWbemServices> Connect(const wchar_t* nameSpace = L"root\\VXN") {
  CComPtr<IWbemLocator> locator;
  CComPtr<IWbemServices> services;
  if (SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                 reinterpret_cast<void**>(&locator))))
    locator->ConnectServer(CComBSTR(nameSpace), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  return services;
}

// A test parameter as a test name: every character but letters and digits becomes '_'.
inline std::string ParamName(std::string name) {
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

}  // namespace qztest
