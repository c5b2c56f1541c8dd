// The common trace log: configuration, the line format, rotation and the system-wide file mutex.
#include "support/CommonLog.h"

#include <sddl.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "support/AutoHandle.h"
#include "support/Mutex.h"

// Constant-initialised, so it can be reached from any static constructor. clang 14 cannot evaluate
// libstdc++'s std::wstring constructor at compile time (the fuzz builds use it): there the log is
// initialised before any other static of its file, which is enough for a program without a module.
#if defined(__clang__) && __clang_major__ < 15
CCommonLog g_CommonLog;
#else
constinit CCommonLog g_CommonLog;
#endif

namespace {

constexpr const WCHAR* kConfigKey = L"Software\\Tarnwell\\WBEM";
constexpr const WCHAR* kSeverityNames[] = {L"N/A", L"Debug", L"Verbose", L"Information", L"Warning", L"Error"};
constexpr DWORD kDefaultLevel = 3;
constexpr DWORD kDefaultMaxSize = 0x200000;
constexpr DWORD kMinMaxSize = 0x80000;
constexpr DWORD kMaxMaxSize = 0x2000000;
// Guests denied; local system, administrators and the network service account allowed everything.
constexpr const WCHAR* kFileMutexSddl = L"D:(D;OICI;GA;;;BG)(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;NS)";

bool IsValidLevel(DWORD level) { return level >= 1 && level <= 5; }
bool IsValidMaxSize(DWORD size) { return size >= kMinMaxSize && size <= kMaxMaxSize; }

struct LogConfig {
  std::wstring folder;
  DWORD level;
  DWORD maxSize;
};

LogConfig ReadConfig(const std::wstring& group, const std::wstring& module) {
  LogConfig config{DefaultLogFolder(), kDefaultLevel, kDefaultMaxSize};
  CAutoKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return config;

  std::wstring folder;
  if (ReadRegString(key.Get(), L"LogFolder", &folder)) {
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    config.folder = folder;
  }

  // Overrides are consulted only beneath a valid value: the group override under a valid
  // LogLevel, the module override under a valid group override.
  DWORD level = 0;
  if (ReadRegDword(key.Get(), L"LogLevel", &level)) {
    config.level = level;
    DWORD groupLevel = 0;
    if (IsValidLevel(level) &&
        ReadRegDword(key.Get(), (L"LogLevel (" + group + L")").c_str(), &groupLevel) &&
        IsValidLevel(groupLevel)) {
      config.level = groupLevel;
      DWORD moduleLevel = 0;
      if (ReadRegDword(key.Get(), (L"LogLevel (" + group + L":" + module + L")").c_str(), &moduleLevel) &&
          IsValidLevel(moduleLevel))
        config.level = moduleLevel;
    }
  }

  DWORD size = 0;
  if (ReadRegDword(key.Get(), L"LogMaxSize", &size)) {
    config.maxSize = size;
    DWORD groupSize = 0;
    if (IsValidMaxSize(size) &&
        ReadRegDword(key.Get(), (L"LogMaxSize (" + group + L")").c_str(), &groupSize) &&
        IsValidMaxSize(groupSize))
      config.maxSize = groupSize;
  }
  return config;
}

// The file holds UTF-16LE; a character beyond the basic plane becomes a surrogate pair.
void AppendUtf16Le(const std::wstring& text, std::vector<BYTE>* bytes) {
  bytes->clear();
  bytes->reserve(text.size() * 2);
  auto put = [bytes](uint32_t unit) {
    bytes->push_back(static_cast<BYTE>(unit & 0xFF));
    bytes->push_back(static_cast<BYTE>(unit >> 8));
  };
  for (WCHAR wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c > 0xFFFF ? 0xFFFD : c);
    }
  }
}

}  // namespace

std::wstring DefaultLogFolder() {
  WCHAR windows[MAX_PATH] = {};
  UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return L"C:\\Windows\\system32\\wbem\\logs\\";
  return std::wstring(windows) + L"\\system32\\wbem\\logs\\";
}

