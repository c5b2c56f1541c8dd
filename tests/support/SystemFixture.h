// Helpers for tests of the system: registry values, files read through the Windows API, UTF-16
// bytes, and a fixed clock.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace qztest {

// A test with the platform's fresh root (the test main gives every process its own) and the
// real clock restored afterwards.
class SystemTest : public testing::Test {
 protected:
  void TearDown() override;
};

void FixLocalTime(int year, int month, int day, int hour, int minute, int second, int millisecond);

// HKLM values, creating the key as needed.
void SetRegDword(const WCHAR* key, const WCHAR* name, DWORD value);
void SetRegString(const WCHAR* key, const WCHAR* name, const std::wstring& value);
void SetRegBinary(const WCHAR* key, const WCHAR* name, DWORD type, const std::vector<BYTE>& data);

// Files by Windows path.
std::string ReadFileBytes(const std::wstring& path);
std::wstring ReadUtf16File(const std::wstring& path);
bool FileExists(const std::wstring& path);
long long FileSize(const std::wstring& path);  // -1 when it cannot be opened
void WriteFileBytes(const std::wstring& path, const std::string& bytes);

// The UTF-16LE bytes of a text.
std::string Utf16Le(const std::wstring& text);

}  // namespace qztest
