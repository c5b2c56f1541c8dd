// CMutex across processes: mutual exclusion by name, and a holder that dies.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "support/Mutex.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SystemFixture.h"

namespace {

const std::wstring kCounterPath = L"C:\\counter.bin";
const std::wstring kServerLogPath = L"C:\\Windows\\system32\\wbem\\logs\\qzwbems.log";

DWORD ReadCounter() {
  std::string bytes = qztest::ReadFileBytes(kCounterPath);
  DWORD value = 0;
  if (bytes.size() == sizeof value) memcpy(&value, bytes.data(), sizeof value);
  return value;
}

void WriteCounter(DWORD value) {
  qztest::WriteFileBytes(kCounterPath, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

QZ_CHILD_MAIN(IncrementUnderMutex) {
  int times = std::stoi(args.at(0));
  CMutex mutex;
  mutex.SetName(L"Counter");
  for (int i = 0; i < times; ++i) {
    mutex.Lock();
    WriteCounter(ReadCounter() + 1);
    mutex.Unlock();
  }
  return testing::Test::HasFailure() ? 1 : 0;
}

QZ_CHILD_MAIN(HoldMutexForever) {
  CMutex mutex;
  mutex.SetName(L"Abandoned");
  mutex.Lock();
  qztest::WriteFileBytes(L"C:\\holding", "1");
  for (;;) Sleep(1000);
}

TEST(MutexAcrossProcesses, FourProcessesCountExactly) {
  WriteCounter(0);
  std::vector<qztest::ChildProcess> children;
  for (int i = 0; i < 4; ++i) children.push_back(qztest::ChildProcess::Start("IncrementUnderMutex", {"10000"}));
  for (auto& child : children) EXPECT_EQ(child.Wait(120000), 0);
  EXPECT_EQ(ReadCounter(), 40000u);
}

TEST(MutexAcrossProcesses, KilledHolderPassesTheMutexOnAndTheWaitIsLogged) {
  qztest::ChildProcess child = qztest::ChildProcess::Start("HoldMutexForever");
  for (int i = 0; i < 5000 && !qztest::FileExists(L"C:\\holding"); ++i) Sleep(1);
  ASSERT_TRUE(qztest::FileExists(L"C:\\holding"));

  // A handle of our own keeps the mutex alive through the holder's death, so that it is
  // abandoned rather than gone.
  HANDLE keep = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\wmi_Abandoned");
  ASSERT_NE(keep, nullptr);
  CMutex mutex;
  mutex.SetName(L"Abandoned");
  child.Kill(SIGKILL);
  auto killed = std::chrono::steady_clock::now();
  mutex.Lock();
  auto elapsed = std::chrono::steady_clock::now() - killed;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 100);
  mutex.Unlock();
  EXPECT_EQ(child.Wait(5000), 128 + SIGKILL);
  CloseHandle(keep);

  std::string log = qztest::ReadFileBytes(kServerLogPath);
  EXPECT_NE(log.find("] [Error] - Mutex::CreateSemaphore(Mutex) failed.  Last error:  "), std::string::npos) << log;
}

}  // namespace
