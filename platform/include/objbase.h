// COM: apartments, object activation through the registry, GUID text and task memory.
#pragma once

#include "unknwn.h"
#include "wtypes.h"

typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_ALL = 0x17
} CLSCTX;

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

#define CHARS_IN_GUID 39

#ifndef RPC_E_CHANGED_MODE
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#endif

// CoInitializeEx only keeps count per thread: S_OK for the first call on a thread, S_FALSE for
// the next ones, RPC_E_CHANGED_MODE for another concurrency model. Activation does not need it.

STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
STDAPI_(void) CoUninitialize(void);
// The built-in classes first, then HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, whose
// default value names the server module; the module is loaded once and its DllGetClassObject
// asked. REGDB_E_CLASSNOTREG when the class is not registered, CO_E_DLLNOTFOUND when the module
// cannot be loaded, CO_E_ERRORINDLL when it has no DllGetClassObject.
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
// Unloads every loaded server module whose DllCanUnloadNow answers S_OK.
STDAPI_(void) CoFreeUnusedLibraries(void);
// "{D57B64F7-8728-4717-BD9C-A09719A06BA0}": upper case, CHARS_IN_GUID characters with the
// terminator; 0 when the buffer is smaller.
STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// The braced form in either case, or a ProgID with a CLSID subkey in HKEY_CLASSES_ROOT;
// CO_E_CLASSSTRING (and CLSID_NULL) for other text.
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

// The platform's own in-process classes (the WMI service, the path parser, ...) register their
// class factories here instead of in the registry, as built-in servers of the system are.
// S_OK for a new class, S_FALSE when it replaced the getter of a class already registered.
typedef HRESULT (*QZ_CLASS_FACTORY_GETTER)(REFIID riid, void** ppv);
STDAPI CoRegisterBuiltinClass(REFCLSID rclsid, QZ_CLASS_FACTORY_GETTER getter);

// The entry points of an in-process server module.
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);
