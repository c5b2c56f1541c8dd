// Holding, leaving and removing the runtime areas of system roots (see runtimearea.h).
#include "kernel32/runtimearea.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "kernel32/sysroot.h"

namespace qz {
namespace {

struct Hold {
  std::mutex lock;
  int fd = -1;
  pid_t pid = 0;
  bool ended = false;  // the process is ending: nothing may hold the area again
  std::string base;
  std::string area;
};

// Counts every hold taken and let go by this process: while it stands, the area this process holds
// is the one it held when it read the count, since no other process removes a held area.
std::atomic<uint64_t> g_HoldChanges{0};

Hold& TheHold() {
  static Hold* hold = new Hold;  // never destroyed: the hold is given up after every destructor
  return *hold;
}

// True when `fd` is still the file at `path`: a lock taken on a file that was removed meanwhile
// guards nothing.
bool IsFileAt(int fd, const std::string& path) {
  struct stat open, named;
  return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

// Removes an area whose lock this process holds exclusively: its contents, then the lock file, then
// the folder. The folder stays when a newcomer created a fresh lock file in it meanwhile.
void RemoveLockedArea(const std::string& area) {
  std::error_code ec;
  for (auto entry = std::filesystem::directory_iterator(area, ec); !ec && entry != std::filesystem::directory_iterator();
       entry.increment(ec)) {
    if (entry->path().filename() == kRuntimeAreaLock) continue;
    std::error_code ignored;
    std::filesystem::remove_all(entry->path(), ignored);
  }
  unlink((area + "/" + kRuntimeAreaLock).c_str());
  rmdir(area.c_str());
}

// The names this system gives areas: 16 hexadecimal digits. Nothing else in the base is touched.
bool IsAreaName(const char* name) {
  if (strlen(name) != 16) return false;
  for (const char* c = name; *c; ++c)
    if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return false;
  return true;
}

void RemoveIdleAreas(const std::string& base) {
  DIR* dir = opendir(base.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (IsAreaName(entry->d_name)) RemoveIdleArea(base + "/" + entry->d_name);
  }
  closedir(dir);
}

void Leave(Hold& hold) {
  if (hold.fd < 0 || hold.pid != getpid()) return;
  const int fd = hold.fd;
  hold.fd = -1;
  g_HoldChanges.fetch_add(1, std::memory_order_release);
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && IsFileAt(fd, hold.area + "/" + kRuntimeAreaLock)) RemoveLockedArea(hold.area);
  close(fd);
  RemoveIdleAreas(hold.base);
}

// The hold ends after every static destructor and exit handler, which may still close kernel
// objects in the area (and so hold it again after an early QzRemoveRuntimeArea).
__attribute__((destructor)) void LeaveAtExit() {
  Hold& hold = TheHold();
  std::lock_guard<std::mutex> guard(hold.lock);
  hold.ended = true;
  Leave(hold);
}

bool TakeHold(Hold& hold, const std::string& base, const std::string& area) {
  const std::string lock = area + "/" + kRuntimeAreaLock;
  // Each pass loses only to a removal that ran in between; a handful of passes is plenty.
  for (int pass = 0; pass < 64; ++pass) {
    if (!MakeDirs(base, 0711)) return false;
    if (mkdir(area.c_str(), 0700) != 0 && errno != EEXIST) return false;
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == ENOENT) continue;  // removed between mkdir and open
      return false;
    }
    int locked;
    do {
      locked = flock(fd, LOCK_SH);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      const int error = errno;
      close(fd);
      errno = error;
      return false;
    }
    if (IsFileAt(fd, lock)) {
      g_HoldChanges.fetch_add(1, std::memory_order_release);
      hold.fd = fd;
      hold.pid = getpid();
      hold.base = base;
      hold.area = area;
      return true;
    }
    close(fd);
  }
  errno = EAGAIN;
  return false;
}

}  // namespace

bool HoldRuntimeArea(const std::string& base, const std::string& area) {
  Hold& hold = TheHold();
  std::lock_guard<std::mutex> guard(hold.lock);
  return TakeHold(hold, base, area);
}

uint64_t RuntimeAreaHoldChanges() { return g_HoldChanges.load(std::memory_order_acquire); }

void HoldRuntimeAreaAgain() {
  Hold& hold = TheHold();
  std::lock_guard<std::mutex> guard(hold.lock);
  if (hold.fd >= 0 || hold.ended || hold.area.empty() || hold.pid != getpid()) return;
  TakeHold(hold, hold.base, hold.area);
}

void LeaveRuntimeArea() {
  Hold& hold = TheHold();
  std::lock_guard<std::mutex> guard(hold.lock);
  Leave(hold);
}

bool RemoveIdleArea(const std::string& area) {
  const std::string lock = area + "/" + kRuntimeAreaLock;
  // An area without its lock file is idle too: a creator locks the file before it uses the area,
  // and finds, once it has its lock, that the file it opened is gone.
  const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool idle = flock(fd, LOCK_EX | LOCK_NB) == 0 && IsFileAt(fd, lock);
  if (idle) RemoveLockedArea(area);
  close(fd);
  return idle;
}

}  // namespace qz
