// The store of named kernel objects: files in the runtime area that record their kind, their
// access rules and the processes that hold them, with the kind's state behind that header.
#include "kernel32/namedobject.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <new>

#include "kernel32/sysroot.h"
#include "kernel32/text.h"

namespace qz {

struct Holder {
  int32_t pid;
  uint32_t mappings;   // how many times that process has mapped the object (normally 1)
  uint64_t startTime;  // the process's start, in clock ticks after boot: tells a reused pid apart
};

constexpr uint32_t kObjectMagic = 0x424F5A51;  // "QZOB"
constexpr int kMaxHolders = 128;
constexpr size_t kMaxNameBytes = 8 + MAX_PATH * 4;

// The layout of an object's file. Everything before the payload is read and written only under
// the store lock; the payload belongs to the object's kind.
struct ObjectFile {
  uint32_t magic;
  uint32_t ready;  // set last by the creator: a file without it was left by a crashed creator
  uint32_t type;
  uint32_t ownerUid;
  ACCESS_MASK granted[kCallerKinds];
  uint32_t nameBytes;
  char name[kMaxNameBytes];
  Holder holders[kMaxHolders];
  alignas(64) unsigned char payload[kNamedPayloadSize];
};

constexpr size_t kObjectFileSize = 4096;
static_assert(sizeof(ObjectFile) <= kObjectFileSize);

namespace {

constexpr size_t kMaxEncodedName = 200;
constexpr size_t kHashedPrefix = 120;

// ---- Names -------------------------------------------------------------------------------------

struct ParsedName {
  char space;        // 'G' Global, 'L' Local
  std::string name;  // UTF-8, after the namespace prefix
};

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  return UpperAscii(text.substr(0, prefix.size())) == UpperAscii(prefix);
}

// The namespace prefixes are looked up without regard to case, as Windows does for the folders of
// its object namespace; the name after them is case-sensitive.
DWORD ParseName(std::wstring_view name, ParsedName* out) {
  if (name.size() > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  out->space = 'L';
  if (StartsWithNoCase(name, L"Global\\")) {
    out->space = 'G';
    name.remove_prefix(7);
  } else if (StartsWithNoCase(name, L"Local\\")) {
    name.remove_prefix(6);
  }
  if (name.empty()) return ERROR_INVALID_NAME;
  out->name = ToUtf8(name);
  return ERROR_SUCCESS;
}

// Letters, digits, '_', '-' and '.' stand for themselves; every other byte becomes %XX, so that
// backslashes, slashes and case all survive in a file name. Long names keep a readable start and
// a hash of the whole; the name in the file's header tells a hash collision apart.
std::string EncodeParsed(const ParsedName& parsed) {
  std::string out;
  for (unsigned char c : parsed.name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
        c == '.') {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  if (out.size() > kMaxEncodedName) {
    char hash[20];
    snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Fnv1a(parsed.name)));
    out = out.substr(0, kHashedPrefix) + hash;
  }
  return std::string(1, parsed.space) + "-" + out;
}

std::string KeyOf(const ParsedName& parsed) { return std::string(1, parsed.space) + ":" + parsed.name; }

// ---- Processes ---------------------------------------------------------------------------------

// The start time of a live process, or 0 when it has ended (a zombie has ended too).
uint64_t StartTimeOf(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[1024];
  ssize_t n = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (n <= 0) return 0;
  buffer[n] = 0;
  // The command name may hold blanks and parentheses: the fields resume after the last ')'.
  char* p = strrchr(buffer, ')');
  if (!p) return 0;
  char state = 0;
  unsigned long long start = 0;
  // Fields 3 (state) to 22 (start time).
  if (sscanf(p + 1, " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu", &state,
             &start) != 2)
    return 0;
  if (state == 'Z' || state == 'X' || state == 'x') return 0;
  return start ? start : 1;
}

uint64_t OwnStartTime() {
  static const uint64_t start = StartTimeOf(getpid());
  return start;
}

// ---- The store lock ----------------------------------------------------------------------------

// Serialises the creation, opening and closing of named objects across the processes of one root
// (an advisory lock on a file in the object folder) and across the threads of this process.
class StoreLock {
 public:
  StoreLock() : m_Guard(Mutex()) {
    int& fd = LockFd();
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_nlink == 0)) {  // the folder was removed meanwhile
      close(fd);
      fd = -1;
    }
    if (fd < 0) {
      MakeDirs(NamedObjectDir(), 0711);
      std::string path = NamedObjectDir() + "/.lock";
      fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
      m_Error = errno;
      return;
    }
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        m_Error = errno;
        return;
      }
    }
    m_Locked = true;
  }

  ~StoreLock() {
    if (m_Locked) flock(LockFd(), LOCK_UN);
  }

  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  bool Locked() const { return m_Locked; }
  int Error() const { return m_Error; }

 private:
  static std::mutex& Mutex() {
    static std::mutex* mutex = new std::mutex;  // never destroyed: objects may close at exit
    return *mutex;
  }
  static int& LockFd() {
    static int fd = -1;
    return fd;
  }

  std::lock_guard<std::mutex> m_Guard;
  bool m_Locked = false;
  int m_Error = 0;
};

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
    case ENOSPC:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// ---- Holders -----------------------------------------------------------------------------------

