// The platform probe's system-wide mutex: a probe waits while another holder has it, and
// concurrent probes take turns while readers look at the flags.
#include "sources/PlatformProbe.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SourcesFixture.h"

namespace {

// A probe waits while anyone, in any process, holds Global\wmi_QZMemAmpChecker.
TEST(PlatformProbeMutex, ProbeWaitsForTheSystemWideMutex) {
  EXPECT_EQ(g_MemAmpChecker.Mutex().Name(), L"Global\\wmi_QZMemAmpChecker");
  qztest::LoadMachine(R"({"driver": {"configuration": {"socketsPerBoard": 8, "boardCount": 2}}})");
  HANDLE held = CreateMutexW(nullptr, TRUE, L"Global\\wmi_QZMemAmpChecker");
  ASSERT_NE(held, nullptr);
  std::atomic<bool> done{false};
  std::thread prober([&done] {
    g_MemAmpChecker.ProbePlatform();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done.load());
  ReleaseMutex(held);
  prober.join();
  EXPECT_TRUE(done.load());
  EXPECT_TRUE(g_bHealthDriverPresent);
  CloseHandle(held);
}

// Probes on two threads write the flags one at a time while rebuilds on two others read them without
// the probe's mutex: under the thread sanitizer a plain flag or an overlapping probe is a reported race.
TEST(PlatformProbeMutex, ProbesRaceEachOtherAndReadersOfTheFlags) {
  qztest::LoadMachine(R"({"driver": {"configuration": {"socketsPerBoard": 8, "boardCount": 2},
                                   "processorBoards": true}})");
  std::atomic<int> probing{2};
  std::atomic<int> inconsistent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&probing] {
      for (int i = 0; i < 50; ++i) g_MemAmpChecker.ProbePlatform();
      --probing;
    });
    threads.emplace_back([&probing, &inconsistent] {
      do {
        // Once the driver is known to describe the memory, it is known to be present.
        if (g_bDriverMemoryData && !g_bHealthDriverPresent) ++inconsistent;
        (void)g_bAmpStatusValid.load();
        (void)g_bProcessorBoardMemory.load();
      } while (probing > 0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_TRUE(g_bHealthDriverPresent);
  EXPECT_TRUE(g_bAmpStatusValid);
  EXPECT_TRUE(g_bProcessorBoardMemory);
  EXPECT_TRUE(g_bDriverMemoryData);
}

}  // namespace
