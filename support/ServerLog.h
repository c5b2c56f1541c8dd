// The server log: short single-byte lines in qzwbems.log, shared by every writer of the same path
// under a named semaphore, trimmed in place when it grows past 200,000 bytes.
#pragma once

#include <windows.h>

#include <string>

// Line types: bit t of the type mask enables type t.
enum : DWORD {
  kServerLogInformation = 0,
  kServerLogWarning = 1,
  kServerLogError = 2,
};

class CServerLog {
 public:
  CServerLog();
  ~CServerLog();
  CServerLog(const CServerLog&) = delete;
  CServerLog& operator=(const CServerLog&) = delete;

  // Reads HKLM\Software\Tarnwell\WBEM\ServerLOGGING, then sets up the semaphore.
  void Configure();
  void SetPrefix(const WCHAR* prefix) { m_Prefix = prefix; }

  // Writes one printf-style line of the type when the level and type mask allow it; returns a
  // Win32 error code (258 when the semaphore stayed busy for a second and the line was dropped).
  DWORD Write(DWORD type, DWORD level, const WCHAR* format, ...);

  // Stores the settings and creates (or opens) the semaphore named after the path.
  DWORD SetupSemaphore(const std::wstring& path, DWORD level, DWORD typeMask);

  const std::wstring& Path() const { return m_Path; }
  DWORD MaxLevel() const { return m_MaxLevel; }
  DWORD TypeMask() const { return m_TypeMask; }

 private:
  void Trim() const;

  HANDLE m_hSemaphore = nullptr;
  DWORD m_MaxLevel = 1;
  DWORD m_TypeMask = 7;
  std::wstring m_Path;
  std::wstring m_Prefix;
};

// The semaphore's name: the path without its backslashes, in upper case.
std::wstring ServerLogSemaphoreName(const std::wstring& path);

// Sizes of the trimming: a file that reaches kServerLogTrimAt bytes keeps at most its last
// kServerLogKeep bytes, from a line start on.
inline constexpr DWORD kServerLogTrimAt = 200000;
inline constexpr DWORD kServerLogKeep = 100000;
