// Local memory: the heap blocks that functions such as the SDDL parser hand to their callers.
#include <stdlib.h>

#include "windows.h"

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (uFlags & ~static_cast<UINT>(LMEM_FIXED | LMEM_ZEROINIT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A zero-byte request still gets a block of its own, as on Windows.
  size_t bytes = uBytes ? uBytes : 1;
  void* block = (uFlags & LMEM_ZEROINIT) ? calloc(1, bytes) : malloc(bytes);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  free(hMem);
  return nullptr;
}
