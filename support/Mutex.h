// CMutex: the lock of the providers, lists and the platform probe; private to the process, or
// system-wide when named. Its own failures go to its server log, never to the caller.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "support/ServerLog.h"

class CMutex {
 public:
  CMutex();
  virtual ~CMutex();
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  // The mutex becomes the system-wide "Global\wmi_" + name. Call before the first Lock.
  void SetName(const WCHAR* name);

  // Waits without time-out; re-entrant for the owning thread. The operating-system mutex is
  // created at the first Lock. A failure is logged and the caller goes on as if it held the lock.
  virtual void Lock();
  virtual void Unlock();

  const std::wstring& Name() const { return m_Name; }

 private:
  HANDLE Handle();
  void LogFailure();

  std::atomic<HANDLE> m_hMutex{nullptr};
  std::wstring m_Name;
  CServerLog m_Log;
};

// Holds a lock for one scope: anything with Lock and Unlock (a CMutex, the SMBIOS table's mutex),
// released on every path out of the scope.
template <class Lockable>
class CLockGuard {
 public:
  explicit CLockGuard(Lockable& lockable) : m_Lockable(lockable) { m_Lockable.Lock(); }
  ~CLockGuard() { m_Lockable.Unlock(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  Lockable& m_Lockable;
};

// Holds a mutex known only by its handle for one scope: one that several processes share, or one
// that its owner gives up while holding it.
class CMutexHandleGuard {
 public:
  explicit CMutexHandleGuard(HANDLE mutex) : m_hMutex(mutex) { WaitForSingleObject(m_hMutex, INFINITE); }
  ~CMutexHandleGuard() { ReleaseMutex(m_hMutex); }
  CMutexHandleGuard(const CMutexHandleGuard&) = delete;
  CMutexHandleGuard& operator=(const CMutexHandleGuard&) = delete;

 private:
  HANDLE m_hMutex;
};

// The text of every CMutex failure line, followed by the system error number.
inline constexpr const WCHAR* kMutexFailureFormat = L"CreateSemaphore(Mutex) failed.  Last error:  %d";
