// Concurrency of the SMBIOS table cache: provider threads reading while the table is reloaded.
#include "sources/SmbiosTable.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SourcesFixture.h"

namespace {

TEST(SmbiosTableThreads, ReadersNeverSeeAHalfLoadedTable) {
  qztest::LoadMachine(R"({"driver": {}, "smbios": {"version": "2.8", "devices": [
            {"handle": 17, "deviceLocator": "DIMM 1", "size": 4096, "oemBoard": 1, "oemModule": 1},
            {"handle": 18, "deviceLocator": "DIMM 2", "oemBoard": 1, "oemModule": 2}]}})");
  std::atomic<int> wrong{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const auto found = qztest::FindAll(kSmbiosTypeMemoryDevice);
        bool right = found.size() == 2;
        for (size_t i = 0; right && i < found.size(); ++i) {
          const auto& [data, strings] = found[i];
          right = data.size() == kType17CopyLength && data[kType17Handle] == 17 + i &&
                  CSmbiosTable::GetString(data[kType17DeviceLocator], strings) == L"DIMM " + std::to_wstring(i + 1);
        }
        if (!right) ++wrong;
      }
    });
  }
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(g_SmbiosTable.LoadTable());
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