std::wstring RemoveBackslashes(const std::wstring& text) {
  std::wstring out = text;
  size_t pos = out.find(L'\\');
  while (pos != std::wstring::npos) {
    out.erase(pos, 1);
    pos = out.find(L'\\', pos + 1);
  }
  return out;
}

std::wstring ToUpperName(const std::wstring& text) {
  std::wstring out = text;
  for (WCHAR& c : out)
    if (c >= L'a' && c <= L'z') c = static_cast<WCHAR>(c - L'a' + L'A');
  return out;
}

std::wstring CommonLogMutexName(const std::wstring& folder, const std::wstring& group) {
  return L"Global\\" + ToUpperName(RemoveBackslashes(folder + group));
}

std::wstring FormatMessageText(const WCHAR* format, va_list args) {
  std::vector<WCHAR> buffer(512);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int written = vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0) return std::wstring(buffer.data(), static_cast<size_t>(written));
    // vswprintf does not say how much it needs; grow until it fits, within reason.
    if (buffer.size() >= (1u << 20)) return std::wstring(format);
    buffer.resize(buffer.size() * 4);
  }
}

CCommonLog::~CCommonLog() {
  if (m_hFileMutex) CloseHandle(m_hFileMutex);
  if (m_hMutex) CloseHandle(m_hMutex);
}

void CCommonLog::LogInit(const WCHAR* group, const WCHAR* module) {
  m_Module = module;
  std::wstring upperGroup = ToUpperName(group);
  LogConfig config = ReadConfig(upperGroup, ToUpperName(module));

  if (!m_hMutex) m_hMutex = CreateMutexW(nullptr, FALSE, nullptr);
  if (m_hFileMutex) {
    CloseHandle(m_hFileMutex);
    m_hFileMutex = nullptr;
  }
  if (config.folder.empty()) return;

  std::wstring folder = config.folder;
  auto probe = [group](const std::wstring& dir) {
    CAutoHandle file(CreateFileW((dir + group + L".log").c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    return file.IsValid();
  };
  if (!probe(folder)) {
    folder = DefaultLogFolder();
    if (!probe(folder)) return;
  }

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kFileMutexSddl, SDDL_REVISION_1, &descriptor, nullptr))
    attributes.lpSecurityDescriptor = descriptor;
  m_hFileMutex = CreateMutexW(&attributes, FALSE, CommonLogMutexName(folder, group).c_str());
  if (descriptor) LocalFree(descriptor);
  if (!m_hFileMutex) return;

  m_Group = group;
  m_FileBase = folder + group;
  m_Level = config.level;
  m_MaxSize = config.maxSize;

  if (m_Level <= kSeverityVerbose) {
    const WCHAR* levelName = m_Level < 6 ? kSeverityNames[m_Level] : L"N/A";
    // The size is printed as the 32-bit signed value of "%ld" on a system whose long has 32 bits:
    // 2 GiB and above read as negative numbers.
    WCHAR text[512];
    swprintf(text, 512, L"A logging interface is initialized (Module=\"%ls\", Level=%ls, size=%ld)", m_Module.c_str(),
             levelName, static_cast<long>(static_cast<LONG>(m_MaxSize)));
    WriteLine((m_Module + L"!CCommonLog::LogInit").c_str(), kSeverityVerbose, text);
  }
}

void CCommonLog::Lock() { WaitForSingleObject(m_hMutex, INFINITE); }

void CCommonLog::Unlock() { ReleaseMutex(m_hMutex); }

void CCommonLog::SetFunctionName(const WCHAR* name) { m_Function = name; }

DWORD CCommonLog::LogVerbose(const WCHAR* format, ...) {
  if (m_Level > kSeverityVerbose) return 0;
  va_list args;
  va_start(args, format);
  DWORD result = Log(kSeverityVerbose, format, args);
  va_end(args);
  return result;
}

DWORD CCommonLog::LogInformation(const WCHAR* format, ...) {
  if (m_Level > kSeverityInformation) return 0;
  va_list args;
  va_start(args, format);
  DWORD result = Log(kSeverityInformation, format, args);
  va_end(args);
  return result;
}

