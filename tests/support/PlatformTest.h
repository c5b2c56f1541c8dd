// Small helpers shared by the platform's own tests: a check of a call's result and last error, a
// poisoned VARIANT that shows whether a call wrote to it, the strings of a BSTR array, a COM
// object that only counts its references, DWORD values of the registry, and Linux files.
#pragma once

#include <errhandlingapi.h>
#include <oleauto.h>
#include <sys/stat.h>
#include <winreg.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Expects `call` to give `result` and to leave `error` as the thread's last error, cleared before.
#define QZ_EXPECT_LAST_ERROR(call, result, error)                 \
  do {                                                            \
    SetLastError(0);                                              \
    EXPECT_EQ((call), (result)) << #call;                         \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << #call; \
  } while (0)

namespace qztest {

inline bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The bytes of a file; none when it cannot be read.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The DWORD value `name` of the key `path` below `key` (null: `key` itself), or the error as a
// negative number.
inline long long RegDword(HKEY key, const wchar_t* path, const wchar_t* name) {
  HKEY opened = nullptr;
  LONG status = RegOpenKeyExW(key, path, 0, KEY_READ, &opened);
  DWORD value = 0, size = sizeof value;
  if (status == ERROR_SUCCESS) {
    status = RegQueryValueExW(opened, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(opened);
  }
  return status == ERROR_SUCCESS ? static_cast<long long>(value) : -static_cast<long long>(status);
}

// Creates the key `path` below `key` (null: `key` itself) with `options` and sets its DWORD value
// `name`; the first error, else ERROR_SUCCESS.
inline LONG RegSetDword(HKEY key, const wchar_t* path, const wchar_t* name, DWORD value, DWORD options = 0) {
  HKEY created = nullptr;
  LONG status = RegCreateKeyExW(key, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(created, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(created);
  return status;
}

// A VARIANT filled with 0xCC, so that vt reads 0xCCCC until something writes it.
inline VARIANT Poisoned() {
  VARIANT v;
  std::memset(&v, 0xCC, sizeof v);
  return v;
}

// The elements of a one-dimensional BSTR array, in order; a null BSTR reads as "".
inline std::vector<std::wstring> BstrArray(SAFEARRAY* array) {
  std::vector<std::wstring> out;
  LONG lower = 0, upper = -1;
  if (!array || FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)))
    return out;
  for (LONG i = lower; i <= upper; ++i) {
    BSTR text = nullptr;
    SafeArrayGetElement(array, &i, &text);
    out.emplace_back(text ? text : L"");
    SysFreeString(text);
  }
  return out;
}

// An object that only counts its references, from `initial`, and answers to IUnknown and I only.
template <typename I = IUnknown>
class Counted : public I {
 public:
  explicit Counted(ULONG initial = 1) : refs(initial) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown && riid != __uuidof(I)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<I*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

}  // namespace qztest
