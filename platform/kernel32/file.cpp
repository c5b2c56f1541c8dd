// Files on Windows paths: CreateFileW with share modes and dispositions, I/O, seek, rename, delete.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "kernel32/device.h"
#include "kernel32/handles.h"
#include "kernel32/path.h"
#include "kernel32/text.h"
#include "windows.h"

namespace qz {
namespace {

// Share modes live in open file description locks far beyond any real file size: each open holds
// shared locks on the bytes that describe it, and an open conflicts with what others hold. The
// locks go with the descriptor, so a process that dies never leaves a file locked.
constexpr off_t kShareBase = static_cast<off_t>(1) << 62;
enum ShareByte : off_t {
  kHasRead = 0,
  kHasWrite = 1,
  kHasDelete = 2,
  kDeniesRead = 3,
  kDeniesWrite = 4,
  kDeniesDelete = 5,
  kGuard = 6,  // held exclusively while an open checks and takes its bytes
};

constexpr DWORD kDelete = 0x00010000;  // DELETE access right
constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

bool Lock(int fd, short type, off_t byte, int command) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareBase + byte;
  lock.l_len = 1;
  while (fcntl(fd, command, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// True when another open file description holds a lock on the byte.
bool OthersHold(int fd, off_t byte) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareBase + byte;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

struct ShareRow {
  DWORD access_rights;  // the open asks for any of these ...
  off_t has;            // ... so it holds this byte ...
  off_t denied_by;      // ... and fails when another open holds this one
  DWORD share_flag;     // without this share flag, the open holds `denies`
  off_t denies;
};
constexpr ShareRow kShareRows[] = {
    {kReadRights, kHasRead, kDeniesRead, FILE_SHARE_READ, kDeniesRead},
    {kWriteRights, kHasWrite, kDeniesWrite, FILE_SHARE_WRITE, kDeniesWrite},
    {kDelete, kHasDelete, kDeniesDelete, FILE_SHARE_DELETE, kDeniesDelete},
};
constexpr off_t kHasOf[] = {kHasRead, kHasWrite, kHasDelete};

bool Conflicts(int fd, DWORD access, DWORD share) {
  for (const ShareRow& row : kShareRows) {
    if ((access & row.access_rights) && OthersHold(fd, row.denied_by)) return true;
  }
  for (size_t i = 0; i < 3; ++i) {
    if (!(share & kShareRows[i].share_flag) && OthersHold(fd, kHasOf[i])) return true;
  }
  return false;
}

// Takes the share-mode locks of a new open; false (ERROR_SHARING_VIOLATION) on a conflict.
bool AcquireShare(int fd, DWORD access, DWORD share, bool writable) {
  // An open without data access neither checks nor holds share modes, as on Windows.
  if (!(access & (kReadRights | kWriteRights | kDelete))) return true;
  // The guard makes check-and-take atomic across processes; it needs a descriptor open for
  // writing. A read-only descriptor takes its bytes first and checks after, which can only turn a
  // simultaneous race into a refusal, never into two conflicting opens.
  bool guarded = writable && Lock(fd, F_WRLCK, kGuard, F_OFD_SETLKW);
  if (guarded && Conflicts(fd, access, share)) {
    Lock(fd, F_UNLCK, kGuard, F_OFD_SETLK);
    return false;
  }
  for (const ShareRow& row : kShareRows) {
    if (access & row.access_rights) Lock(fd, F_RDLCK, row.has, F_OFD_SETLK);
    if (!(share & row.share_flag)) Lock(fd, F_RDLCK, row.denies, F_OFD_SETLK);
  }
  if (guarded) {
    Lock(fd, F_UNLCK, kGuard, F_OFD_SETLK);
    return true;
  }
  if (Conflicts(fd, access, share)) return false;
  return true;
}

class FileObject : public KernelObject {
 public:
  FileObject(int fd, DWORD access, std::string delete_on_close)
      : KernelObject(ObjectType::File), m_Fd(fd), m_Access(access), m_DeleteOnClose(std::move(delete_on_close)) {}
  ~FileObject() override {
    if (!m_DeleteOnClose.empty()) unlink(m_DeleteOnClose.c_str());
    close(m_Fd);
  }
  int Fd() const { return m_Fd; }
  bool CanRead() const { return m_Access & kReadRights; }
  bool CanWrite() const { return m_Access & kWriteRights; }
  std::mutex& PositionLock() { return m_PositionLock; }

 private:
  int m_Fd;
  DWORD m_Access;
  std::string m_DeleteOnClose;
  std::mutex m_PositionLock;  // keeps seek-then-transfer of overlapped offsets whole
};

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY: return ERROR_BUSY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
  }
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A missing name is ERROR_FILE_NOT_FOUND, a missing folder on the way ERROR_PATH_NOT_FOUND.
DWORD MissingError(const std::string& path) {
  return IsDirectory(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD ErrorForPath(int error, const std::string& path) {
  if (error == ENOENT || error == ENOTDIR) return MissingError(path);
  return ErrorFromErrno(error);
}

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Opens the file read-write when the file allows it, so that the handle's own access is checked
// here and the share guard can be taken; falls back to the access asked for.
int OpenDescriptor(const std::string& path, int create_flags, DWORD access, bool* writable) {
  int flags = O_CLOEXEC | create_flags;
  int fd = open(path.c_str(), flags | O_RDWR, 0666);
  if (fd >= 0 || (errno != EACCES && errno != EROFS)) {
    *writable = fd >= 0;
    return fd;
  }
  bool read = access & kReadRights;
  bool write = access & kWriteRights;
  int mode = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  *writable = write;
  return open(path.c_str(), flags | mode, 0666);
}

struct DeviceTable {
  std::mutex lock;
  std::map<std::wstring, DeviceOpener> openers;
};

DeviceTable& Devices() {
  static DeviceTable* table = new DeviceTable;  // never destroyed: devices may open at exit
  return *table;
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
  return LookupHandleAs<FileObject>(handle, ObjectType::File);
}

// Moves the handle's position; the new position or -1 with the last error set.
LONGLONG Seek(FileObject& file, LONGLONG distance, DWORD method) {
  // Forward from the end or the current position: the system seeks there itself.
  if ((method == FILE_END || method == FILE_CURRENT) && distance >= 0) {
    off_t position = lseek(file.Fd(), static_cast<off_t>(distance), method == FILE_END ? SEEK_END : SEEK_CUR);
    if (position < 0) SetLastError(ErrorFromErrno(errno));
    return position < 0 ? -1 : position;
  }
  LONGLONG origin;
  if (method == FILE_BEGIN) {
    origin = 0;
  } else if (method == FILE_CURRENT) {
    origin = lseek(file.Fd(), 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat st;
    origin = fstat(file.Fd(), &st) == 0 ? st.st_size : -1;
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (origin < 0) {
    SetLastError(ErrorFromErrno(errno));
    return -1;
  }
  if (distance < 0 && origin + distance < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return -1;
  }
  off_t position = lseek(file.Fd(), static_cast<off_t>(origin + distance), SEEK_SET);
  if (position < 0) {
    SetLastError(ErrorFromErrno(errno));
    return -1;
  }
  return position;
}

// True when another open denies deletion of the file at `path` (renames count as deletion).
bool DeleteDenied(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool denied = OthersHold(fd, kDeniesDelete);
  close(fd);
  return denied;
}

// Opens the file as the disposition asks, creating it when the disposition allows; sets *existed
// when the file was there before. Creation is atomic: O_EXCL decides who creates; if the file
// appears or vanishes between the two attempts, try again.
DWORD OpenByDisposition(const std::string& path, DWORD disposition, DWORD access, int* fd, bool* existed,
                        bool* writable) {
  const bool may_create = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // A file that is opened again and again (a log) mostly exists: try that first.
    if (attempt == 0 && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)) {
      *fd = OpenDescriptor(path, 0, access, writable);
      if (*fd >= 0) {
        *existed = true;
        return ERROR_SUCCESS;
      }
      if (errno != ENOENT) return ErrorForPath(errno, path);
    }
    if (may_create) {
      *fd = OpenDescriptor(path, O_CREAT | O_EXCL, access, writable);
      if (*fd >= 0) return ERROR_SUCCESS;
      if (errno != EEXIST) return ErrorForPath(errno, path);
      if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
    }
    *fd = OpenDescriptor(path, 0, access, writable);
    if (*fd >= 0) {
      *existed = true;
      return ERROR_SUCCESS;
    }
    if (errno != ENOENT || !may_create) return ErrorForPath(errno, path);
  }
  return ERROR_ACCESS_DENIED;
}

// Readies a newly opened file for its handle: refuses a folder, and an open that the file's other
// handles do not share, and empties the file when asked to. The descriptor is closed on failure.
DWORD ClaimOpened(int fd, DWORD access, DWORD share, bool writable, bool truncate) {
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  if (!AcquireShare(fd, access, share, writable)) {
    close(fd);
    return ERROR_SHARING_VIOLATION;
  }
  if (truncate && ftruncate(fd, 0) != 0) {
    const int error = errno;
    close(fd);
    return ErrorFromErrno(error);
  }
  return ERROR_SUCCESS;
}

}  // namespace

void RegisterDevice(std::wstring_view name, DeviceOpener opener) {
  DeviceTable& table = Devices();
  std::lock_guard<std::mutex> guard(table.lock);
  std::wstring key = UpperAscii(name);
  if (opener) {
    table.openers[key] = opener;
  } else {
    table.openers.erase(key);
  }
}

HANDLE OpenDevice(std::wstring_view path, DWORD access, DWORD share_mode, DWORD flags) {
  std::wstring_view name = IsDevicePath(path) ? path.substr(4) : path;
  DeviceOpener opener = nullptr;
  {
    DeviceTable& table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.openers.find(UpperAscii(name));
    if (it != table.openers.end()) opener = it->second;
  }
  if (!opener) return FailHandle(ERROR_FILE_NOT_FOUND);
  return opener(name, access, share_mode, flags);
}

}  // namespace qz

using qz::FailHandle;
using qz::FailWith;

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE) {
  if (!lpFileName) return FailHandle(ERROR_PATH_NOT_FOUND);
  std::wstring_view name(lpFileName);
  if (qz::IsDevicePath(name)) return qz::OpenDevice(name, dwDesiredAccess, dwShareMode, dwFlagsAndAttributes);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return FailHandle(ERROR_INVALID_PARAMETER);
  if (dwCreationDisposition == TRUNCATE_EXISTING && !(dwDesiredAccess & qz::kWriteRights))
    return FailHandle(ERROR_INVALID_PARAMETER);
  std::optional<std::string> path = qz::MapWindowsPath(name);
  if (!path) return INVALID_HANDLE_VALUE;

  int fd = -1;
  bool existed = false;
  bool writable = false;
  if (const DWORD error =
          qz::OpenByDisposition(*path, dwCreationDisposition, dwDesiredAccess, &fd, &existed, &writable))
    return FailHandle(error);
  const bool truncate =
      existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING);
  if (const DWORD error = qz::ClaimOpened(fd, dwDesiredAccess, dwShareMode, writable, truncate))
    return FailHandle(error);
  if (dwFlagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::string delete_on_close = (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) ? *path : std::string();
  HANDLE handle =
      qz::AllocHandle(std::make_shared<qz::FileObject>(fd, dwDesiredAccess, std::move(delete_on_close)));
  bool reports_existing = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
  SetLastError(existed && reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto file = qz::LookupFile(hFile);
  if (!file) return FALSE;
  if (!file->CanRead()) return FailWith(ERROR_ACCESS_DENIED);
  if (!lpBuffer && nNumberOfBytesToRead) return FailWith(ERROR_NOACCESS);
  std::lock_guard<std::mutex> guard(file->PositionLock());
  if (lpOverlapped) {
    off_t offset = static_cast<off_t>((static_cast<ULONGLONG>(lpOverlapped->u.s.OffsetHigh) << 32) |
                                      lpOverlapped->u.s.Offset);
    if (lseek(file->Fd(), offset, SEEK_SET) < 0) return FailWith(qz::ErrorFromErrno(errno));
  }
  DWORD total = 0;
  char* out = static_cast<char*>(lpBuffer);
  while (total < nNumberOfBytesToRead) {
    ssize_t n = read(file->Fd(), out + total, nNumberOfBytesToRead - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FailWith(qz::ErrorFromErrno(errno));
    if (n == 0) break;
    total += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = total;
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto file = qz::LookupFile(hFile);
  if (!file) return FALSE;
  if (!file->CanWrite()) return FailWith(ERROR_ACCESS_DENIED);
  if (!lpBuffer && nNumberOfBytesToWrite) return FailWith(ERROR_NOACCESS);
  std::lock_guard<std::mutex> guard(file->PositionLock());
  if (lpOverlapped) {
    off_t offset = static_cast<off_t>((static_cast<ULONGLONG>(lpOverlapped->u.s.OffsetHigh) << 32) |
                                      lpOverlapped->u.s.Offset);
    if (lseek(file->Fd(), offset, SEEK_SET) < 0) return FailWith(qz::ErrorFromErrno(errno));
  }
  DWORD total = 0;
  const char* in = static_cast<const char*>(lpBuffer);
  while (total < nNumberOfBytesToWrite) {
    ssize_t n = write(file->Fd(), in + total, nNumberOfBytesToWrite - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = total;
      return FailWith(qz::ErrorFromErrno(errno));
    }
    total += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = total;
  return TRUE;
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                                        DWORD dwMoveMethod) {
  auto file = qz::LookupFile(hFile);
  if (!file) return FALSE;
  std::lock_guard<std::mutex> guard(file->PositionLock());
  LONGLONG position = qz::Seek(*file, liDistanceToMove.QuadPart, dwMoveMethod);
  if (position < 0) return FALSE;
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
  return TRUE;
}

extern "C" BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  auto file = qz::LookupFile(hFile);
  if (!file) return FALSE;
  if (!lpFileSize) return FailWith(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(file->Fd(), &st) != 0) return FailWith(qz::ErrorFromErrno(errno));
  lpFileSize->QuadPart = st.st_size;
  return TRUE;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  if (!lpFileName) return FailWith(ERROR_PATH_NOT_FOUND);
  std::optional<std::string> path = qz::MapWindowsPath(lpFileName);
  if (!path) return FALSE;
  struct stat st;
  if (lstat(path->c_str(), &st) != 0) return FailWith(qz::ErrorForPath(errno, *path));
  if (S_ISDIR(st.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
  if (qz::DeleteDenied(*path)) return FailWith(ERROR_SHARING_VIOLATION);
  if (unlink(path->c_str()) != 0) return FailWith(qz::ErrorForPath(errno, *path));
  return TRUE;
}

extern "C" BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  if (!lpExistingFileName || !lpNewFileName) return FailWith(ERROR_INVALID_PARAMETER);
  std::optional<std::string> from = qz::MapWindowsPath(lpExistingFileName);
  if (!from) return FALSE;
  std::optional<std::string> to = qz::MapWindowsPath(lpNewFileName);
  if (!to) return FALSE;
  struct stat st;
  if (lstat(from->c_str(), &st) != 0) return FailWith(qz::ErrorForPath(errno, *from));
  if (!S_ISDIR(st.st_mode) && qz::DeleteDenied(*from)) return FailWith(ERROR_SHARING_VIOLATION);
  if (renameat2(AT_FDCWD, from->c_str(), AT_FDCWD, to->c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
    return FailWith(qz::ErrorForPath(errno, *to));
  }
  return TRUE;
}

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (!lpPathName) return FailWith(ERROR_PATH_NOT_FOUND);
  std::optional<std::string> path = qz::MapWindowsPath(lpPathName);
  if (!path) return FALSE;
  if (mkdir(path->c_str(), 0777) != 0) {
    if (errno == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
    if (errno == ENOENT || errno == ENOTDIR) return FailWith(ERROR_PATH_NOT_FOUND);
    return FailWith(qz::ErrorFromErrno(errno));
  }
  return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  if (!lpPathName) return FailWith(ERROR_PATH_NOT_FOUND);
  std::optional<std::string> path = qz::MapWindowsPath(lpPathName);
  if (!path) return FALSE;
  if (rmdir(path->c_str()) != 0) {
    if (errno == ENOTDIR) return FailWith(qz::IsDirectory(qz::ParentOf(*path)) ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    if (errno == EEXIST) return FailWith(ERROR_DIR_NOT_EMPTY);
    return FailWith(qz::ErrorForPath(errno, *path));
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (!lpFileName) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::optional<std::string> path = qz::MapWindowsPath(lpFileName);
  if (!path) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (stat(path->c_str(), &st) != 0) {
    SetLastError(qz::ErrorForPath(errno, *path));
    return INVALID_FILE_ATTRIBUTES;
  }
  // No archive bit is kept: a plain file is FILE_ATTRIBUTE_NORMAL, which only stands alone.
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}
