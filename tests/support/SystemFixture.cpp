// Helpers for tests of the system, built on the platform's Windows API.
#include "tests/support/SystemFixture.h"

#include "qzplatform.h"

namespace qztest {

void SystemTest::TearDown() { QzSetFixedLocalTime(nullptr); }

void FixLocalTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  auto w = [](int value) { return static_cast<WORD>(value); };
  const SYSTEMTIME time = {w(year), w(month), 0, w(day), w(hour), w(minute), w(second), w(millisecond)};
  QzSetFixedLocalTime(&time);
}

namespace {
// A file by Windows path, shared for reading and writing with others.
HANDLE OpenPath(const std::wstring& path, DWORD access, DWORD disposition) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, 0, nullptr);
}
}  // namespace

void SetRegBinary(const WCHAR* key, const WCHAR* name, DWORD type, const std::vector<BYTE>& data) {
  HKEY handle = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
            ERROR_SUCCESS)
      << "creating a registry key";
  EXPECT_EQ(RegSetValueExW(handle, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
  RegCloseKey(handle);
}

void SetRegDword(const WCHAR* key, const WCHAR* name, DWORD value) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
  SetRegBinary(key, name, REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof value));
}

void SetRegString(const WCHAR* key, const WCHAR* name, const std::wstring& value) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(value.c_str());
  SetRegBinary(key, name, REG_SZ, std::vector<BYTE>(bytes, bytes + (value.size() + 1) * sizeof(WCHAR)));
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = OpenPath(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

std::wstring ReadUtf16File(const std::wstring& path) {
  std::string bytes = ReadFileBytes(path);
  std::wstring text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text += static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  return text;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

long long FileSize(const std::wstring& path) {
  HANDLE file = OpenPath(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  CloseHandle(file);
  return size.QuadPart;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = OpenPath(path, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  CloseHandle(file);
}

std::string Utf16Le(const std::wstring& text) {
  std::string bytes;
  for (WCHAR c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>((c >> 8) & 0xFF)};
  return bytes;
}

}  // namespace qztest
