// The object-path parser behind CLSID_WbemDefPath: the path grammar, the IWbemPath and
// IWbemPathKeyList objects and their class factory.
#pragma once

#include <wmiutils.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

// One key value of an instance path, in the form it was written or set.
struct PathKeyValue {
  enum class Kind { String, Integer, Unsigned, Boolean };
  Kind kind = Kind::String;
  std::wstring text;            // Kind::String, unescaped
  LONGLONG integer = 0;         // Kind::Integer: any value of the signed 64-bit range
  ULONGLONG unsignedValue = 0;  // Kind::Unsigned: the values above the signed 64-bit range
  bool boolean = false;         // Kind::Boolean
};

// One key of an instance path.
struct PathKey {
  std::wstring name;  // as written; empty for the unnamed key of "Class=value"
  PathKeyValue value;
  ULONG cimType = CIM_EMPTY;  // as given to SetKey/SetKey2; CIM_EMPTY: the value's own type
};

// An object path taken apart: [\\server\]namespace:class[.keys | =value | =@].
struct ObjectPath {
  bool hasServer = false;
  bool hadServer = false;  // the text given to SetText named a server
  std::wstring server;
  std::vector<std::wstring> namespaces;
  bool hasClass = false;
  std::wstring className;
  std::vector<PathKey> keys;
  bool singleton = false;
};

// Parses `text` under a WBEMPATH_CREATE_* mode. False for malformed text, for a path that the
// mode refuses and for unknown mode bits; `path` is then untouched. Blank text is an empty path.
bool ParseObjectPath(std::wstring_view text, ULONG mode, ObjectPath* path);

// The text of the path for a WBEMPATH_GET_* selection (WBEMPATH_GET_ORIGINAL excepted). Values
// are written back in their canonical form: strings double-quoted with \" and \\ escaped,
// integers in decimal, booleans as TRUE and FALSE. False for unknown or conflicting flags.
bool FormatObjectPath(const ObjectPath& path, LONG flags, std::wstring* text);

// The WBEMPATH_INFO_* bits that describe the path.
ULONGLONG ObjectPathInfo(const ObjectPath& path);

// The pieces of the grammar that the path objects share with the parser.

// A class, key or namespace name: letters, underscore and the characters 0x100 to 0xFFEF, with
// digits after the first character.
bool IsValidPathName(std::wstring_view name);

// A server name: printable characters without separators, colons or quotes.
bool IsValidServerName(std::wstring_view name);

// Names compare without regard to the case of ASCII letters, as WMI compares class and key names.
bool EqualNamesNoCase(std::wstring_view a, std::wstring_view b);

// The whole text is one integer key value (decimal or 0x hexadecimal, optionally negative).
bool ParseKeyNumber(std::wstring_view text, PathKeyValue* value);

// Appends a key value as the path writes it (quoted: strings in double quotes, with the quote and
// the backslash escaped by a backslash) or as plain text.
void AppendKeyValue(std::wstring* out, const PathKeyValue& value, bool quoted);

// The key part as it follows the class name's "." or "=": Key1="v",Key2=5, or "v", or @.
std::wstring FormatKeyList(const ObjectPath& path);

// Whether a key without a name ("Class=value") is among the keys.
bool HasImpliedKey(const ObjectPath& path);

// The class factory of CLSID_WbemDefPath, a process-wide object (the built-in class's getter).
HRESULT WbemDefPathGetClassObject(REFIID riid, void** ppv);

// A new, empty path object.
HRESULT CreateWbemPath(REFIID riid, void** ppv);

