// The server log: configuration, the semaphore, trimming and the single-byte line format.
#include "support/ServerLog.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "support/AutoHandle.h"
#include "support/CommonLog.h"

namespace {

constexpr const WCHAR* kConfigKey = L"Software\\Tarnwell\\WBEM\\ServerLOGGING";
constexpr const WCHAR* kTypeNames[] = {L"Information", L"Warning", L"Error"};
constexpr DWORD kSemaphoreWaitMs = 1000;

std::wstring DefaultServerLogPath() {
  WCHAR windows[MAX_PATH] = {};
  UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring base = (length == 0 || length >= MAX_PATH) ? L"C:\\Windows" : windows;
  return base + L"\\system32\\wbem\\logs\\qzwbems.log";
}

HANDLE OpenShared(const std::wstring& path, DWORD disposition) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
}

}  // namespace

std::wstring ServerLogSemaphoreName(const std::wstring& path) { return ToUpperName(RemoveBackslashes(path)); }

CServerLog::CServerLog() : m_Path(DefaultServerLogPath()) {}

CServerLog::~CServerLog() {
  if (m_hSemaphore) CloseHandle(m_hSemaphore);
}

void CServerLog::Configure() {
  std::wstring path = m_Path;
  DWORD level = m_MaxLevel;
  DWORD typeMask = m_TypeMask;
  CAutoKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ | KEY_WRITE, key.Receive()) == ERROR_SUCCESS) {
    // LEVEL and TYPE count only together with a file name.
    std::wstring name;
    if (ReadRegString(key.Get(), L"LOGFILENAME", &name)) {
      path = name;
      ReadRegDword(key.Get(), L"LEVEL", &level);
      ReadRegDword(key.Get(), L"TYPE", &typeMask);
    }
  }
  SetupSemaphore(path, level, typeMask);
}

DWORD CServerLog::SetupSemaphore(const std::wstring& path, DWORD level, DWORD typeMask) {
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  m_MaxLevel = level;
  m_TypeMask = typeMask;
  m_Path = path;
  if (m_hSemaphore) {
    CloseHandle(m_hSemaphore);
    m_hSemaphore = nullptr;
  }
  HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, ServerLogSemaphoreName(path).c_str());
  if (!semaphore) return GetLastError();
  // A semaphore that exists already keeps its count; a new one starts free.
  if (GetLastError() != ERROR_ALREADY_EXISTS) ReleaseSemaphore(semaphore, 1, nullptr);
  m_hSemaphore = semaphore;
  return ERROR_SUCCESS;
}

DWORD CServerLog::Write(DWORD type, DWORD level, const WCHAR* format, ...) {
  if (level > m_MaxLevel || type >= 32 || !(m_TypeMask & (1u << type))) return ERROR_SUCCESS;

  CAutoHandle file(OpenShared(m_Path, OPEN_ALWAYS));
  if (!file.IsValid()) return GetLastError();

  // Only a writer that kept the semaphore for a whole second makes this line give way. Without a
  // semaphore (it could not be created) the wait fails at once and the line is written unguarded:
  // a log of failures should not fall silent because of one more failure.
  if (WaitForSingleObject(m_hSemaphore, kSemaphoreWaitMs) == WAIT_TIMEOUT) return WAIT_TIMEOUT;

  Trim();

  va_list args;
  va_start(args, format);
  std::wstring message = FormatMessageText(format, args);
  va_end(args);

  SYSTEMTIME now;
  GetLocalTime(&now);
  const WCHAR* typeName = type < 3 ? kTypeNames[type] : L"";
  std::wstring text = m_Prefix + message;
  std::vector<WCHAR> line(text.size() + 64);
  int length = swprintf(line.data(), line.size(), L" [%02d/%02d/%d %02d:%02d:%02d:%03d] [%ls] - %ls\r\n", now.wMonth,
                        now.wDay, now.wYear, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, typeName,
                        text.c_str());
  DWORD error = ERROR_SUCCESS;
  LARGE_INTEGER zero = {};
  if (length > 0 && SetFilePointerEx(file.Get(), zero, nullptr, FILE_END)) {
    int bytes = WideCharToMultiByte(CP_ACP, 0, line.data(), length, nullptr, 0, nullptr, nullptr);
    std::vector<char> narrow(bytes > 0 ? static_cast<size_t>(bytes) : 1);
    WideCharToMultiByte(CP_ACP, 0, line.data(), length, narrow.data(), bytes, nullptr, nullptr);
    DWORD written = 0;
    if (!WriteFile(file.Get(), narrow.data(), static_cast<DWORD>(bytes > 0 ? bytes : 0), &written, nullptr))
      error = GetLastError();
  } else if (length > 0) {
    error = GetLastError();
  }
  ReleaseSemaphore(m_hSemaphore, 1, nullptr);
  return error;
}

void CServerLog::Trim() const {
  CAutoHandle file(OpenShared(m_Path, OPEN_ALWAYS));
  if (!file.IsValid()) return;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < kServerLogTrimAt) return;

  LARGE_INTEGER tail;
  tail.QuadPart = size.QuadPart - kServerLogKeep;
  if (!SetFilePointerEx(file.Get(), tail, nullptr, FILE_BEGIN)) return;
  std::vector<char> buffer(kServerLogKeep);
  DWORD read = 0;
  if (!ReadFile(file.Get(), buffer.data(), kServerLogKeep, &read, nullptr) || read != kServerLogKeep) return;

  // The kept part starts after the first line end; without one, only the last byte stays.
  size_t start = buffer.size() - 1;
  for (size_t i = 0; i + 1 < buffer.size(); ++i) {
    if (buffer[i] == '\r') {
      start = i + 1;
      if (buffer[start] == '\n') ++start;
      break;
    }
  }
  file.Close();
  CAutoHandle fresh(OpenShared(m_Path, CREATE_ALWAYS));
  if (!fresh.IsValid()) return;
  DWORD written = 0;
  WriteFile(fresh.Get(), buffer.data() + start, static_cast<DWORD>(buffer.size() - start), &written, nullptr);
}