// Forgets the holders that have ended; true when some process still holds the object.
bool PruneHolders(ObjectFile* file) {
  const pid_t self = getpid();
  bool live = false;
  for (Holder& holder : file->holders) {
    if (holder.pid == 0) continue;
    if (holder.pid == self ? holder.startTime == OwnStartTime() : StartTimeOf(holder.pid) == holder.startTime) {
      live = true;
      continue;
    }
    holder = Holder{};
  }
  return live;
}

bool AddHolder(ObjectFile* file) {
  const pid_t self = getpid();
  Holder* empty = nullptr;
  for (int pass = 0; pass < 2; ++pass) {
    for (Holder& holder : file->holders) {
      if (holder.pid == self && holder.startTime == OwnStartTime()) {
        ++holder.mappings;
        return true;
      }
      if (holder.pid == 0 && !empty) empty = &holder;
    }
    if (empty) {
      *empty = Holder{self, 1, OwnStartTime()};
      return true;
    }
    PruneHolders(file);
  }
  return false;
}

// Drops one mapping of this process; true when the object has no holder left.
bool RemoveHolder(ObjectFile* file) {
  const pid_t self = getpid();
  for (Holder& holder : file->holders) {
    if (holder.pid == self && holder.startTime == OwnStartTime()) {
      if (--holder.mappings == 0) holder = Holder{};
      break;
    }
  }
  return !PruneHolders(file);
}

// ---- The process's table of mapped objects -----------------------------------------------------

struct ProcessTable {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<NamedObject>> objects;
};

ProcessTable& Table() {
  static ProcessTable* table = new ProcessTable;  // never destroyed: objects may close at exit
  return *table;
}

ObjectFile* MapFile(int fd) {
  void* map = mmap(nullptr, kObjectFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return map == MAP_FAILED ? nullptr : static_cast<ObjectFile*>(map);
}

// The rights that the caller gets: its request, checked against what the object grants it.
bool CheckAccess(ACCESS_MASK granted, const NamedObjectRequest& request, ACCESS_MASK* access) {
  ACCESS_MASK desired = MapGenericMask(request.desiredAccess, *request.mapping);
  if (desired & kMaximumAllowed) {
    if (granted == 0) return false;
    *access = granted;
    return true;
  }
  if (desired & ~granted) return false;
  *access = desired;
  return true;
}

}  // namespace

std::string NamedObjectDir() { return RuntimeDir() + "/objects"; }

std::string EncodeObjectFileName(const std::wstring& name) {
  ParsedName parsed;
  if (ParseName(name, &parsed) != ERROR_SUCCESS) return {};
  return EncodeParsed(parsed);
}

void* NamedObject::Payload() const { return m_File->payload; }