// The IWbemPath object. Its state is guarded by one mutex, which its key lists share.
class CWbemPath final : public IWbemPath {
 public:
  CWbemPath() = default;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP SetText(ULONG uMode, LPCWSTR pszPath) override;
  STDMETHODIMP GetText(LONG lFlags, ULONG* puBuffLength, LPWSTR pszText) override;
  STDMETHODIMP GetInfo(ULONG uRequestedInfo, ULONGLONG* puResponse) override;
  STDMETHODIMP SetServer(LPCWSTR Name) override;
  STDMETHODIMP GetServer(ULONG* puNameBufLength, LPWSTR pName) override;
  STDMETHODIMP GetNamespaceCount(ULONG* puCount) override;
  STDMETHODIMP SetNamespaceAt(ULONG uIndex, LPCWSTR pszName) override;
  STDMETHODIMP GetNamespaceAt(ULONG uIndex, ULONG* puNameBufLength, LPWSTR pName) override;
  STDMETHODIMP RemoveNamespaceAt(ULONG uIndex) override;
  STDMETHODIMP RemoveAllNamespaces() override;
  STDMETHODIMP GetScopeCount(ULONG* puCount) override;
  STDMETHODIMP SetScope(ULONG uIndex, LPWSTR pszClass) override;
  STDMETHODIMP SetScopeFromText(ULONG uIndex, LPWSTR pszText) override;
  STDMETHODIMP GetScope(ULONG uIndex, ULONG* puClassNameBufSize, LPWSTR pszClass, IWbemPathKeyList** pKeyList) override;
  STDMETHODIMP GetScopeAsText(ULONG uIndex, ULONG* puTextBufSize, LPWSTR pszText) override;
  STDMETHODIMP RemoveScope(ULONG uIndex) override;
  STDMETHODIMP RemoveAllScopes() override;
  STDMETHODIMP SetClassName(LPCWSTR Name) override;
  STDMETHODIMP GetClassName(ULONG* puBuffLength, LPWSTR pszName) override;
  STDMETHODIMP GetKeyList(IWbemPathKeyList** pOut) override;
  STDMETHODIMP CreateClassPart(LONG lFlags, LPCWSTR Name) override;
  STDMETHODIMP DeleteClassPart(LONG lFlags) override;
  STDMETHODIMP_(BOOL) IsRelative(LPWSTR wszMachine, LPWSTR wszNamespace) override;
  STDMETHODIMP_(BOOL) IsRelativeOrChild(LPWSTR wszMachine, LPWSTR wszNamespace, LONG lFlags) override;
  STDMETHODIMP_(BOOL) IsLocal(LPCWSTR wszMachine) override;
  STDMETHODIMP_(BOOL) IsSameClassName(LPCWSTR wszClass) override;

 private:
  friend class CWbemPathKeyList;
  ~CWbemPath() = default;

  std::atomic<ULONG> m_RefCount{1};
  std::mutex m_Lock;
  ObjectPath m_Path;
  std::wstring m_Original;  // the text of the last successful SetText
};

// The key list of a path: a live view of the keys of its CWbemPath, which it holds a reference to.
class CWbemPathKeyList final : public IWbemPathKeyList {
 public:
  explicit CWbemPathKeyList(CWbemPath* path);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetCount(ULONG* puKeyCount) override;
  STDMETHODIMP SetKey(LPCWSTR wszName, ULONG uFlags, ULONG uCimType, LPVOID pKeyVal) override;
  STDMETHODIMP SetKey2(LPCWSTR wszName, ULONG uFlags, ULONG uCimType, VARIANT* pKeyVal) override;
  STDMETHODIMP GetKey(ULONG uKeyIx, ULONG uFlags, ULONG* puNameBufSize, LPWSTR pszKeyName, ULONG* puKeyValBufSize,
                      LPVOID pKeyVal, ULONG* puApparentCimType) override;
  STDMETHODIMP GetKey2(ULONG uKeyIx, ULONG uFlags, ULONG* puNameBufSize, LPWSTR pszKeyName, VARIANT* pKeyValue,
                       ULONG* puApparentCimType) override;
  STDMETHODIMP RemoveKey(LPCWSTR wszName, ULONG uFlags) override;
  STDMETHODIMP RemoveAllKeys(ULONG uFlags) override;
  STDMETHODIMP MakeSingleton(boolean bSet) override;
  STDMETHODIMP GetInfo(ULONG uRequestedInfo, ULONGLONG* puResponse) override;
  STDMETHODIMP GetText(LONG lFlags, ULONG* puBuffLength, LPWSTR pszText) override;

 private:
  ~CWbemPathKeyList();
  HRESULT StoreKey(LPCWSTR wszName, ULONG uCimType, const PathKeyValue& value);

  std::atomic<ULONG> m_RefCount{1};
  CWbemPath* m_pPath;
};

}  // namespace qz
