// Mutexes and semaphores between threads and processes: abandonment by a thread or a killed
// process, fresh objects after their holders died, and semaphore counts under load. Mutual
// exclusion across processes is counted through the system's own mutex tests.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qzplatform.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PlatformTest.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(MutexThreads, ThreadThatEndsHoldingAMutexAbandonsIt) {
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"Global\\Abandoned"}) {
    SCOPED_TRACE(name ? "named" : "unnamed");
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(mutex, nullptr);
    std::thread([&] {
      EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
      EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);  // held twice
    }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));  // the new owner holds it once
    QZ_EXPECT_LAST_ERROR(ReleaseMutex(mutex), FALSE, ERROR_NOT_OWNER);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // consistent again
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
}

TEST(MutexThreads, OwnerClosingTheLastHandleEndsTheObject) {
  // The owning thread closes its only handle and ends later; its ownership dies with the object
  // and does not reach a new mutex of the same name.
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"Global\\ClosedOwned"}) {
    std::thread([name] {
      HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
      EXPECT_NE(mutex, nullptr);
      CloseHandle(mutex);
      if (name) QZ_EXPECT_LAST_ERROR(OpenMutexW(SYNCHRONIZE, FALSE, name), nullptr, ERROR_FILE_NOT_FOUND);
    }).join();
  }
  HANDLE fresh = CreateMutexW(nullptr, FALSE, L"Global\\ClosedOwned");
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(fresh));
  CloseHandle(fresh);
}

TEST(SemaphoreThreads, CountIsNeverExceededUnderContention) {
  HANDLE semaphore = CreateSemaphoreW(nullptr, 2, 2, nullptr);
  std::atomic<int> inside{0}, most{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(WaitForSingleObject(semaphore, 5000), WAIT_OBJECT_0);
        int now = inside.fetch_add(1) + 1;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        inside.fetch_sub(1);
        ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(most.load(), 2);
  LONG previous = -1;
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
  CloseHandle(semaphore);
}

// Takes the named mutex ("mutex") or the one count of a new named semaphore ("semaphore"), says so
// through the named semaphore `ready`, and waits to be killed.
QZ_CHILD_MAIN(HoldUntilKilled) {
  const std::wstring name = Wide(args.at(1));
  HANDLE held = args[0] == "mutex" ? CreateMutexW(nullptr, FALSE, name.c_str())
                                   : CreateSemaphoreW(nullptr, 1, 1, name.c_str());
  HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, Wide(args.at(2)).c_str());
  if (!held || !ready || WaitForSingleObject(held, INFINITE) != WAIT_OBJECT_0) return 1;
  ReleaseSemaphore(ready, 1, nullptr);
  Sleep(30000);
  return 2;
}

TEST(MutexProcesses, KilledHolderAbandonsTheMutexToTheWaiter) {
  HANDLE ready = CreateSemaphoreW(nullptr, 0, 1, L"Global\\HolderReady");
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\KilledHolder");
  qztest::ChildProcess child =
      qztest::ChildProcess::Start("HoldUntilKilled", {"mutex", "Global\\KilledHolder", "Global\\HolderReady"});
  ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  DWORD result = WAIT_FAILED;
  std::thread waiter([&] {
    result = WaitForSingleObject(mutex, 5000);
    if (result == WAIT_ABANDONED) {
      EXPECT_TRUE(ReleaseMutex(mutex));  // owned once by this thread
      EXPECT_FALSE(ReleaseMutex(mutex));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  child.Kill(SIGKILL);
  waiter.join();
  EXPECT_EQ(result, WAIT_ABANDONED);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ReleaseMutex(mutex);
  EXPECT_EQ(child.Wait(5000), 128 + SIGKILL);
  CloseHandle(mutex);
  CloseHandle(ready);
}

TEST(SemaphoreProcesses, ADeadHolderLeavesNoObjectAndNoStaleCount) {
  HANDLE ready = CreateSemaphoreW(nullptr, 0, 1, L"Global\\DrainReady");
  qztest::ChildProcess child =
      qztest::ChildProcess::Start("HoldUntilKilled", {"semaphore", "Global\\Drained", "Global\\DrainReady"});
  ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);

  // While the child lives the object exists with its count at 0.
  HANDLE shared = CreateSemaphoreW(nullptr, 1, 1, L"Global\\Drained");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(shared, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(shared);

  // Killed but not reaped yet: once it is a zombie, its object is gone.
  child.Kill(SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  HANDLE opened = nullptr;
  SetLastError(0);
  while (std::chrono::steady_clock::now() < deadline &&
         (opened = OpenSemaphoreW(SYNCHRONIZE, FALSE, L"Global\\Drained")) != nullptr) {
    CloseHandle(opened);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(opened, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(child.Wait(5000), 128 + SIGKILL);
  SetLastError(12345);
  HANDLE fresh = CreateSemaphoreW(nullptr, 1, 1, L"Global\\Drained");
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0);
  CloseHandle(fresh);
  CloseHandle(ready);
}

}  // namespace