DWORD CCommonLog::LogError(const WCHAR* format, ...) {
  if (m_Level > kSeverityError) return 0;
  va_list args;
  va_start(args, format);
  DWORD result = Log(kSeverityError, format, args);
  va_end(args);
  return result;
}

DWORD CCommonLog::LogAs(const WCHAR* function, DWORD severity, const WCHAR* format, ...) {
  CLockGuard<CCommonLog> lock(*this);
  SetFunctionName(function);
  if (m_Level > severity) return 0;
  va_list args;
  va_start(args, format);
  DWORD result = Log(severity, format, args);
  va_end(args);
  return result;
}

DWORD CCommonLog::Log(DWORD severity, const WCHAR* format, va_list args) {
  std::wstring message = FormatMessageText(format, args);
  std::wstring source = m_Module + L"!" + m_Function;
  return WriteLine(source.c_str(), severity, message.c_str());
}

HANDLE CCommonLog::OpenLogFile(DWORD flags) const {
  return CreateFileW((m_FileBase + L".log").c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, flags, nullptr);
}

namespace {

// The line into `line`: local date and time, the severity's name, then "source| message" (the
// message alone without a source) and CRLF; `text` is the buffer of the part after the name.
void FormatLogLine(const WCHAR* source, DWORD severity, const WCHAR* message, std::wstring& text, std::wstring& line) {
  text.clear();
  if (source && *source) {
    text = source;
    text += L"| ";
  }
  text += message;
  SYSTEMTIME now;
  GetLocalTime(&now);
  const WCHAR* name = severity < 6 ? kSeverityNames[severity] : L"N/A";
  std::vector<WCHAR> buffer(text.size() + 64 + wcslen(name));
  int length = swprintf(buffer.data(), buffer.size(), L"%02d/%02d/%d %02d:%02d:%02d.%03d [%ls] %ls\r\n", now.wMonth,
                        now.wDay, now.wYear, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, name,
                        text.c_str());
  line.assign(buffer.data(), length > 0 ? static_cast<size_t>(length) : 0);
}

}  // namespace

DWORD CCommonLog::WriteLine(const WCHAR* source, DWORD severity, const WCHAR* message) {
  CMutexHandleGuard hold(m_hFileMutex);  // shared with every process that writes the file
  HANDLE opened = OpenLogFile(FILE_ATTRIBUTE_NORMAL);
  if (opened == INVALID_HANDLE_VALUE) return GetLastError();
  CheckRotation(&opened);
  if (opened == INVALID_HANDLE_VALUE) {
    opened = OpenLogFile(FILE_ATTRIBUTE_NORMAL);
    if (opened == INVALID_HANDLE_VALUE) return GetLastError();
  }
  // Closed before the mutex is released.
  CAutoHandle file(opened);

  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file.Get(), zero, nullptr, FILE_END)) return GetLastError();
  FormatLogLine(source, severity, message, m_Text, m_Line);
  std::vector<BYTE> bytes;
  AppendUtf16Le(m_Line, &bytes);
  DWORD written = 0;
  if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD CCommonLog::CheckRotation(HANDLE* file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(*file, &size)) return GetLastError();
  if (static_cast<LONG>(size.QuadPart) < static_cast<LONG>(m_MaxSize)) return ERROR_SUCCESS;

  CloseHandle(*file);
  *file = INVALID_HANDLE_VALUE;
  std::wstring current = m_FileBase + L".log";
  std::wstring previous = m_FileBase + L".lo_";
  DeleteFileW(previous.c_str());
  if (!MoveFileW(current.c_str(), previous.c_str())) {
    // The message goes to standard error in the console's encoding; the old file grows on.
    std::wstring text = L"logging: Failed to replace old log file: " + current + L"\n";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> narrow(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), bytes, nullptr, nullptr);
    fputs(narrow.data(), stderr);
    return 3;
  }
  *file = OpenLogFile(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS);
  if (*file == INVALID_HANDLE_VALUE) return GetLastError();
  return ERROR_SUCCESS;
}

std::wstring FormatText(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatMessageText(format, args);
  va_end(args);
  return text;
}
