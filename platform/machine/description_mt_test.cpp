// The current machine swapped while other threads open its devices and send commands.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "machine/machine.h"
#include "qzplatform.h"

namespace {

constexpr char kWithDriver[] = R"({"name": "a", "driver": {"protection": {"state": 7}}, "smbios": {"present": false}})";
constexpr char kWithoutDriver[] = R"({"name": "b"})";

TEST(CurrentMachineThreads, ReadersSeeOneWholeMachineWhileItIsSwapped) {
  ASSERT_TRUE(QzLoadMachineText(kWithDriver, "a.json", nullptr, 0));
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0}, absent{0}, wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      uint8_t request[16] = {0xA5, 0x06, 24, 0};  // command 1701, 24 bytes
      while (!stop) {
        std::shared_ptr<const qz::machine::Machine> machine = qz::machine::Current();
        if ((machine->name == "a") != machine->driver.has_value()) ++wrong;
        HANDLE device = CreateFileW(L"\\\\.\\MQZ", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
          if (GetLastError() != ERROR_FILE_NOT_FOUND) ++wrong;
          ++absent;
          continue;
        }
        uint8_t frame[27] = {};
        DWORD returned = 0;
        if (!DeviceIoControl(device, qz::machine::kIoctlDriverCommand, request, 16, frame, sizeof frame, &returned,
                             nullptr) ||
            returned != 26 || frame[2] != 7)
          ++wrong;
        ++answered;
        CloseHandle(device);
      }
    });
  }
  for (int i = 0; i < 400; ++i)
    ASSERT_TRUE(QzLoadMachineText(i % 2 ? kWithDriver : kWithoutDriver, "swap.json", nullptr, 0));
  ASSERT_TRUE(QzLoadMachineText(kWithDriver, "a.json", nullptr, 0));
  while (answered == 0) std::this_thread::yield();
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(answered, 0);
}

}  // namespace
