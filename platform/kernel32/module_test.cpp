// Module file names, by handle and with the truncation rule.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <tuple>

#include "kernel32/text.h"
#include "qzplatform.h"
#include "windows.h"
#include "tests/support/PlatformTest.h"

namespace {

std::wstring ProgramPath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return qz::FromUtf8(std::string(path, length > 0 ? static_cast<size_t>(length) : 0));
}

TEST(ModuleFileName, FullPathWithTheTruncationRule) {
  std::wstring path = ProgramPath();
  ASSERT_GT(path.size(), 1u);
  const DWORD length = static_cast<DWORD>(path.size());
  struct Case { DWORD size; DWORD result; DWORD error; std::wstring text; };
  const Case cases[] = {
      {length + 5, length, 0xDEAD, path},
      {length + 1, length, 0xDEAD, path},
      {length, length, ERROR_INSUFFICIENT_BUFFER, path.substr(0, length - 1)},
      {2, 2, ERROR_INSUFFICIENT_BUFFER, path.substr(0, 1)},
      {1, 1, ERROR_INSUFFICIENT_BUFFER, L""},
      {0, 0, ERROR_INSUFFICIENT_BUFFER, std::wstring(length + 8, L'?')},
  };
  for (const Case& c : cases) {
    std::wstring buffer(length + 8, L'?');
    SCOPED_TRACE(c.size);
    SetLastError(0xDEAD);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), c.size), c.result);
    EXPECT_EQ(std::tuple(GetLastError(), std::wstring(buffer.c_str())), std::tuple(c.error, c.text));
  }
}

TEST(ModuleFileName, ModulesByHandleAndHandlesThatAreNoModule) {
  WCHAR buffer[MAX_PATH * 4];
  HMODULE platform = GetModuleHandleW(L"qzplatform.dll");
  DWORD length = GetModuleFileNameW(platform, buffer, MAX_PATH * 4);
  ASSERT_GT(length, 0u);
  std::wstring path(buffer, length);
  EXPECT_EQ(path.front(), L'/');
  EXPECT_TRUE(path.ends_with(L"/libqzplatform.so")) << qz::ToUtf8(path);
  EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, MAX_PATH * 4), ProgramPath().size());
  QZ_EXPECT_LAST_ERROR(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, MAX_PATH),
                       0u, ERROR_MOD_NOT_FOUND);
}

TEST(ModuleHandleEx, ByAddressOrNameAndOnlyWithoutTakingAReference) {
  const DWORD byAddress = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  HMODULE platform = GetModuleHandleW(L"qzplatform.dll");
  struct { DWORD flags; LPCWSTR name; HMODULE module; DWORD error; } cases[] = {
      {byAddress, reinterpret_cast<LPCWSTR>(&GetModuleHandleExW), platform, 0},
      {byAddress, reinterpret_cast<LPCWSTR>(&ProgramPath), GetModuleHandleW(nullptr), 0},
      {GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"qzplatform.dll", platform, 0},
      {byAddress, reinterpret_cast<LPCWSTR>(0x1000), nullptr, ERROR_MOD_NOT_FOUND},
      {GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&GetModuleHandleExW), nullptr,
       ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    HMODULE module = reinterpret_cast<HMODULE>(0x1);
    SetLastError(0xDEAD);
    EXPECT_EQ(GetModuleHandleExW(c.flags, c.name, &module), c.module ? TRUE : FALSE) << c.flags;
    EXPECT_EQ(std::tuple(module, GetLastError()), std::tuple(c.module, c.module ? 0xDEADu : c.error)) << c.flags;
  }
}

}  // namespace
