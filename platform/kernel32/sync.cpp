// Mutexes and semaphores, unnamed or shared by name between processes, their waits, and Sleep.
#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "advapi32/security.h"
#include "kernel32/handles.h"
#include "kernel32/namedobject.h"

namespace qz {
namespace {

constexpr ACCESS_MASK kSemaphoreQueryState = 0x0001;

constexpr GenericMapping kMutexMapping = {
    READ_CONTROL | MUTANT_QUERY_STATE,
    READ_CONTROL,
    READ_CONTROL | SYNCHRONIZE,
    MUTANT_ALL_ACCESS,
};

constexpr GenericMapping kSemaphoreMapping = {
    READ_CONTROL | kSemaphoreQueryState,
    READ_CONTROL | SEMAPHORE_MODIFY_STATE,
    READ_CONTROL | SYNCHRONIZE,
    SEMAPHORE_ALL_ACCESS,
};

// ---- Mutex state ---------------------------------------------------------------------------------

// A robust recursive pthread mutex: re-entrant for its owning thread, and handed to the next
// waiter with EOWNERDEAD (WAIT_ABANDONED) when its owning thread or process ends.
struct MutexState {
  pthread_mutex_t mutex;
};

struct MutexInit {
  bool shared;
  bool initialOwner;
};

void InitialiseMutex(void* payload, const void* context) {
  const MutexInit* init = static_cast<const MutexInit*>(context);
  MutexState* state = new (payload) MutexState;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&attr, init->shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
  pthread_mutex_init(&state->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  // Nobody else can see the new mutex yet, so taking it cannot block.
  if (init->initialOwner) pthread_mutex_trylock(&state->mutex);
}

// The owner's thread id, which the robust-futex protocol keeps in the mutex's lock word (0 when free).
pid_t OwnerOf(MutexState* state) {
  return static_cast<pid_t>(__atomic_load_n(&state->mutex.__data.__lock, __ATOMIC_RELAXED) & FUTEX_TID_MASK);
}

// The kernel marks a robust mutex as abandoned through the owning thread's list of held mutexes
// when that thread ends, so memory of a mutex that a thread of this process still owns must stay
// in place until then; it is given up (leaked) rather than freed or unmapped.
bool MayReleaseMutexMemory(void* payload) {
  pid_t owner = OwnerOf(static_cast<MutexState*>(payload));
  if (owner == 0) return true;
  return syscall(SYS_tgkill, getpid(), owner, 0) != 0;  // not a thread of this process
}

// ---- Semaphore state -----------------------------------------------------------------------------

// A count in shared memory, taken with compare-and-swap and slept on with a futex: no lock that a
// dying process could leave held, and no stale waiter that could swallow a wake-up.
struct SemaphoreState {
  std::atomic<int32_t> count;
  int32_t maximum;
  std::atomic<uint32_t> waiters;  // may count waiters that died: that costs only a spare wake-up
  uint32_t futexFlags;            // FUTEX_PRIVATE_FLAG for an unnamed semaphore
};

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t));

struct SemaphoreInit {
  bool shared;
  LONG initial;
  LONG maximum;
};

void InitialiseSemaphore(void* payload, const void* context) {
  const SemaphoreInit* init = static_cast<const SemaphoreInit*>(context);
  SemaphoreState* state = new (payload) SemaphoreState;
  state->count.store(init->initial, std::memory_order_relaxed);
  state->maximum = init->maximum;
  state->waiters.store(0, std::memory_order_relaxed);
  state->futexFlags = init->shared ? 0 : FUTEX_PRIVATE_FLAG;
}

long Futex(std::atomic<int32_t>* word, int op, int32_t value, const timespec* deadline) {
  return syscall(SYS_futex, reinterpret_cast<int32_t*>(word), op, value, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

timespec DeadlineAfter(clockid_t clock, DWORD milliseconds) {
  timespec now;
  clock_gettime(clock, &now);
  now.tv_sec += milliseconds / 1000;
  now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
  if (now.tv_nsec >= 1000000000) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000;
  }
  return now;
}

int TimedLock(pthread_mutex_t* mutex, DWORD milliseconds) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer follows an abandoned mutex taken by trylock but not by timedlock, so its builds
  // poll; the others wait in the kernel.
  timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, milliseconds);
  while (true) {
    int result = pthread_mutex_trylock(mutex);
    if (result != EBUSY) return result;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
      return ETIMEDOUT;
    timespec pause = {0, 500000};
    nanosleep(&pause, nullptr);
  }
#else
  timespec deadline = DeadlineAfter(CLOCK_REALTIME, milliseconds);
  return pthread_mutex_timedlock(mutex, &deadline);
#endif
}

// ---- Handles ---------------------------------------------------------------------------------------

