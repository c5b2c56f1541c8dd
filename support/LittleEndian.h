// Little-endian fields of SMBIOS structures and driver answers, read byte by byte so that neither
// alignment nor the host's byte order matters.
#pragma once

#include <windows.h>

#include <cstddef>

inline WORD ReadWord(const BYTE* bytes, size_t offset = 0) {
  return static_cast<WORD>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline DWORD ReadDword(const BYTE* bytes, size_t offset = 0) {
  return static_cast<DWORD>(ReadWord(bytes, offset)) | (static_cast<DWORD>(ReadWord(bytes, offset + 2)) << 16);
}
