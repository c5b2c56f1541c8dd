// The registry's Win32 functions: key handles, paths, access rights and the buffer conventions.
#include <winreg.h>

#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "advapi32/registry_store.h"
#include "kernel32/text.h"

namespace qz {
namespace {

constexpr size_t kMaxKeyNameChars = 255;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;

struct KeyHandle {
  RegKeyRef ref;
  REGSAM access = 0;
};

// Open key handles of this process. Values start high and step by 4 so that they never meet the
// predefined roots, NULL or a small integer passed by mistake.
class KeyHandleTable {
 public:
  HKEY Add(const KeyHandle& key) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Next += 4;
    m_Keys.emplace(m_Next, key);
    return reinterpret_cast<HKEY>(m_Next);
  }
  bool Find(HKEY handle, KeyHandle* key) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Keys.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_Keys.end()) return false;
    *key = found->second;
    return true;
  }
  bool Remove(HKEY handle) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Keys.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
  }

 private:
  std::mutex m_Mutex;
  uintptr_t m_Next = 0x10000;
  std::unordered_map<uintptr_t, KeyHandle> m_Keys;
};

KeyHandleTable& Handles() {
  static KeyHandleTable* table = new KeyHandleTable();
  return *table;
}

REGSAM EffectiveAccess(REGSAM desired) {
  REGSAM access = desired & ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  if (access & (kGenericAll | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
  if (access & kGenericRead) access |= KEY_READ;
  if (access & kGenericWrite) access |= KEY_WRITE;
  return access;
}

// The store, locked and ready, with the key behind a handle; the constructor's Error() tells
// why not when it is not usable.
class RegCall {
 public:
  RegCall(HKEY handle, REGSAM needed) : m_Store(RegistryStore::Get()), m_Lock(m_Store.Lock()) {
    m_Error = m_Store.Ready();
    if (m_Error != ERROR_SUCCESS) return;
    if (handle == HKEY_LOCAL_MACHINE) {
      m_Key = {{false, kRegMachineRootId}, KEY_ALL_ACCESS};
    } else if (handle == HKEY_CLASSES_ROOT) {
      m_Key = {{false, m_Store.ClassesRootId()}, KEY_ALL_ACCESS};
    } else if (!Handles().Find(handle, &m_Key)) {
      m_Error = ERROR_INVALID_HANDLE;
      return;
    }
    if ((m_Key.access & needed) != needed) m_Error = ERROR_ACCESS_DENIED;
  }
  ~RegCall() {
    m_Store.EndRead();
    if (m_InWrite) m_Store.Rollback();
  }

  LONG Error() const { return m_Error; }
  RegistryStore& Store() { return m_Store; }
  const KeyHandle& Key() const { return m_Key; }

  LONG BeginWrite(bool volatileOnly = false) {
    LONG error = m_Store.BeginWrite(volatileOnly);
    m_InWrite = error == ERROR_SUCCESS;
    return error;
  }
  LONG Commit() {
    m_InWrite = false;
    return m_Store.Commit();
  }
  // The error to give for a lookup that found nothing: the key itself may be gone.
  LONG NotFound(LONG error) {
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_ITEMS) return error;
    LONG exists = m_Store.KeyExists(m_Key.ref);
    return exists == ERROR_SUCCESS ? error : exists;
  }

 private:
  RegistryStore& m_Store;
  std::unique_lock<std::mutex> m_Lock;
  KeyHandle m_Key;
  LONG m_Error = ERROR_SUCCESS;
  bool m_InWrite = false;
};

// Splits a subkey path into upper-cased and as-given components. A trailing backslash is allowed;
// a leading one or an empty component is a bad path.
LONG ParsePath(LPCWSTR path, std::vector<std::wstring>* parts) {
  if (!path || !*path) return ERROR_SUCCESS;
  if (*path == L'\\') return ERROR_BAD_PATHNAME;
  const wchar_t* start = path;
  for (const wchar_t* p = path;; ++p) {
    if (*p != L'\\' && *p != 0) continue;
    if (p == start) {
      if (*p == 0) break;  // trailing backslash
      return ERROR_BAD_PATHNAME;
    }
    if (static_cast<size_t>(p - start) > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    parts->emplace_back(start, p);
    if (*p == 0) break;
    start = p + 1;
  }
  return ERROR_SUCCESS;
}

// Follows parts from key as far as they exist; returns how many components were found.
LONG Walk(RegistryStore& store, RegKeyRef key, const std::vector<std::wstring>& parts, RegKeyRef* found,
          size_t* depth) {
  *depth = 0;
  for (const std::wstring& part : parts) {
    RegKeyRef child;
    LONG error = store.FindChild(key, UpperAscii(part), &child);
    if (error == ERROR_FILE_NOT_FOUND) break;
    if (error != ERROR_SUCCESS) return error;
    key = child;
    ++*depth;
  }
  *found = key;
  return ERROR_SUCCESS;
}

std::wstring ValueName(LPCWSTR name) { return name ? UpperAscii(name) : std::wstring(); }

FILETIME ToFileTime(int64_t time) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(time) >> 32);
  return ft;
}