// What every handle to a mutex or semaphore holds: the state's memory (a process-private block or
// the named object's mapping), where the state is, and the handle's rights.
class SyncObject : public KernelObject {
 protected:
  SyncObject(ObjectType type, std::shared_ptr<void> storage, void* state, ACCESS_MASK access)
      : KernelObject(type), m_Storage(std::move(storage)), m_State(state), m_Access(access) {}

  bool HasAccess(ACCESS_MASK rights) const {
    if ((m_Access & rights) == rights) return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }

  std::shared_ptr<void> m_Storage;
  void* m_State;
  ACCESS_MASK m_Access;
};

class MutexObject final : public SyncObject {
 public:
  MutexObject(std::shared_ptr<void> storage, void* state, ACCESS_MASK access)
      : SyncObject(ObjectType::Mutex, std::move(storage), state, access) {}

  DWORD Wait(DWORD milliseconds) override {
    if (!HasAccess(SYNCHRONIZE)) return WAIT_FAILED;
    pthread_mutex_t* mutex = &static_cast<MutexState*>(m_State)->mutex;
    int result;
    if (milliseconds == INFINITE) {
      result = pthread_mutex_lock(mutex);
    } else {
      result = pthread_mutex_trylock(mutex);
      if (result == EBUSY && milliseconds != 0) result = TimedLock(mutex, milliseconds);
    }
    switch (result) {
      case 0:
        return WAIT_OBJECT_0;
      case EOWNERDEAD:
        pthread_mutex_consistent(mutex);
        return WAIT_ABANDONED;
      case EBUSY:
      case ETIMEDOUT:
        return WAIT_TIMEOUT;
      case EAGAIN:  // the recursion count would overflow
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
      default:
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
  }

  bool Release() {
    // Only the owner could have put its own thread id into the lock word, so this test is exact.
    MutexState* state = static_cast<MutexState*>(m_State);
    if (OwnerOf(state) == static_cast<pid_t>(GetCurrentThreadId()) && pthread_mutex_unlock(&state->mutex) == 0)
      return true;
    SetLastError(ERROR_NOT_OWNER);
    return false;
  }
};

class SemaphoreObject final : public SyncObject {
 public:
  SemaphoreObject(std::shared_ptr<void> storage, void* state, ACCESS_MASK access)
      : SyncObject(ObjectType::Semaphore, std::move(storage), state, access) {}

  DWORD Wait(DWORD milliseconds) override {
    if (!HasAccess(SYNCHRONIZE)) return WAIT_FAILED;
    SemaphoreState* state = static_cast<SemaphoreState*>(m_State);
    timespec deadline = {};
    bool sleeping = false;
    bool timedOut = false;
    while (true) {
      int32_t count = state->count.load(std::memory_order_relaxed);
      while (count > 0)
        if (state->count.compare_exchange_weak(count, count - 1, std::memory_order_acquire, std::memory_order_relaxed))
          return WAIT_OBJECT_0;
      if (milliseconds == 0 || timedOut) return WAIT_TIMEOUT;
      if (!sleeping && milliseconds != INFINITE) deadline = DeadlineAfter(CLOCK_MONOTONIC, milliseconds);
      sleeping = true;
      state->waiters.fetch_add(1, std::memory_order_seq_cst);
      long result = Futex(&state->count, FUTEX_WAIT_BITSET | state->futexFlags, 0,
                          milliseconds == INFINITE ? nullptr : &deadline);
      int error = errno;
      state->waiters.fetch_sub(1, std::memory_order_relaxed);
      if (result != 0 && error == ETIMEDOUT) timedOut = true;
    }
  }

