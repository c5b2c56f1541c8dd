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

STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
STDAPI_(void) CoUninitialize(void);
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
STDAPI_(void) CoFreeUnusedLibraries(void);
STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
STDAPI_(void) CoTaskMemFree(LPVOID pv);
STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
STDAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

// The platform's own in-process classes (the WMI service, the path parser, ...) register their
// class factories here instead of in the registry, as built-in servers of the system are.
typedef HRESULT (*QZ_CLASS_FACTORY_GETTER)(REFIID riid, void** ppv);
STDAPI CoRegisterBuiltinClass(REFCLSID rclsid, QZ_CLASS_FACTORY_GETTER getter);
