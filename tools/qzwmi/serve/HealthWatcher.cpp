#include "serve/HealthWatcher.h"

#include <fcntl.h>
#include <cerrno>
#include <algorithm>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <windows.h>

#include "qzplatform.h"

namespace qzwmi::serve {

namespace {

// Calls `next` with the counter's value (0 when it is missing or not a DWORD) and writes back what
// it returns, unless that is the value read.
void UpdateMemoryEventCounter(DWORD (*next)(DWORD)) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", 0, nullptr,
                      REG_OPTION_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  DWORD type = REG_NONE, value = 0, size = sizeof value;
  if (RegQueryValueExW(key, L"QZ_MemoryEvent", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    value = 0;
  const DWORD updated = next(value);
  if (updated != value || type != REG_DWORD || size != sizeof value)
    RegSetValueExW(key, L"QZ_MemoryEvent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&updated), sizeof updated);
  RegCloseKey(key);
}

}  // namespace

// 0 reads as "no counter" and would make every list rebuild at every request: neither function
// leaves it there.
void AdvanceMemoryEventCounter() {
  UpdateMemoryEventCounter([](DWORD value) -> DWORD { return value + 1 == 0 ? 1 : value + 1; });
}

void StartMemoryEventCounter() {
  UpdateMemoryEventCounter([](DWORD value) -> DWORD { return value == 0 ? 1 : value; });
}

HealthWatcher::HealthWatcher(int intervalSeconds, std::function<void(const std::string&)> log)
    : m_IntervalMs(std::max(1, intervalSeconds) * 1000), m_Log(std::move(log)) {
  if (!QzIsHostMachine() || pipe2(m_Stop, O_CLOEXEC) != 0) return;
  // rasdaemon's database changes show at once where inotify works; the kernel's counters in sysfs
  // never notify, so they are looked at every interval.
  const std::string folder = std::string(QzGetHostRoot()) + "var/lib/rasdaemon";
  m_Notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_Notify >= 0 &&
      inotify_add_watch(m_Notify, folder.c_str(), IN_CLOSE_WRITE | IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_DELETE) < 0) {
    close(m_Notify);
    m_Notify = -1;
  }
  m_Log("watching the host's memory health: EDAC every " + std::to_string(m_IntervalMs / 1000) + " s, " +
        (m_Notify >= 0 ? "rasdaemon's database as it changes" : "rasdaemon's database every interval"));
  m_Thread = std::thread([this] { Run(); });
}

HealthWatcher::~HealthWatcher() {
  if (m_Thread.joinable()) {
    const char stop = 1;
    while (write(m_Stop[1], &stop, 1) < 0 && errno == EINTR) {
    }
    m_Thread.join();
  }
  for (int fd : {m_Stop[0], m_Stop[1], m_Notify})
    if (fd >= 0) close(fd);
}

void HealthWatcher::Run() {
  for (;;) {
    pollfd fds[2] = {{m_Stop[0], POLLIN, 0}, {m_Notify, POLLIN, 0}};
    const int ready = poll(fds, m_Notify >= 0 ? 2 : 1, m_IntervalMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents) return;
    if (m_Notify >= 0 && fds[1].revents) {
      char events[4096];
      while (read(m_Notify, events, sizeof events) > 0) {
      }
    }
    char change[1024] = "";
    if (QzRefreshHostMachine(change, sizeof change)) {
      AdvanceMemoryEventCounter();
      m_Log(change);
    }
  }
}

}  // namespace qzwmi::serve
