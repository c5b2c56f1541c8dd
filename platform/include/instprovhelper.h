// The instance-provider helper of the platform's class library: what an instance provider asks
// of the WMI service at start-up, and the check that an object path names an instance of its class.
#pragma once

#include <cstddef>

#include "wbemcli.h"
#include "wmiutils.h"

class CInstanceProviderHelper {
 public:
  // Fetches the class __ExtendedStatus from the namespace (GetObject with flags 0 and the context)
  // and keeps it with the status of the fetch. A null namespace keeps WBEM_E_INVALID_PARAMETER.
  CInstanceProviderHelper(IWbemServices* pNamespace, IWbemContext* pCtx);
  ~CInstanceProviderHelper();
  CInstanceProviderHelper(const CInstanceProviderHelper&) = delete;
  CInstanceProviderHelper& operator=(const CInstanceProviderHelper&) = delete;

  // Checks that ObjectPath names an instance of ClassName, in this order, the first failure
  // ending the check:
  //  1. no parser factory: WBEM_E_INVALID_PARAMETER;
  //  2. the factory cannot create an IWbemPath: WBEM_E_INVALID_PARAMETER;
  //  3. SetText(WBEMPATH_CREATE_ACCEPT_ALL, ObjectPath) fails: its code;
  //  4. a class-name buffer of (path length + 1) characters: a length that overflows 32 bits gives
  //     HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), no memory WBEM_E_OUT_OF_MEMORY;
  //     GetClassName into it fails: its code;
  //  5. the path's class differs from ClassName, ignoring case under language 1033: WBEM_E_NOT_FOUND;
  //  6. GetInfo fails: its code; none of the ullTest bits in the path's information:
  //     WBEM_E_INVALID_OBJECT_PATH.
  // Otherwise WBEM_S_NO_ERROR.
  HRESULT CheckInstancePath(IClassFactory* pParserFactory, BSTR ObjectPath, BSTR ClassName, ULONGLONG ullTest);

  // The result of fetching __ExtendedStatus at construction.
  HRESULT ExtendedStatusResult() const { return m_ExtendedStatusResult; }

  // The class __ExtendedStatus (owned by the helper), or null when the fetch failed.
  IWbemClassObject* ExtendedStatusClass() const { return m_pExtendedStatusClass; }

  // The size in characters of a buffer for a path of pathLength characters and its terminator;
  // HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW) when it does not fit 32 bits.
  static HRESULT PathBufferLength(size_t pathLength, ULONG* pcchBuffer);

 private:
  HRESULT m_ExtendedStatusResult = WBEM_E_FAILED;
  IWbemClassObject* m_pExtendedStatusClass = nullptr;
};