struct NamedObjectStore {
  // Maps an existing file. Sets *stale when the file does not hold a live object.
  static DWORD OpenExisting(int fd, const ParsedName& parsed, const NamedObjectRequest& request, NamedObject* object,
                            bool* stale) {
    struct stat st;
    if (fstat(fd, &st) != 0) return ErrorFromErrno(errno);
    if (static_cast<size_t>(st.st_size) < kObjectFileSize) {
      *stale = true;
      return ERROR_SUCCESS;
    }
    ObjectFile* file = MapFile(fd);
    if (!file) return ErrorFromErrno(errno);
    if (file->magic != kObjectMagic || !file->ready || !PruneHolders(file)) {
      munmap(file, kObjectFileSize);
      *stale = true;
      return ERROR_SUCCESS;
    }
    DWORD error = ERROR_SUCCESS;
    // The creator's uid keeps every right, whatever the descriptor says; others get what it grants.
    ACCESS_MASK granted = file->ownerUid == geteuid() ? request.mapping->all : file->granted[CurrentCallerKind()];
    ACCESS_MASK access = 0;
    if (file->type != static_cast<uint32_t>(request.type) || file->nameBytes != parsed.name.size() ||
        memcmp(file->name, parsed.name.data(), parsed.name.size()) != 0) {
      error = ERROR_INVALID_HANDLE;
    } else if (!CheckAccess(granted, request, &access)) {
      error = ERROR_ACCESS_DENIED;
    } else if (!AddHolder(file)) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error != ERROR_SUCCESS) {
      munmap(file, kObjectFileSize);
      return error;
    }
    object->m_File = file;
    object->m_Device = st.st_dev;
    object->m_Inode = st.st_ino;
    object->m_Granted = granted;
    return ERROR_SUCCESS;
  }

  static DWORD CreateNew(const std::string& path, const ParsedName& parsed, const NamedObjectRequest& request,
                         NamedObject* object) {
    ACCESS_MASK grants[kCallerKinds];
    if (!GrantedAccessByKind(request.securityDescriptor, *request.mapping, grants)) return ERROR_INVALID_SECURITY_DESCR;
    // Other users reach the file only when the descriptor lets them in; root always can.
    mode_t mode = (grants[kCallerUser] | grants[kCallerGuest]) ? 0666 : 0600;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return ErrorFromErrno(errno);
    fchmod(fd, mode);
    struct stat st;
    ObjectFile* file = nullptr;
    if (ftruncate(fd, kObjectFileSize) != 0 || fstat(fd, &st) != 0 || !(file = MapFile(fd))) {
      DWORD error = ErrorFromErrno(errno);
      close(fd);
      unlink(path.c_str());
      return error;
    }
    close(fd);
    file->magic = kObjectMagic;
    file->type = static_cast<uint32_t>(request.type);
    file->ownerUid = geteuid();
    for (int kind = 0; kind < kCallerKinds; ++kind) file->granted[kind] = grants[kind];
    file->nameBytes = static_cast<uint32_t>(parsed.name.size());
    memcpy(file->name, parsed.name.data(), parsed.name.size());
    file->holders[0] = Holder{getpid(), 1, OwnStartTime()};
    request.initialise(file->payload, request.context);
    file->ready = 1;
    object->m_File = file;
    object->m_Device = st.st_dev;
    object->m_Inode = st.st_ino;
    object->m_Granted = request.mapping->all;
    return ERROR_SUCCESS;
  }

  // The process holds the object already: it is alive, and the process's rights are known. On
  // success the reference moves to the handle; on failure the caller keeps it, to release it after
  // the table's lock.
  static DWORD ShareMapped(std::shared_ptr<NamedObject>& existing, const NamedObjectRequest& request,
                           NamedObjectHandle* out) {
    if (existing->m_Type != request.type) return ERROR_INVALID_HANDLE;
    ACCESS_MASK access = 0;
    if (!CheckAccess(existing->m_Granted, request, &access)) return ERROR_ACCESS_DENIED;
    out->object = std::move(existing);
    out->access = access;
    out->created = false;
    return ERROR_SUCCESS;
  }

  // Under the store lock: maps the object's file when it holds a live object, else (a file whose
  // holders have all ended is removed first) creates the object when the request allows.
  static DWORD MapOrCreate(NamedObject* object, const ParsedName& parsed, const NamedObjectRequest& request,
                           bool* created) {
    StoreLock lock;
    if (!lock.Locked()) return ErrorFromErrno(lock.Error());
    int fd = open(object->m_Path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) return ErrorFromErrno(errno);
    if (fd >= 0) {
      bool stale = false;
      const DWORD error = OpenExisting(fd, parsed, request, object, &stale);
      close(fd);
      if (error != ERROR_SUCCESS) return error;
      // Every holder has ended: the object is gone, as it would be on Windows.
      if (stale && unlink(object->m_Path.c_str()) != 0) return ErrorFromErrno(errno);
    }
    if (object->m_File) return ERROR_SUCCESS;
    if (!request.create) return ERROR_FILE_NOT_FOUND;
    const DWORD error = CreateNew(object->m_Path, parsed, request, object);
    *created = error == ERROR_SUCCESS;
    return error;
  }

  static bool Open(const WCHAR* name, const NamedObjectRequest& request, NamedObjectHandle* out) {
    const DWORD error = OpenOrCreate(name, request, out);
    if (error == ERROR_SUCCESS) return true;
    SetLastError(error);
    return false;
  }

  static DWORD OpenOrCreate(const WCHAR* name, const NamedObjectRequest& request, NamedObjectHandle* out) {
    ParsedName parsed;
    if (const DWORD error = ParseName(name, &parsed); error != ERROR_SUCCESS) return error;
    std::string key = KeyOf(parsed);
    ProcessTable& table = Table();
    std::shared_ptr<NamedObject> existing;  // released after the table's lock
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(key);
    if (it != table.objects.end()) existing = it->second.lock();
    if (existing) return ShareMapped(existing, request, out);

    std::shared_ptr<NamedObject> object(new (std::nothrow) NamedObject);
    if (!object) return ERROR_NOT_ENOUGH_MEMORY;
    object->m_Key = key;
    object->m_Path = NamedObjectDir() + "/" + EncodeParsed(parsed);
    object->m_Type = request.type;
    object->m_MayUnmap = request.mayUnmap;
    bool created = false;
    if (const DWORD error = MapOrCreate(object.get(), parsed, request, &created); error != ERROR_SUCCESS) return error;
    table.objects[key] = object;
    // A new object gives its creator every right; an existing one gives what the request asked.
    ACCESS_MASK access = 0;
    if (created)
      access = object->m_Granted;
    else
      CheckAccess(object->m_Granted, request, &access);
    out->object = std::move(object);
    out->access = access;
    out->created = created;
    return ERROR_SUCCESS;
  }

  static void Close(NamedObject* object) {
    {
      ProcessTable& table = Table();
      std::lock_guard<std::mutex> guard(table.lock);
      auto it = table.objects.find(object->m_Key);
      if (it != table.objects.end() && it->second.expired()) table.objects.erase(it);
    }
    {
      StoreLock lock;
      if (RemoveHolder(object->m_File)) {
        // Unlink only the file that this mapping belongs to, not a successor of the same name.
        struct stat st;
        if (stat(object->m_Path.c_str(), &st) == 0 && st.st_dev == object->m_Device &&
            st.st_ino == object->m_Inode)
          unlink(object->m_Path.c_str());
      }
    }
    if (!object->m_MayUnmap || object->m_MayUnmap(object->m_File->payload)) munmap(object->m_File, kObjectFileSize);
  }
};

NamedObject::~NamedObject() {
  if (m_File) NamedObjectStore::Close(this);
}

bool OpenNamedObject(const WCHAR* name, const NamedObjectRequest& request, NamedObjectHandle* out) {
  return NamedObjectStore::Open(name, request, out);
}

}  // namespace qz
