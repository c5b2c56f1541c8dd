// The WMI object-path parser: IWbemPath and IWbemPathKeyList from CLSID_WbemDefPath.
#pragma once

#include "wbemcli.h"

typedef enum tag_WBEM_PATH_STATUS_FLAG {
  WBEMPATH_INFO_ANON_LOCAL_MACHINE = 0x1,
  WBEMPATH_INFO_HAS_MACHINE_NAME = 0x2,
  WBEMPATH_INFO_IS_CLASS_REF = 0x4,
  WBEMPATH_INFO_IS_INST_REF = 0x8,
  WBEMPATH_INFO_HAS_SUBSCOPES = 0x10,
  WBEMPATH_INFO_IS_COMPOUND = 0x20,
  WBEMPATH_INFO_HAS_V2_REF_PATHS = 0x40,
  WBEMPATH_INFO_HAS_IMPLIED_KEY = 0x80,
  WBEMPATH_INFO_CONTAINS_SINGLETON = 0x100,
  WBEMPATH_INFO_V1_COMPLIANT = 0x200,
  WBEMPATH_INFO_V2_COMPLIANT = 0x400,
  WBEMPATH_INFO_CIM_COMPLIANT = 0x800,
  WBEMPATH_INFO_IS_SINGLETON = 0x1000,
  WBEMPATH_INFO_IS_PARENT = 0x2000,
  WBEMPATH_INFO_SERVER_NAMESPACE_ONLY = 0x4000,
  WBEMPATH_INFO_NATIVE_PATH = 0x8000,
  WBEMPATH_INFO_WMI_PATH = 0x10000,
  WBEMPATH_INFO_PATH_HAD_SERVER = 0x20000
} tag_WBEM_PATH_STATUS_FLAG;

typedef enum tag_WBEM_PATH_CREATE_FLAG {
  WBEMPATH_CREATE_ACCEPT_RELATIVE = 0x1,
  WBEMPATH_CREATE_ACCEPT_ABSOLUTE = 0x2,
  WBEMPATH_CREATE_ACCEPT_ALL = 0x4,
  WBEMPATH_TREAT_SINGLE_IDENT_AS_NS = 0x8
} tag_WBEM_PATH_CREATE_FLAG;

typedef enum tag_WBEM_GET_TEXT_FLAGS {
  WBEMPATH_COMPRESSED = 0x1,
  WBEMPATH_GET_RELATIVE_ONLY = 0x2,
  WBEMPATH_GET_SERVER_TOO = 0x4,
  WBEMPATH_GET_SERVER_AND_NAMESPACE_ONLY = 0x8,
  WBEMPATH_GET_NAMESPACE_ONLY = 0x10,
  WBEMPATH_GET_ORIGINAL = 0x20
} tag_WBEM_GET_TEXT_FLAGS;

typedef enum tag_WBEM_GET_KEY_FLAGS { WBEMPATH_TEXT = 0x1, WBEMPATH_QUOTEDTEXT = 0x2 } tag_WBEM_GET_KEY_FLAGS;

inline constexpr IID IID_IWbemPath = {0x3bc15af2, 0x736c, 0x477e, {0x9e, 0x51, 0x23, 0x8a, 0xf8, 0x66, 0x7d, 0xcc}};
inline constexpr IID IID_IWbemPathKeyList = {0x9ae62877, 0x7544, 0x4bb0, {0xaa, 0x26, 0xa1, 0x38, 0x24, 0x65, 0x9e, 0xd6}};
inline constexpr CLSID CLSID_WbemDefPath = {0xcf4cc405, 0xe2c5, 0x4ddd, {0xb3, 0xce, 0x5e, 0x75, 0x82, 0xd8, 0xc9, 0xfa}};