  bool Release(LONG count, LONG* previous) {
    if (!HasAccess(SEMAPHORE_MODIFY_STATE)) return false;
    if (count <= 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    SemaphoreState* state = static_cast<SemaphoreState*>(m_State);
    int32_t current = state->count.load(std::memory_order_relaxed);
    do {
      if (count > state->maximum - current) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return false;
      }
    } while (!state->count.compare_exchange_weak(current, current + count, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed));
    if (previous) *previous = current;
    // Every sleeper wakes and races for the count: a woken waiter that has died cannot strand it.
    if (state->waiters.load(std::memory_order_seq_cst) != 0)
      Futex(&state->count, FUTEX_WAKE_BITSET | state->futexFlags, INT_MAX, nullptr);
    return true;
  }
};

// ---- Creation ------------------------------------------------------------------------------------

// The state of an unnamed object, in private memory. finalise tears the state down when the last
// handle goes, or returns false to keep its memory (see MayReleaseMutexMemory).
template <class State>
std::shared_ptr<void> PrivateState(void (*initialise)(void*, const void*), const void* context,
                                   bool (*finalise)(void*)) {
  void* memory = ::operator new(sizeof(State), std::align_val_t(64), std::nothrow);
  if (!memory) return nullptr;
  initialise(memory, context);
  return std::shared_ptr<void>(memory, [finalise](void* state) {
    if (finalise && !finalise(state)) return;
    static_cast<State*>(state)->~State();
    ::operator delete(state, std::align_val_t(64));
  });
}

// Blocks that stay allocated for the rest of the process, kept reachable so that they are not
// mistaken for leaks.
void KeepForever(void* block) {
  static std::mutex* lock = new std::mutex;
  static std::vector<void*>* kept = new std::vector<void*>;
  std::lock_guard<std::mutex> guard(*lock);
  kept->push_back(block);
}

bool FinalisePrivateMutex(void* payload) {
  if (!MayReleaseMutexMemory(payload)) {
    KeepForever(payload);
    return false;
  }
  pthread_mutex_destroy(&static_cast<MutexState*>(payload)->mutex);
  return true;
}

HANDLE HandleFor(std::shared_ptr<KernelObject> object) {
  if (!object) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return AllocHandle(std::move(object));
}

template <class Object>
HANDLE OpenNamed(LPCWSTR name, const NamedObjectRequest& request) {
  NamedObjectHandle opened;
  if (!OpenNamedObject(name, request, &opened)) return nullptr;
  void* payload = opened.object->Payload();
  HANDLE handle = HandleFor(std::make_shared<Object>(std::move(opened.object), payload, opened.access));
  if (handle && request.create) SetLastError(opened.created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return handle;
}

const void* DescriptorOf(LPSECURITY_ATTRIBUTES attributes) {
  return attributes ? attributes->lpSecurityDescriptor : nullptr;
}

bool CheckDescriptor(LPSECURITY_ATTRIBUTES attributes) {
  const void* descriptor = DescriptorOf(attributes);
  if (!descriptor || IsValidSelfRelativeDescriptor(descriptor)) return true;
  SetLastError(ERROR_INVALID_SECURITY_DESCR);
  return false;
}

}  // namespace
}  // namespace qz

using namespace qz;

extern "C" HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
  if (!CheckDescriptor(lpMutexAttributes)) return nullptr;
  MutexInit init{lpName && *lpName, bInitialOwner != FALSE};
  if (!init.shared) {
    std::shared_ptr<void> state = PrivateState<MutexState>(InitialiseMutex, &init, FinalisePrivateMutex);
    if (!state) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    void* raw = state.get();
    HANDLE handle = HandleFor(std::make_shared<MutexObject>(std::move(state), raw, MUTEX_ALL_ACCESS));
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
  }
  NamedObjectRequest request{ObjectType::Mutex, &kMutexMapping, MUTEX_ALL_ACCESS, true, DescriptorOf(lpMutexAttributes),
                       InitialiseMutex, &init, MayReleaseMutexMemory};
  return OpenNamed<MutexObject>(lpName, request);
}

extern "C" HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  NamedObjectRequest request{ObjectType::Mutex, &kMutexMapping, dwDesiredAccess, false, nullptr,
                       InitialiseMutex, nullptr, MayReleaseMutexMemory};
  return OpenNamed<MutexObject>(lpName, request);
}

extern "C" BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  std::shared_ptr<MutexObject> mutex = LookupHandleAs<MutexObject>(hMutex, ObjectType::Mutex);
  if (!mutex) return FALSE;
  return mutex->Release() ? TRUE : FALSE;
}

extern "C" HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                          LONG lMaximumCount, LPCWSTR lpName) {
  if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!CheckDescriptor(lpSemaphoreAttributes)) return nullptr;
  SemaphoreInit init{lpName && *lpName, lInitialCount, lMaximumCount};
  if (!init.shared) {
    std::shared_ptr<void> state = PrivateState<SemaphoreState>(InitialiseSemaphore, &init, nullptr);
    if (!state) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    void* raw = state.get();
    HANDLE handle = HandleFor(std::make_shared<SemaphoreObject>(std::move(state), raw, SEMAPHORE_ALL_ACCESS));
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
  }
  NamedObjectRequest request{ObjectType::Semaphore, &kSemaphoreMapping, SEMAPHORE_ALL_ACCESS, true,
                       DescriptorOf(lpSemaphoreAttributes), InitialiseSemaphore, &init, nullptr};
  return OpenNamed<SemaphoreObject>(lpName, request);
}

extern "C" HANDLE WINAPI OpenSemaphoreW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  NamedObjectRequest request{ObjectType::Semaphore, &kSemaphoreMapping, dwDesiredAccess, false, nullptr,
                       InitialiseSemaphore, nullptr, nullptr};
  return OpenNamed<SemaphoreObject>(lpName, request);
}

extern "C" BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  std::shared_ptr<SemaphoreObject> semaphore = LookupHandleAs<SemaphoreObject>(hSemaphore, ObjectType::Semaphore);
  if (!semaphore) return FALSE;
  return semaphore->Release(lReleaseCount, lpPreviousCount) ? TRUE : FALSE;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    while (true) pause();
  }
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  timespec rest = {static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}
