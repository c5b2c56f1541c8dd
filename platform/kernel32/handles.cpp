// The process's handle table: CloseHandle, WaitForSingleObject's dispatch and the last error.
#include "kernel32/handles.h"

#include <mutex>
#include <shared_mutex>
#include <vector>

namespace qz {
namespace {

struct HandleTable {
  std::shared_mutex lock;
  std::vector<std::shared_ptr<KernelObject>> slots;  // slot i is handle (i + 1) * 4
  std::vector<size_t> free;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: handles may be closed at exit
  return *table;
}

size_t SlotOf(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || value % 4 != 0) return SIZE_MAX;
  return value / 4 - 1;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE AllocHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::unique_lock guard(table.lock);
  size_t slot;
  if (!table.free.empty()) {
    slot = table.free.back();
    table.free.pop_back();
    table.slots[slot] = std::move(object);
  } else {
    slot = table.slots.size();
    table.slots.push_back(std::move(object));
  }
  return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  size_t slot = SlotOf(handle);
  {
    std::shared_lock guard(table.lock);
    if (slot < table.slots.size() && table.slots[slot]) return table.slots[slot];
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool FreeHandle(HANDLE handle) {
  HandleTable& table = Table();
  size_t slot = SlotOf(handle);
  std::shared_ptr<KernelObject> dying;
  {
    std::unique_lock guard(table.lock);
    if (slot >= table.slots.size() || !table.slots[slot]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    dying = std::move(table.slots[slot]);
    table.free.push_back(slot);
  }
  return true;  // the object is destroyed here, outside the table's lock
}

}  // namespace qz

namespace {
thread_local DWORD t_LastError = 0;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_LastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_LastError = dwErrCode; }

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) { return qz::FreeHandle(hObject) ? TRUE : FALSE; }

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::shared_ptr<qz::KernelObject> object = qz::LookupHandle(hHandle);
  if (!object) return WAIT_FAILED;
  return object->Wait(dwMilliseconds);
}
