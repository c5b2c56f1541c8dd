// `qzwmi serve` on the running host: follows the host's memory health while the service runs.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace qzwmi::serve {

// While it lives, and when the current machine is the host: watches rasdaemon's folder (inotify)
// and looks at the EDAC counters every `intervalSeconds`; on a change it reads the host again
// and moves the memory event counter, as the server's agent does for a memory event, so that the
// next request rebuilds the lists with the new health. `log` gets one line per change.
class HealthWatcher {
 public:
  HealthWatcher(int intervalSeconds, std::function<void(const std::string&)> log);
  ~HealthWatcher();
  HealthWatcher(const HealthWatcher&) = delete;
  HealthWatcher& operator=(const HealthWatcher&) = delete;

 private:
  void Run();

  int m_IntervalMs;
  std::function<void(const std::string&)> m_Log;
  int m_Stop[2] = {-1, -1};
  int m_Notify = -1;
  std::thread m_Thread;
};

// Moves HKLM\SOFTWARE\Tarnwell\WBEM\Server\QZ_MemoryIndication\QZ_MemoryEvent on by one (never to 0).
void AdvanceMemoryEventCounter();

// Starts that counter at 1 when it is missing, 0 or not a DWORD; leaves a running one alone.
void StartMemoryEventCounter();

}  // namespace qzwmi::serve
