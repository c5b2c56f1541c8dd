// CMutex: lazy creation, waits and releases, and the failure lines in its server log.
#include "support/Mutex.h"

CMutex::CMutex() {
  m_Log.Configure();
  m_Log.SetPrefix(L"Mutex::");
}

CMutex::~CMutex() {
  HANDLE handle = m_hMutex.exchange(nullptr);
  if (handle && !CloseHandle(handle)) LogFailure();
}

void CMutex::SetName(const WCHAR* name) { m_Name = std::wstring(L"Global\\wmi_") + name; }

void CMutex::LogFailure() { m_Log.Write(kServerLogError, 1, kMutexFailureFormat, static_cast<int>(GetLastError())); }

HANDLE CMutex::Handle() {
  HANDLE handle = m_hMutex.load(std::memory_order_acquire);
  if (handle) return handle;
  HANDLE created = CreateMutexW(nullptr, FALSE, m_Name.empty() ? nullptr : m_Name.c_str());
  if (!created) {
    LogFailure();
    return nullptr;
  }
  // Two threads may race to the first Lock: one handle wins, the other is closed again, so that
  // every thread waits on the same mutex.
  HANDLE expected = nullptr;
  if (!m_hMutex.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    CloseHandle(created);
    return expected;
  }
  return created;
}

void CMutex::Lock() {
  HANDLE handle = Handle();
  if (!handle) return;
  if (WaitForSingleObject(handle, INFINITE) != WAIT_OBJECT_0) LogFailure();
}

void CMutex::Unlock() {
  HANDLE handle = m_hMutex.load(std::memory_order_acquire);
  if (handle && !ReleaseMutex(handle)) LogFailure();
}
