// OLE automation: BSTR, VARIANT and SAFEARRAY functions.
#pragma once

#include "oaidl.h"

#define WINOLEAUTAPI extern "C" HRESULT STDAPICALLTYPE
#define WINOLEAUTAPI_(type) extern "C" type STDAPICALLTYPE

// A BSTR carries its length in bytes in the DWORD in front of its characters and is always
// terminated by a null character that the length does not count. WCHAR is 4 bytes here, so the
// byte length of n characters is 4n.
WINOLEAUTAPI_(BSTR) SysAllocString(const OLECHAR* psz);
// A null strIn gives an uninitialised (but terminated) string of ui characters.
WINOLEAUTAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// A string of len bytes; len need not be a multiple of sizeof(OLECHAR). Null psz: uninitialised.
WINOLEAUTAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len);
// Replaces *pbstr with a copy of psz (a null psz gives the empty string); FALSE when out of memory.
WINOLEAUTAPI_(void) SysFreeString(BSTR bstrString);
WINOLEAUTAPI_(UINT) SysStringLen(BSTR pbstr);
WINOLEAUTAPI_(UINT) SysStringByteLen(BSTR bstr);

// VariantClear frees what the VARIANT owns (a BSTR, an array, a reference on an interface; never
// what a VT_BYREF points to) and leaves VT_EMPTY. VariantCopy clears the destination first and
// copies deeply: BSTRs and arrays are duplicated, interfaces AddRef'd.
WINOLEAUTAPI_(void) VariantInit(VARIANTARG* pvarg);
WINOLEAUTAPI VariantClear(VARIANTARG* pvarg);
WINOLEAUTAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

WINOLEAUTAPI_(SAFEARRAY*) SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
WINOLEAUTAPI_(SAFEARRAY*) SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// DISP_E_ARRAYISLOCKED while the array is locked; otherwise frees the elements' contents too.
WINOLEAUTAPI SafeArrayDestroy(SAFEARRAY* psa);
// The address of an element (the array should be locked); DISP_E_BADINDEX out of bounds.
WINOLEAUTAPI SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);
// rgIndices holds one index per dimension, dimension 1 first. For VT_BSTR arrays pv is the BSTR
// itself, for VT_UNKNOWN/VT_DISPATCH the interface pointer, otherwise the address of the value;
// strings and VARIANTs are copied and interfaces AddRef'd, in both directions.
WINOLEAUTAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
WINOLEAUTAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
WINOLEAUTAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
WINOLEAUTAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
WINOLEAUTAPI_(UINT) SafeArrayGetDim(SAFEARRAY* psa);
WINOLEAUTAPI_(UINT) SafeArrayGetElemsize(SAFEARRAY* psa);
WINOLEAUTAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
WINOLEAUTAPI SafeArrayLock(SAFEARRAY* psa);
WINOLEAUTAPI SafeArrayUnlock(SAFEARRAY* psa);
WINOLEAUTAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
WINOLEAUTAPI SafeArrayUnaccessData(SAFEARRAY* psa);

// Loading and registering type libraries.
typedef enum tagREGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER, REGKIND_NONE } REGKIND;

// The type library of a module: resource TYPELIB 1 of the module that szFile names (a loaded module
// by its bare name, or a module file by its path, loaded for the time of the call). With
// REGKIND_REGISTER the library is also registered with the module's full path and its folder as the
// help folder; REGKIND_DEFAULT and REGKIND_NONE leave the registry alone. TYPE_E_CANTLOADLIBRARY when
// the file is no module, the module has no such resource, or the resource is not a type library.
WINOLEAUTAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);

// Writes under HKEY_CLASSES_ROOT\TypeLib\{LIBID}\<major>.<minor> (version digits in hexadecimal):
// the library's help text (its name when it has none) as default value, FLAGS, HELPDIR (when
// szHelpDir is given) and <lcid>\win64 (or win32) = szFullPath. TYPE_E_REGISTRYACCESS when a key
// or value cannot be written.
WINOLEAUTAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
