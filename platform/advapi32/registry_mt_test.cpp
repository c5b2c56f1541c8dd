// The registry from many threads of one process: counters kept exact, keys created and deleted
// while others read them, handles opened and closed at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kIterations = 300;

TEST(RegistryThreads, CountersOfEachThreadStayExact) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const std::wstring name = L"Thread" + std::to_wstring(t);
      for (int i = 0; i < kIterations; ++i) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Threads\\Counters", 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
          ++failures;
          continue;
        }
        DWORD value = 0, size = sizeof value;
        LONG status = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) ++failures;
        ++value;
        if (RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof value) !=
            ERROR_SUCCESS)
          ++failures;
        if (RegCloseKey(key) != ERROR_SUCCESS) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Threads\\Counters", 0, KEY_READ, &key), ERROR_SUCCESS);
  for (int t = 0; t < kThreads; ++t) {
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, (L"Thread" + std::to_wstring(t)).c_str(), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, static_cast<DWORD>(kIterations)) << t;
  }
  RegCloseKey(key);
}

TEST(RegistryThreads, ReadersSeeWholeKeysWhileOthersDeleteThem) {
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::thread churn([&] {
    for (int i = 0; i < kIterations; ++i) {
      HKEY key = nullptr;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Churn\\Item\\Leaf", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
        ++unexpected;
        continue;
      }
      DWORD one = 1;
      RegSetValueExW(key, L"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof one);
      RegCloseKey(key);
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

}  // namespace