// Copies data to a caller's buffer with the registry's size rules.
LONG CopyData(const std::vector<BYTE>& data, LPBYTE buffer, LPDWORD size) {
  if (!size) return ERROR_SUCCESS;
  const DWORD needed = static_cast<DWORD>(data.size());
  if (buffer && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (buffer && needed) memcpy(buffer, data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

// Copies a name to a buffer of *chars characters, terminator included.
LONG CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD chars) {
  if (name.size() >= *chars) return ERROR_MORE_DATA;
  wmemcpy(buffer, name.data(), name.size());
  buffer[name.size()] = 0;
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

LONG DeleteSubtree(RegistryStore& store, const RegKeyRef& key) {
  std::vector<RegChild> children;
  LONG error = store.Children(key, &children);
  for (const RegChild& child : children) {
    if (error == ERROR_SUCCESS) error = DeleteSubtree(store, child.ref);
    if (error == ERROR_SUCCESS) error = store.DeleteKeyRow(child.ref);
  }
  return error;
}

bool IsRootRow(RegistryStore& store, const RegKeyRef& key) {
  return !key.volatileKey && (key.id == kRegMachineRootId || key.id == store.ClassesRootId());
}

// Begins a write under `call` and finds the existing key at `parts` below the call's key.
LONG FindKeyForWrite(RegCall& call, const std::vector<std::wstring>& parts, RegKeyRef* key) {
  LONG error = call.BeginWrite();
  if (error != ERROR_SUCCESS) return error;
  size_t depth = 0;
  error = Walk(call.Store(), call.Key().ref, parts, key, &depth);
  if (error != ERROR_SUCCESS) return error;
  if (depth < parts.size()) return call.NotFound(ERROR_FILE_NOT_FOUND);
  return call.Store().KeyExists(*key);
}

}  // namespace
}  // namespace qz

using namespace qz;

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::vector<std::wstring> parts;
  LONG error = ParsePath(lpSubKey, &parts);
  if (error != ERROR_SUCCESS) return error;
  RegCall call(hKey, 0);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  RegistryStore& store = call.Store();
  const bool makeVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;

  // Opening an existing key is the common case and needs no write transaction.
  RegKeyRef key;
  size_t depth = 0;
  error = Walk(store, call.Key().ref, parts, &key, &depth);
  if (error != ERROR_SUCCESS) return error;
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (depth < parts.size()) {
    if ((call.Key().access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    if (makeVolatile) {
      error = store.NeedVolatile();
      if (error != ERROR_SUCCESS) return error;
    }
    error = call.BeginWrite(makeVolatile);
    if (error != ERROR_SUCCESS) return error;
    error = store.KeyExists(call.Key().ref);
    if (error != ERROR_SUCCESS) return error;
    error = Walk(store, call.Key().ref, parts, &key, &depth);
    if (error != ERROR_SUCCESS) return error;
    for (; depth < parts.size(); ++depth) {
      if (key.volatileKey && !makeVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
      error = store.CreateChild(key, parts[depth], makeVolatile, &key);
      if (error != ERROR_SUCCESS) return error;
      disposition = REG_CREATED_NEW_KEY;
    }
    error = call.Commit();
    if (error != ERROR_SUCCESS) return error;
  } else if (parts.empty()) {
    error = store.KeyExists(key);
    if (error != ERROR_SUCCESS) return error;
  }
  *phkResult = Handles().Add({key, EffectiveAccess(samDesired)});
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::vector<std::wstring> parts;
  LONG error = ParsePath(lpSubKey, &parts);
  if (error != ERROR_SUCCESS) return error;
  RegCall call(hKey, 0);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  RegKeyRef key;
  size_t depth = 0;
  error = Walk(call.Store(), call.Key().ref, parts, &key, &depth);
  if (error != ERROR_SUCCESS) return error;
  if (depth < parts.size()) return call.NotFound(ERROR_FILE_NOT_FOUND);
  if (parts.empty()) {
    error = call.Store().KeyExists(key);
    if (error != ERROR_SUCCESS) return error;
  }
  *phkResult = Handles().Add({key, EffectiveAccess(samDesired)});
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  RegCall call(hKey, KEY_QUERY_VALUE);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  LONG error = call.Store().ReadValue(call.Key().ref, ValueName(lpValueName), &type, &data);
  if (error != ERROR_SUCCESS) return call.NotFound(error);
  if (lpType) *lpType = type;
  return CopyData(data, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  if (!lpData && cbData) return ERROR_NOACCESS;
  RegCall call(hKey, KEY_SET_VALUE);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  LONG error = call.BeginWrite(call.Key().ref.volatileKey);
  if (error != ERROR_SUCCESS) return error;
  error = call.Store().WriteValue(call.Key().ref, lpValueName ? lpValueName : L"", dwType, lpData, cbData);
  if (error != ERROR_SUCCESS) return error;
  return call.Commit();
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  RegCall call(hKey, KEY_SET_VALUE);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  LONG error = call.BeginWrite(call.Key().ref.volatileKey);
  if (error != ERROR_SUCCESS) return error;
  error = call.Store().DeleteValue(call.Key().ref, ValueName(lpValueName));
  if (error != ERROR_SUCCESS) return call.NotFound(error);
  return call.Commit();
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  std::vector<std::wstring> parts;
  LONG error = ParsePath(lpSubKey, &parts);
  if (error != ERROR_SUCCESS) return error;
  RegCall call(hKey, 0);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  RegistryStore& store = call.Store();
  RegKeyRef key;
  error = FindKeyForWrite(call, parts, &key);
  if (error != ERROR_SUCCESS) return error;
  if (IsRootRow(store, key)) return ERROR_ACCESS_DENIED;
  bool hasChildren = false;
  error = store.HasChildren(key, &hasChildren);
  if (error != ERROR_SUCCESS) return error;
  if (hasChildren) return ERROR_ACCESS_DENIED;
  error = store.DeleteKeyRow(key);
  if (error != ERROR_SUCCESS) return error;
  return call.Commit();
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  std::vector<std::wstring> parts;
  LONG error = ParsePath(lpSubKey, &parts);
  if (error != ERROR_SUCCESS) return error;
  RegCall call(hKey, 0);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  RegistryStore& store = call.Store();
  RegKeyRef key;
  error = FindKeyForWrite(call, parts, &key);
  if (error != ERROR_SUCCESS) return error;
  // With a subkey the key itself goes too; without one only what it holds.
  const bool deleteKey = lpSubKey != nullptr;
  if (deleteKey && IsRootRow(store, key)) return ERROR_ACCESS_DENIED;
  error = DeleteSubtree(store, key);
  if (error == ERROR_SUCCESS) error = deleteKey ? store.DeleteKeyRow(key) : store.DeleteValues(key);
  if (error != ERROR_SUCCESS) return error;
  return call.Commit();
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  RegCall call(hKey, KEY_ENUMERATE_SUB_KEYS);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  RegChild child;
  LONG error = call.Store().ChildAt(call.Key().ref, dwIndex, &child);
  if (error != ERROR_SUCCESS) return call.NotFound(error);
  error = CopyName(child.name, lpName, lpcchName);
  if (error != ERROR_SUCCESS) return error;
  if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(child.lastWrite);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  RegCall call(hKey, KEY_QUERY_VALUE);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  RegValue value;
  LONG error = call.Store().ValueAt(call.Key().ref, dwIndex, &value);
  if (error != ERROR_SUCCESS) return call.NotFound(error);
  error = CopyName(value.name, lpValueName, lpcchValueName);
  if (error != ERROR_SUCCESS) return error;
  if (lpType) *lpType = value.type;
  return CopyData(value.data, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  RegCall call(hKey, KEY_QUERY_VALUE);
  if (call.Error() != ERROR_SUCCESS) return call.Error();
  int64_t lastWrite = 0;
  LONG error = call.Store().LastWrite(call.Key().ref, &lastWrite);
  if (error != ERROR_SUCCESS) return error;
  DWORD subKeys = 0, maxSubKeyLen = 0, values = 0, maxValueNameLen = 0, maxValueLen = 0;
  error = call.Store().Info(call.Key().ref, &subKeys, &maxSubKeyLen, &values, &maxValueNameLen, &maxValueLen);
  if (error != ERROR_SUCCESS) return error;
  // Keys carry no class string here.
  if (lpClass) {
    if (*lpcchClass == 0) return ERROR_MORE_DATA;
    lpClass[0] = 0;
  }
  if (lpcchClass) *lpcchClass = 0;
  if (lpcSubKeys) *lpcSubKeys = subKeys;
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSubKeyLen;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = values;
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxValueNameLen;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxValueLen;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(lastWrite);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  // The predefined roots are never opened, so closing one has nothing to do.
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
    if (hKey == root) return ERROR_SUCCESS;
  }
  return Handles().Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

extern "C" LONG QzRegBeginBatch(void) {
  qz::RegistryStore& store = qz::RegistryStore::Get();
  std::unique_lock<std::mutex> lock = store.Lock();
  const LONG error = store.Ready();
  return error == ERROR_SUCCESS ? store.BeginBatch() : error;
}

extern "C" LONG QzRegEndBatch(void) {
  qz::RegistryStore& store = qz::RegistryStore::Get();
  std::unique_lock<std::mutex> lock = store.Lock();
  return store.EndBatch();
}
