// The common trace log: UTF-16LE lines in <group>.log in the WMI log folder, shared by every
// process of the family under one system-wide mutex, rotated into <group>.lo_.
#pragma once

#include <windows.h>

#include <string>

// Severities: the index into the names printed in each line.
enum : DWORD {
  kSeverityNone = 0,
  kSeverityDebug = 1,
  kSeverityVerbose = 2,
  kSeverityInformation = 3,
  kSeverityWarning = 4,
  kSeverityError = 5,
};

class CCommonLog {
 public:
  // Constant-initialised, so that the log can be reached from any static constructor of the
  // module, before or after its own turn: until LogInit runs, nothing is written.
  constexpr CCommonLog() = default;
  ~CCommonLog();
  CCommonLog(const CCommonLog&) = delete;
  CCommonLog& operator=(const CCommonLog&) = delete;

  // Reads the configuration from HKLM\Software\Tarnwell\WBEM and starts the log of the group
  // (the file's base name) for the module (put in front of every function name).
  void LogInit(const WCHAR* group, const WCHAR* module);

  // The process-local lock that keeps a caller's function name with its messages.
  void Lock();
  void Unlock();
  void SetFunctionName(const WCHAR* name);

  // One message as `function`, at the verbose, information or error severity: the lock, the
  // function name and the message in one call, so that no other thread's name comes between.
  DWORD LogAs(const WCHAR* function, DWORD severity, const WCHAR* format, ...);

  // printf-style messages (wide strings as %ls); each returns WriteLine's result, or 0 when the
  // severity is below the configured level (nothing is formatted then).
  DWORD LogVerbose(const WCHAR* format, ...);
  DWORD LogInformation(const WCHAR* format, ...);
  DWORD LogError(const WCHAR* format, ...);

  // Appends one line under the file mutex, rotating the file first when it is full; returns a
  // Win32 error code, 0 on success.
  DWORD WriteLine(const WCHAR* source, DWORD severity, const WCHAR* message);

  DWORD Level() const { return m_Level; }
  DWORD MaxSize() const { return m_MaxSize; }
  const std::wstring& FileBase() const { return m_FileBase; }

 private:
  DWORD Log(DWORD severity, const WCHAR* format, va_list args);
  DWORD CheckRotation(HANDLE* file);
  HANDLE OpenLogFile(DWORD flags) const;

  DWORD m_Level = 6;
  DWORD m_MaxSize = 0x200000;
  std::wstring m_Group;
  std::wstring m_FileBase;
  std::wstring m_Module;
  std::wstring m_Function;
  HANDLE m_hFileMutex = nullptr;
  HANDLE m_hMutex = nullptr;
  // The line buffers, reused from call to call and touched only under the file mutex.
  std::wstring m_Text;
  std::wstring m_Line;
};

extern CCommonLog g_CommonLog;

// The folder and file name of the log when no configuration says otherwise.
std::wstring DefaultLogFolder();

// "Global\" + folder and group with each backslash removed, in upper case: the name of the mutex
// that every writer of the same file shares.
std::wstring CommonLogMutexName(const std::wstring& folder, const std::wstring& group);

// Removes each backslash from the text; the search resumes after the removed position, so of two
// adjacent backslashes the second stays. Shared with the server log's semaphore name.
std::wstring RemoveBackslashes(const std::wstring& text);

// Upper case as the names of kernel objects are written.
std::wstring ToUpperName(const std::wstring& text);

// Formats a printf-style wide message of any length.
std::wstring FormatMessageText(const WCHAR* format, va_list args);
std::wstring FormatText(const WCHAR* format, ...);
