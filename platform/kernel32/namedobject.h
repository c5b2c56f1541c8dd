// The store of named kernel objects: one small shared file per object in the runtime area,
// mapped once per process, with the Windows lifetime of an object that lives while a process
// holds a handle to it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "advapi32/security.h"
#include "kernel32/handles.h"

namespace qz {

// Bytes of shared state that an object's kind may keep in its file.
constexpr size_t kNamedPayloadSize = 256;

struct ObjectFile;

// One process's mapping of a named object. All handles of the process to that name share it;
// the last one to go deregisters the process, and the object ends with its last holder.
class NamedObject {
 public:
  ~NamedObject();
  NamedObject(const NamedObject&) = delete;
  NamedObject& operator=(const NamedObject&) = delete;

  // The shared state of the object's kind; 64-byte aligned, zeroed before its initialisation.
  void* Payload() const;
  ObjectType Type() const { return m_Type; }

 private:
  friend struct NamedObjectStore;
  NamedObject() = default;

  std::string m_Key;   // namespace and name, the key of the process's table
  std::string m_Path;  // the object's file
  ObjectFile* m_File = nullptr;
  dev_t m_Device = 0;
  ino_t m_Inode = 0;
  ObjectType m_Type = ObjectType::Mutex;
  ACCESS_MASK m_Granted = 0;  // what this process may do with the object
  bool (*m_MayUnmap)(void* payload) = nullptr;
};

// What opening or creating a named object needs from its kind.
struct NamedObjectRequest {
  ObjectType type;
  const GenericMapping* mapping;
  ACCESS_MASK desiredAccess;  // may hold generic rights and MAXIMUM_ALLOWED
  bool create;                // create the object when there is none (else ERROR_FILE_NOT_FOUND)
  const void* securityDescriptor;  // for a new object; null gives the default (creator only)
  // Sets up the payload of a new object; runs before any other process can see it.
  void (*initialise)(void* payload, const void* context);
  const void* context;
  // Whether the payload's memory may be unmapped when the process lets go of it (a robust mutex
  // that a thread of this process still owns must stay mapped until that thread ends).
  bool (*mayUnmap)(void* payload);
};

// The result of a successful open.
struct NamedObjectHandle {
  std::shared_ptr<NamedObject> object;
  ACCESS_MASK access = 0;  // the rights of the new handle
  bool created = false;    // a new object was made (else it existed: ERROR_ALREADY_EXISTS)
};

// Opens the object called name ("Global\" and "Local\" prefixes name the namespaces; no prefix is
// Local), or creates it when request.create allows. A name whose holders have all died counts as no
// object. Fails with the Win32 error set: ERROR_INVALID_HANDLE for another kind of object of that
// name, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE.
bool OpenNamedObject(const WCHAR* name, const NamedObjectRequest& request, NamedObjectHandle* out);

// The file name under which a namespace-qualified name is stored (exposed for tests).
std::string EncodeObjectFileName(const std::wstring& name);

// The folder of the object files.
std::string NamedObjectDir();

}  // namespace qz
