// The registry under concurrency: counters kept exact from many threads and from several processes,
// keys created and deleted while others read them, handles opened and closed at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qzplatform.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PlatformTest.h"

namespace {

using qztest::RegDword;
using qztest::RegSetDword;

constexpr int kThreads = 4;
constexpr int kIterations = 300;

// Adds one to the DWORD value of the key, creating both; false on any failure.
bool Increment(const wchar_t* path, const std::wstring& name, DWORD options) {
  const long long value = RegDword(HKEY_LOCAL_MACHINE, path, name.c_str());
  if (value < 0 && value != -ERROR_FILE_NOT_FOUND) return false;
  return RegSetDword(HKEY_LOCAL_MACHINE, path, name.c_str(), static_cast<DWORD>(value < 0 ? 1 : value + 1), options) ==
         ERROR_SUCCESS;
}

TEST(RegistryThreads, CountersOfEachThreadStayExact) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const std::wstring name = L"Thread" + std::to_wstring(t);
      for (int i = 0; i < kIterations; ++i)
        if (!Increment(L"SOFTWARE\\Threads\\Counters", name, REG_OPTION_VOLATILE)) ++failures;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    const std::wstring name = L"Thread" + std::to_wstring(t);
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Threads\\Counters", name.c_str()), kIterations) << t;
  }
}

TEST(RegistryThreads, ReadersSeeWholeKeysWhileOthersDeleteThem) {
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::thread churn([&] {
    for (int i = 0; i < kIterations; ++i) {
      if (RegSetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Churn\\Item\\Leaf", L"V", 1) != ERROR_SUCCESS) {
        ++unexpected;
        continue;
      }
      if (RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Churn\\Item") != ERROR_SUCCESS) ++unexpected;
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        HKEY key = nullptr;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Churn\\Item\\Leaf", 0, KEY_READ, &key);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (status != ERROR_SUCCESS) {
          ++unexpected;
          continue;
        }
        DWORD value = 0, size = sizeof value;
        status = RegQueryValueExW(key, L"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
        // A key is either there with what it holds, or gone through the other thread.
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && status != ERROR_KEY_DELETED) ++unexpected;
        if (status == ERROR_SUCCESS && value != 1) ++unexpected;
        if (RegCloseKey(key) != ERROR_SUCCESS) ++unexpected;
      }
    });
  }
  churn.join();
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(unexpected.load(), 0);
}

constexpr int kProcesses = 4;
constexpr int kProcessIncrements = 300;

QZ_CHILD_MAIN(RegistryIncrement) {
  const std::wstring name = L"Child" + std::wstring(args.at(0).begin(), args.at(0).end());
  for (int i = 0; i < kProcessIncrements; ++i) {
    if (!Increment(L"SOFTWARE\\Shared\\Counters", name, 0)) return 2;
    if (i % 25 == 0) {
      HKEY key = nullptr;
      const std::wstring sub = L"SOFTWARE\\Shared\\Keys\\" + name + L"\\" + std::to_wstring(i);
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, i % 50 ? REG_OPTION_VOLATILE : 0, KEY_READ,
                          nullptr, &key, nullptr) != ERROR_SUCCESS)
        return 5;
      RegCloseKey(key);
    }
  }
  return 0;
}

TEST(RegistryProcesses, ConcurrentIncrementsAndCreatesAreAllKept) {
  // Volatile keys live as long as some process of the root runs: this one keeps them past its children.
  QzGetRuntimeDir();
  std::vector<qztest::ChildProcess> children;
  for (int i = 0; i < kProcesses; ++i) {
    children.push_back(qztest::ChildProcess::Start("RegistryIncrement", {std::to_string(i)}));
  }
  for (auto& child : children) EXPECT_EQ(child.Wait(60000), 0);
  for (int i = 0; i < kProcesses; ++i) {
    const std::wstring name = L"Child" + std::to_wstring(i);
    EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared\\Counters", name.c_str()), kProcessIncrements) << i;
    HKEY keys = nullptr;
    const std::wstring path = L"SOFTWARE\\Shared\\Keys\\" + name;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &keys), ERROR_SUCCESS);
    DWORD subKeys = 0;
    EXPECT_EQ(RegQueryInfoKeyW(keys, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, static_cast<DWORD>(kProcessIncrements / 25));
    RegCloseKey(keys);
  }
}

}  // namespace
