// The module's 22 coclasses: identity, names and registry texts, and how each provider object is made.
#pragma once

#include <unknwn.h>

#include <span>

// Makes a provider object and hands out the requested interface.
using CreateProviderFunction = HRESULT (*)(REFIID riid, void** ppv);

struct CoclassEntry {
  const WCHAR* clsid;           // registry text form, with braces
  const WCHAR* providerClass;   // "CQZMemoryModuleProv"; the friendly name adds " Object"
  const WCHAR* progId;          // version-independent; the versioned one adds ".1"
  const WCHAR* typeLibHelp;     // the coclass's help text in the type library
  CreateProviderFunction create;
};

// The type library and the AppID share one identifier.
inline constexpr const WCHAR* kLibId = L"{5A486531-0201-43E0-BD81-D544BB08D0DC}";
inline constexpr const WCHAR* kAppId = L"{5A486531-0201-43E0-BD81-D544BB08D0DC}";
inline constexpr const WCHAR* kTypeLibName = L"QZWmiMemory";
inline constexpr const WCHAR* kTypeLibHelp = L"QZWmiMemory 1.0 Type Library";
inline constexpr WORD kTypeLibMajorVersion = 1;
inline constexpr WORD kTypeLibMinorVersion = 0;
inline constexpr const WCHAR* kAppIdModuleName = L"QZWmiMemory.DLL";

inline constexpr size_t kCoclassCount = 22;

// Every coclass, in the order of the class table.
std::span<const CoclassEntry> Coclasses();

// The entry of a CLSID, or null.
const CoclassEntry* FindCoclass(REFCLSID clsid);
