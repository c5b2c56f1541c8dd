// Local memory: the heap blocks that functions such as the SDDL parser hand to their callers; and
// the process heap made present up front.
#include <malloc.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "windows.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

// A command's heap grows to most of a megabyte, and every page it first touches costs a page fault
// of its own, which is dear on a virtual machine. The heap is instead grown by a megabyte at a time
// (and kept so when blocks are freed), and the first megabyte is made present with one call. Only
// the C library's heap, grown by brk, is prepared: under another allocator (a sanitizer's) the probe
// does not move the break, and nothing is done. Kernels without the call leave the pages to their
// faults.
constexpr size_t kHeapStep = 1 << 20;

void PrepareHeap() {
  if (mallopt(M_TOP_PAD, kHeapStep) != 1) return;
  char* const before = static_cast<char*>(sbrk(0));
  // Blocks too small to be mapped on their own, until one takes the heap past its break.
  void* blocks[4] = {};
  char* after = before;
  for (void*& block : blocks) {
    block = malloc(64 << 10);
    after = static_cast<char*>(sbrk(0));
    if (!block || after != before) break;
  }
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(blocks[0]) + page - 1) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(after);
  if (after != before && blocks[0] && start < end && end - start <= 4 * kHeapStep)
    madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
  for (void* block : blocks) free(block);
}

const bool g_HeapPrepared = (PrepareHeap(), true);

}  // namespace

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
