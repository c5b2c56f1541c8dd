// Owners of a kernel handle and of an open registry key, closed on every path.
#pragma once

#include <windows.h>

#include <string>

class CAutoHandle {
 public:
  CAutoHandle() = default;
  explicit CAutoHandle(HANDLE handle) : m_Handle(handle) {}
  ~CAutoHandle() { Close(); }
  CAutoHandle(const CAutoHandle&) = delete;
  CAutoHandle& operator=(const CAutoHandle&) = delete;

  // A file handle that failed to open is INVALID_HANDLE_VALUE; a mutex that failed is NULL.
  bool IsValid() const { return m_Handle != nullptr && m_Handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_Handle; }
  void Reset(HANDLE handle) {
    Close();
    m_Handle = handle;
  }
  // Closes the handle; the result of CloseHandle, TRUE when nothing was open.
  BOOL Close() {
    BOOL closed = TRUE;
    if (IsValid()) closed = CloseHandle(m_Handle);
    m_Handle = nullptr;
    return closed;
  }

 private:
  HANDLE m_Handle = nullptr;
};

class CAutoKey {
 public:
  CAutoKey() = default;
  ~CAutoKey() { Close(); }
  CAutoKey(const CAutoKey&) = delete;
  CAutoKey& operator=(const CAutoKey&) = delete;

  HKEY Get() const { return m_Key; }
  HKEY* Receive() {
    Close();
    return &m_Key;
  }
  void Close() {
    if (m_Key) RegCloseKey(m_Key);
    m_Key = nullptr;
  }

 private:
  HKEY m_Key = nullptr;
};

// A REG_DWORD of exactly four bytes; any other type or size counts as unreadable.
bool ReadRegDword(HKEY key, const WCHAR* name, DWORD* value);

// A REG_SZ or REG_EXPAND_SZ value (taken literally, not expanded): its size first, then its text.
bool ReadRegString(HKEY key, const WCHAR* name, std::wstring* value);
