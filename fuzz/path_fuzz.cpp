// Fuzzes the object-path parser: any text is parsed or refused without a fault, every getter
// answers within its buffers, and a path that parses writes itself back as text that parses to
// the same path.
#include <oleauto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wbem/path.h"

namespace {

constexpr ULONG kModes[] = {
    WBEMPATH_CREATE_ACCEPT_ALL,
    WBEMPATH_CREATE_ACCEPT_RELATIVE,
    WBEMPATH_CREATE_ACCEPT_ABSOLUTE,
    WBEMPATH_CREATE_ACCEPT_ALL | WBEMPATH_TREAT_SINGLE_IDENT_AS_NS,
    0,
    WBEMPATH_CREATE_ACCEPT_RELATIVE | WBEMPATH_CREATE_ACCEPT_ABSOLUTE,
    WBEMPATH_TREAT_SINGLE_IDENT_AS_NS,
    0x100,
};
constexpr LONG kTextFlags[] = {0,
                               WBEMPATH_COMPRESSED,
                               WBEMPATH_GET_RELATIVE_ONLY,
                               WBEMPATH_GET_SERVER_TOO,
                               WBEMPATH_GET_SERVER_AND_NAMESPACE_ONLY,
                               WBEMPATH_GET_NAMESPACE_ONLY,
                               WBEMPATH_GET_ORIGINAL,
                               0x7F};

void Check(bool condition) {
  if (!condition) abort();
}

// The first byte picks how the rest becomes wide characters: one byte each (where the grammar is
// found fastest), UTF-16 units, or whole 32-bit values, surrogates and negative values included.
std::wstring WideText(const uint8_t* data, size_t size, int shape) {
  std::wstring text;
  if (shape < 2) {
    for (size_t i = 0; i < size; ++i) text.push_back(static_cast<WCHAR>(data[i]));
  } else if (shape == 2) {
    for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<WCHAR>(data[i] | (data[i + 1] << 8)));
  } else {
    for (size_t i = 0; i + 3 < size; i += 4) {
      int32_t unit;
      std::memcpy(&unit, data + i, sizeof(unit));
      text.push_back(static_cast<WCHAR>(unit));
    }
  }
  return text;
}

// Reads text through the buffer-size protocol, with a buffer one short first.
template <typename Get>
std::wstring Fetch(Get get) {
  ULONG size = 0;
  if (FAILED(get(&size, nullptr))) return L"";
  Check(size >= 1);
  std::wstring buffer(size + 1, L'#');
  ULONG small = size - 1;
  if (small > 0) Check(get(&small, buffer.data()) == WBEM_E_BUFFER_TOO_SMALL && small == size);
  ULONG exact = size;
  Check(get(&exact, buffer.data()) == S_OK && exact == size);
  Check(buffer[size - 1] == L'\0' && buffer[size] == L'#');
  buffer.resize(size - 1);
  return buffer;
}

void ExerciseKeys(IWbemPath* path) {
  IWbemPathKeyList* keys = nullptr;
  if (FAILED(path->GetKeyList(&keys))) return;
  ULONG count = 0;
  Check(keys->GetCount(&count) == S_OK);
  for (ULONG i = 0; i <= count; ++i) {
    for (ULONG flags : {0u, ULONG{WBEMPATH_TEXT}, ULONG{WBEMPATH_QUOTEDTEXT}}) {
      WCHAR name[8];
      ULONG nameSize = sizeof(name) / sizeof(name[0]);
      VARIANT value;
      VariantInit(&value);
      ULONG cimType = 0;
      HRESULT hr = keys->GetKey2(i, flags, &nameSize, name, &value, &cimType);
      Check(i < count || hr == WBEM_E_INVALID_PARAMETER);
      VariantClear(&value);
      BYTE raw[16];
      ULONG rawSize = sizeof(raw);
      nameSize = sizeof(name) / sizeof(name[0]);
      keys->GetKey(i, flags, &nameSize, name, &rawSize, raw, &cimType);
    }
  }
  ULONGLONG info = 0;
  Check(keys->GetInfo(0, &info) == S_OK);
  Fetch([&](ULONG* s, LPWSTR b) { return keys->GetText(0, s, b); });
  keys->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  std::wstring text = WideText(data + 1, size - 1, control & 3);
  const ULONG mode = kModes[(control >> 2) & 7];

  // The parser on counted text, embedded nulls included.
  qz::ObjectPath direct;
  qz::ParseObjectPath(text, mode, &direct);

  IWbemPath* path = nullptr;
  Check(qz::CreateWbemPath(IID_IWbemPath, reinterpret_cast<void**>(&path)) == S_OK);
  if (FAILED(path->SetText(mode, text.c_str()))) {
    path->Release();
    return 0;
  }
  ULONGLONG info = 0;
  Check(path->GetInfo(0, &info) == S_OK);
  for (LONG flags : kTextFlags) Fetch([&](ULONG* s, LPWSTR b) { return path->GetText(flags, s, b); });
  Fetch([&](ULONG* s, LPWSTR b) { return path->GetClassName(s, b); });
  Fetch([&](ULONG* s, LPWSTR b) { return path->GetServer(s, b); });
  ULONG namespaces = 0;
  Check(path->GetNamespaceCount(&namespaces) == S_OK);
  WCHAR name[4];
  ULONG nameSize = 4;
  path->GetNamespaceAt(namespaces, &nameSize, name);
  ExerciseKeys(path);

  // Written back, the path reads as the same path.
  std::wstring full = Fetch([&](ULONG* s, LPWSTR b) { return path->GetText(WBEMPATH_GET_SERVER_TOO, s, b); });
  IWbemPath* again = nullptr;
  Check(qz::CreateWbemPath(IID_IWbemPath, reinterpret_cast<void**>(&again)) == S_OK);
  Check(again->SetText(mode, full.c_str()) == S_OK);
  std::wstring fullAgain = Fetch([&](ULONG* s, LPWSTR b) { return again->GetText(WBEMPATH_GET_SERVER_TOO, s, b); });
  Check(fullAgain == full);
  ULONGLONG infoAgain = 0;
  Check(again->GetInfo(0, &infoAgain) == S_OK && infoAgain == info);
  again->Release();
  path->Release();
  return 0;
}
