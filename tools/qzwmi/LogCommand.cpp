// Reads the trace log through the platform's file functions, so that the Windows path maps into the
// system root as it does for the provider.
#include "LogCommand.h"

#include <windows.h>
#include <winreg.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Output.h"
#include "Setup.h"

namespace qzwmi {
namespace {

// The bytes of the file from `offset` on; false when it cannot be opened.
bool ReadFrom(const std::wstring& path, uint64_t offset, std::string* bytes, uint64_t* size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER length{};
  GetFileSizeEx(file, &length);
  *size = static_cast<uint64_t>(length.QuadPart);
  bytes->clear();
  if (*size > offset) {
    LARGE_INTEGER start{};
    start.QuadPart = static_cast<LONGLONG>(offset);
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes->append(buffer, read);
  }
  CloseHandle(file);
  return true;
}

}  // namespace

std::wstring TraceLogPath() {
  std::wstring folder;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tarnwell\\WBEM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    WCHAR value[MAX_PATH] = L"";
    DWORD size = sizeof value - sizeof(WCHAR), type = 0;
    if (RegQueryValueExW(key, L"LogFolder", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
        type == REG_SZ)
      folder = value;
    RegCloseKey(key);
  }
  if (folder.empty()) {
    WCHAR windows[MAX_PATH] = L"";
    GetWindowsDirectoryW(windows, MAX_PATH);
    folder = std::wstring(windows) + L"\\system32\\wbem\\logs";
  }
  if (folder.back() != L'\\') folder += L'\\';
  return folder + L"QZWBEMServer.log";
}

std::string Utf16LeToUtf8(const std::string& bytes, std::string* pending) {
  const std::string all = *pending + bytes;
  pending->clear();
  std::wstring text;
  size_t i = 0;
  for (; i + 1 < all.size(); i += 2) {
    uint32_t unit = static_cast<unsigned char>(all[i]) | static_cast<unsigned char>(all[i + 1]) << 8;
    if (unit >= 0xD800 && unit < 0xDC00) {
      if (i + 3 >= all.size()) break;  // its low half comes with the next bytes
      const uint32_t low = static_cast<unsigned char>(all[i + 2]) | static_cast<unsigned char>(all[i + 3]) << 8;
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        unit = 0xFFFD;
      }
    } else if (unit >= 0xDC00 && unit < 0xE000) {
      unit = 0xFFFD;
    }
    if (unit != 0xFEFF) text += static_cast<wchar_t>(unit);
  }
  pending->assign(all, i, std::string::npos);
  return Utf8(text);
}

int RunLog(bool follow, int fd) {
  const std::wstring path = TraceLogPath();
  std::string bytes, pending;
  uint64_t size = 0, offset = 0;
  // The rotated copy holds the older lines.
  if (ReadFrom(path.substr(0, path.size() - 1) + L"_", 0, &bytes, &size)) {
    std::string older;
    if (!WriteAll(fd, Utf16LeToUtf8(bytes, &older))) return WriteFailed();
  }
  if (!ReadFrom(path, 0, &bytes, &size) && !follow) {
    std::fprintf(stderr, "qzwmi: no trace log at %s (nothing has been logged yet)\n", Utf8(path).c_str());
    return 1;
  }
  for (;;) {
    if (!WriteAll(fd, Utf16LeToUtf8(bytes, &pending))) return WriteFailed();
    offset = size;
    if (!follow) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    uint64_t now = 0;
    if (!ReadFrom(path, offset, &bytes, &now)) {
      bytes.clear();
      continue;
    }
    // A shorter file is a new one after rotation: it is read from its start.
    if (now < offset) {
      pending.clear();
      ReadFrom(path, 0, &bytes, &now);
    }
    size = now;
  }
}

}  // namespace qzwmi
