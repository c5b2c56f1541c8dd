// The identity of the calling thread.
#include <sys/syscall.h>
#include <unistd.h>

#include "windows.h"

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
  // The kernel's thread id: unique across the system while the thread lives, like a Windows one.
  thread_local const DWORD t_ThreadId = static_cast<DWORD>(syscall(SYS_gettid));
  return t_ThreadId;
}
