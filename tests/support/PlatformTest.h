// Small helpers shared by the platform's own tests: a check of a call's result and last error, a
// poisoned VARIANT that shows whether a call wrote to it, the strings of a BSTR array, a COM
// object that only counts its references, and whether a Linux path exists.
#pragma once

#include <errhandlingapi.h>
#include <oleauto.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
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
