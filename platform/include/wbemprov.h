// The WMI provider interfaces: initialisation and its sink.
#pragma once

#include "wbemcli.h"

typedef enum tag_WBEM_EXTRA_RETURN_CODES {
  WBEM_S_INITIALIZED = 0,
  WBEM_S_LIMITED_SERVICE = 0x43001,
  WBEM_S_INDIRECTLY_UPDATED = 0x43002,
  WBEM_S_SUBJECT_TO_SDS = 0x43003,
  WBEM_E_RETRY_LATER = (LONG)0x80043001,
  WBEM_E_RESOURCE_CONTENTION = (LONG)0x80043002
} WBEM_EXTRA_RETURN_CODES;

inline constexpr IID IID_IWbemProviderInit = {0x1be41572, 0x91dd, 0x11d1, {0xae, 0xb2, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};
inline constexpr IID IID_IWbemProviderInitSink = {0x1be41571, 0x91dd, 0x11d1, {0xae, 0xb2, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};

interface IWbemProviderInitSink : public IUnknown {
  STDMETHOD(SetStatus)(LONG lStatus, LONG lFlags) PURE;
};

interface IWbemProviderInit : public IUnknown {
  STDMETHOD(Initialize)(LPWSTR wszUser, LONG lFlags, LPWSTR wszNamespace, LPWSTR wszLocale,
                        IWbemServices* pNamespace, IWbemContext* pCtx, IWbemProviderInitSink* pInitSink) PURE;
};

QZ_DEFINE_UUIDOF(IWbemProviderInitSink, IID_IWbemProviderInitSink)
QZ_DEFINE_UUIDOF(IWbemProviderInit, IID_IWbemProviderInit)
