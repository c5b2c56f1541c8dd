// Concurrency test of the string loader: threads that make the first calls at the same time agree.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/ResourceString.h"

namespace {

TEST(ResourceStringConcurrency, FirstCallsFromManyThreadsAllGetTheSameTexts) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 200;
  std::atomic<bool> go{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      SetThreadLocale(1033);
      while (!go.load()) std::this_thread::yield();
      for (int call = 0; call < kCalls; ++call) {
        if (LoadResourceString(kModuleFileName, IDS_PROTECTION_ONLINE_SPARE) != L"Online Spare") ++wrong;
        if (LoadResourceString(kModuleFileName, 149) != L"<String could not be found!>") ++wrong;
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
