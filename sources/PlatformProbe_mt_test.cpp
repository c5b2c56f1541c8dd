// The platform probe's system-wide mutex: a probe waits while another holder has it, and
// concurrent probes take turns.
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

// Probes on several threads write the flags one at a time (the thread sanitizer sees any overlap).
TEST(PlatformProbeMutex, ConcurrentProbesAgree) {
  qztest::LoadMachine(R"({"driver": {"configuration": {"socketsPerBoard": 8, "boardCount": 2},
                                   "processorBoards": true}})");
  std::vector<std::thread> probers;
  for (int t = 0; t < 4; ++t) {
    probers.emplace_back([] {
      for (int i = 0; i < 25; ++i) g_MemAmpChecker.ProbePlatform();
    });
  }
  for (std::thread& prober : probers) prober.join();
  EXPECT_TRUE(g_bHealthDriverPresent);
  EXPECT_TRUE(g_bAmpStatusValid);
  EXPECT_TRUE(g_bProcessorBoardMemory);
  EXPECT_TRUE(g_bDriverMemoryData);
}

// Rebuilds read the flags without the probe's mutex while another thread probes: under the thread
// sanitizer a plain flag is a reported race here.
TEST(PlatformProbeMutex, ProbesRaceReadersOfTheFlags) {
  qztest::LoadMachine(R"({"driver": {"configuration": {"socketsPerBoard": 8, "boardCount": 2},
                                   "processorBoards": true}})");
  std::atomic<bool> probing{true};
  std::thread prober([&probing] {
    for (int i = 0; i < 50; ++i) g_MemAmpChecker.ProbePlatform();
    probing = false;
  });
  std::vector<std::thread> readers;
  std::atomic<int> inconsistent{0};
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&probing, &inconsistent] {
      do {
        // Once the driver is known to describe the memory, it is known to be present.
        if (g_bDriverMemoryData && !g_bHealthDriverPresent) ++inconsistent;
        (void)g_bAmpStatusValid.load();
        (void)g_bProcessorBoardMemory.load();
      } while (probing);
    });
  }
  prober.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_TRUE(g_bDriverMemoryData);
  EXPECT_TRUE(g_bProcessorBoardMemory);
}

}  // namespace