interface IWbemPathKeyList : public IUnknown {
  STDMETHOD(GetCount)(ULONG* puKeyCount) PURE;
  STDMETHOD(SetKey)(LPCWSTR wszName, ULONG uFlags, ULONG uCimType, LPVOID pKeyVal) PURE;
  STDMETHOD(SetKey2)(LPCWSTR wszName, ULONG uFlags, ULONG uCimType, VARIANT* pKeyVal) PURE;
  STDMETHOD(GetKey)(ULONG uKeyIx, ULONG uFlags, ULONG* puNameBufSize, LPWSTR pszKeyName, ULONG* puKeyValBufSize,
                    LPVOID pKeyVal, ULONG* puApparentCimType) PURE;
  STDMETHOD(GetKey2)(ULONG uKeyIx, ULONG uFlags, ULONG* puNameBufSize, LPWSTR pszKeyName, VARIANT* pKeyValue,
                     ULONG* puApparentCimType) PURE;
  STDMETHOD(RemoveKey)(LPCWSTR wszName, ULONG uFlags) PURE;
  STDMETHOD(RemoveAllKeys)(ULONG uFlags) PURE;
  STDMETHOD(MakeSingleton)(boolean bSet) PURE;
  STDMETHOD(GetInfo)(ULONG uRequestedInfo, ULONGLONG* puResponse) PURE;
  STDMETHOD(GetText)(LONG lFlags, ULONG* puBuffLength, LPWSTR pszText) PURE;
};

interface IWbemPath : public IUnknown {
  STDMETHOD(SetText)(ULONG uMode, LPCWSTR pszPath) PURE;
  STDMETHOD(GetText)(LONG lFlags, ULONG* puBuffLength, LPWSTR pszText) PURE;
  STDMETHOD(GetInfo)(ULONG uRequestedInfo, ULONGLONG* puResponse) PURE;
  STDMETHOD(SetServer)(LPCWSTR Name) PURE;
  STDMETHOD(GetServer)(ULONG* puNameBufLength, LPWSTR pName) PURE;
  STDMETHOD(GetNamespaceCount)(ULONG* puCount) PURE;
  STDMETHOD(SetNamespaceAt)(ULONG uIndex, LPCWSTR pszName) PURE;
  STDMETHOD(GetNamespaceAt)(ULONG uIndex, ULONG* puNameBufLength, LPWSTR pName) PURE;
  STDMETHOD(RemoveNamespaceAt)(ULONG uIndex) PURE;
  STDMETHOD(RemoveAllNamespaces)() PURE;
  STDMETHOD(GetScopeCount)(ULONG* puCount) PURE;
  STDMETHOD(SetScope)(ULONG uIndex, LPWSTR pszClass) PURE;
  STDMETHOD(SetScopeFromText)(ULONG uIndex, LPWSTR pszText) PURE;
  STDMETHOD(GetScope)(ULONG uIndex, ULONG* puClassNameBufSize, LPWSTR pszClass, IWbemPathKeyList** pKeyList) PURE;
  STDMETHOD(GetScopeAsText)(ULONG uIndex, ULONG* puTextBufSize, LPWSTR pszText) PURE;
  STDMETHOD(RemoveScope)(ULONG uIndex) PURE;
  STDMETHOD(RemoveAllScopes)() PURE;
  STDMETHOD(SetClassName)(LPCWSTR Name) PURE;
  STDMETHOD(GetClassName)(ULONG* puBuffLength, LPWSTR pszName) PURE;
  STDMETHOD(GetKeyList)(IWbemPathKeyList** pOut) PURE;
  STDMETHOD(CreateClassPart)(LONG lFlags, LPCWSTR Name) PURE;
  STDMETHOD(DeleteClassPart)(LONG lFlags) PURE;
  STDMETHOD_(BOOL, IsRelative)(LPWSTR wszMachine, LPWSTR wszNamespace) PURE;
  STDMETHOD_(BOOL, IsRelativeOrChild)(LPWSTR wszMachine, LPWSTR wszNamespace, LONG lFlags) PURE;
  STDMETHOD_(BOOL, IsLocal)(LPCWSTR wszMachine) PURE;
  STDMETHOD_(BOOL, IsSameClassName)(LPCWSTR wszClass) PURE;
};
