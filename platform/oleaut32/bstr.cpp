// BSTR: length-prefixed, null-terminated wide strings allocated by the system.
#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// The block in front of the characters: padding that keeps the characters 8-byte aligned, then
// the byte length, which sits right before the first character as on Windows.
struct BstrHeader {
  DWORD reserved;
  DWORD byteLength;
};
static_assert(sizeof(BstrHeader) == 8);

BstrHeader* HeaderOf(BSTR bstr) { return reinterpret_cast<BstrHeader*>(reinterpret_cast<char*>(bstr) - sizeof(BstrHeader)); }

// Allocates a string of byteLength bytes plus a terminating null character (and, for an odd
// byte length, the zero bytes that round it up to whole characters).
BSTR AllocBytes(const void* source, UINT byteLength) {
  // Windows refuses lengths whose allocation would overflow 32 bits; so do we.
  const unsigned long long total = 0ULL + sizeof(BstrHeader) + byteLength + 2 * sizeof(OLECHAR);
  if (total > 0xFFFFFFF0ULL) return nullptr;
  auto* block = static_cast<char*>(std::malloc(static_cast<size_t>(total)));
  if (!block) return nullptr;
  auto* header = reinterpret_cast<BstrHeader*>(block);
  header->reserved = 0;
  header->byteLength = byteLength;
  char* chars = block + sizeof(BstrHeader);
  if (source) std::memcpy(chars, source, byteLength);
  // Zero from the end of the bytes to the end of the character after them: the terminator.
  const size_t tail = static_cast<size_t>(total) - sizeof(BstrHeader) - byteLength;
  std::memset(chars + byteLength, 0, tail);
  return reinterpret_cast<BSTR>(chars);
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  const size_t length = std::wcslen(psz);
  if (length > 0xFFFFFFFFULL / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  const unsigned long long bytes = 1ULL * ui * sizeof(OLECHAR);
  if (bytes > 0xFFFFFFFFULL) return nullptr;
  return AllocBytes(strIn, static_cast<UINT>(bytes));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocBytes(psz, len); }

void SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  std::free(HeaderOf(bstrString));
}

UINT SysStringLen(BSTR pbstr) { return pbstr ? HeaderOf(pbstr)->byteLength / sizeof(OLECHAR) : 0; }

UINT SysStringByteLen(BSTR bstr) { return bstr ? HeaderOf(bstr)->byteLength : 0; }

}  // extern "C"
