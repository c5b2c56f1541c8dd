// The process's handle table and the base of every kernel object that a handle can name.
#pragma once

#include <memory>

#include "windows.h"

namespace qz {

enum class ObjectType { Mutex, Semaphore, File, Device };

class KernelObject {
 public:
  explicit KernelObject(ObjectType type) : m_Type(type) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectType Type() const { return m_Type; }

  // Waits for the object to be signalled; objects that cannot be waited on fail the wait.
  virtual DWORD Wait(DWORD milliseconds);

 private:
  ObjectType m_Type;
};

// Handles are small multiples of 4, as on Windows: never NULL, never INVALID_HANDLE_VALUE.
HANDLE AllocHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null (with ERROR_INVALID_HANDLE set) for a handle that is not open.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

// The object behind a handle when it is of the given type, else null with ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle, ObjectType type) {
  std::shared_ptr<KernelObject> object = LookupHandle(handle);
  if (!object) return nullptr;
  if (object->Type() != type) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(object);
}

// Removes the handle; the object dies with its last reference.
bool FreeHandle(HANDLE handle);

}  // namespace qz
