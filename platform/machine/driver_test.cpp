// The health-driver devices: command frames byte for byte, raw answers and supplied lengths, and
// physical memory past 64 KiB. Opening, faults and the BIOS area are exercised through the sources'
// own driver tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "qzplatform.h"

namespace {

using qz::machine::kIoctlDriverCommand;
using qz::machine::kIoctlReadPhysicalMemory;

// A machine whose every answer field holds a value of its own, so a field at a wrong offset shows.
constexpr char kDistinctMachine[] = R"({
  "driver": {
    "configuration": {"socketsPerBoard": 6, "boardCount": 3,
      "raid": {"offered": true}, "onlineSpare": {"selected": true}, "mirroring1": {"offered": true, "selected": true},
      "advancedEcc": {"offered": true}, "mirroring2": {"selected": true}, "mirroring3": {"offered": true},
      "lockstep": {"offered": true, "selected": true}},
    "protection": {"state": 11, "operatingSpeed": 1600, "availableMemory": 30000, "totalMemory": 32768},
    "processorBoards": true,
    "boards": [
      {"index": 0, "number": 7, "hotPlug": true, "status": 4, "lockState": 2, "sockets": 5,
       "availableMemory": 1000, "totalMemory": 2000,
       "modules": [{"socket": 5, "status": 9, "formFactor": 13, "memoryType": 24, "sizeMiB": 16384, "speedMHz": 2133,
                    "dataWidth": 72, "partNumber": "PN-1234", "spdValid": true, "spd": "a1 b2 c3"}]},
      {"index": 2, "number": 2, "present": false}
    ]
  },
  "smbios": {"present": false}
})";

void Load(const char* text) {
  char error[512] = "";
  ASSERT_TRUE(QzLoadMachineText(text, "test.json", error, sizeof error)) << error;
}

HANDLE Open(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// `size` zero bytes but for the little-endian `length` at `at` and `tail` from `from`.
std::vector<uint8_t> Frame(size_t size, uint16_t length, const std::vector<uint8_t>& tail, size_t at = 0,
                           size_t from = 2) {
  std::vector<uint8_t> frame(size, 0);
  frame[at] = static_cast<uint8_t>(length);
  frame[at + 1] = static_cast<uint8_t>(length >> 8);
  std::copy(tail.begin(), tail.end(), frame.begin() + static_cast<std::ptrdiff_t>(from));
  return frame;
}

// Sends a command with a frame of requested + 3 bytes inside a larger buffer poisoned with 0xCC.
struct Answer {
  BOOL ok = FALSE;
  DWORD error = 0, returned = 0xDEADBEEF;
  std::vector<uint8_t> buffer;  // the frame followed by 16 bytes that must stay 0xCC
};
Answer Command(HANDLE device, uint16_t command, uint16_t requested, const std::vector<uint8_t>& params = {}) {
  Answer answer;
  std::vector<uint8_t> request = Frame(16, requested, params, 2, 8);
  request[0] = static_cast<uint8_t>(command);
  request[1] = static_cast<uint8_t>(command >> 8);
  answer.buffer.assign(requested + 3 + 16, 0xCC);
  std::fill(answer.buffer.begin(), answer.buffer.begin() + requested + 3, 0);
  SetLastError(0);
  answer.ok = DeviceIoControl(device, kIoctlDriverCommand, request.data(), 16, answer.buffer.data(), requested + 3,
                              &answer.returned, nullptr);
  answer.error = GetLastError();
  return answer;
}

TEST(HealthDriverDevices, AnswersCarryEveryFieldAtItsOffset) {
  Load(kDistinctMachine);
  HANDLE device = Open(L"\\\\.\\MQZ");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  struct Field { size_t offset; uint32_t value; int size; };  // size in bytes
  struct Case { uint16_t command; std::vector<uint8_t> params; uint16_t length; std::vector<Field> fields; };
  const Case cases[] = {
      {1700, {}, 116, {{0, 6, 4}, {4, 3, 4}, {12, 1, 4}, {20, 1, 4}, {28, 1, 4}, {32, 1, 4}, {84, 1, 4}, {96, 1, 4},
                       {100, 1, 4}, {108, 1, 4}, {112, 1, 4}}},
      {1701, {}, 24, {{0, 11, 4}, {4, 1600, 4}, {8, 30000, 4}, {16, 32768, 4}}},
      {1702, {0}, 152, {{0, 7, 4}, {4, 5, 4}, {140, 1000, 4}, {148, 2000, 4}}},
      {1702, {2}, 152, {{0, 2, 4}, {4, 6, 4}}},  // sockets from the configuration
      {1702, {1}, 152, {}},                      // no board at this index
      {1705, {0}, 60, {{0, 7, 4}, {4, 1, 4}, {8, 1, 4}, {12, 4, 4}, {16, 2, 4}}},
      {1705, {2}, 60, {{0, 2, 4}}},  // not present, default status 0
      {1706, {0, 5}, 382, {{12, 1, 4}, {54, 13, 4}, {58, 24, 4}, {62, 16384, 4}, {66, 2133, 4}, {78, 72, 2},
                           {90, 0x312D4E50, 4}, {94, 0x00343332, 4}, {122, 1, 4}, {126, 0xC3B2A1, 4}}},
      {1706, {0, 4}, 382, {}},  // no module in this socket
      {1707, {0, 5}, 56, {{0, 7, 4}, {4, 5, 4}, {12, 9, 4}}},
      {1707, {0, 5, 9, 9, 9, 9, 9, 9}, 56, {{0, 7, 4}, {4, 5, 4}, {12, 9, 4}}},  // bytes after the second: ignored
      {1707, {5, 0}, 56, {}},
      {1711, {}, 6, {{0, 1, 1}, {5, 2, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << c.command << " params " << c.params.size()
                                    << " first " << (c.params.empty() ? -1 : int{c.params[0]}));
    Answer answer = Command(device, c.command, c.length, c.params);
    ASSERT_TRUE(answer.ok) << answer.error;
    std::vector<uint8_t> expected = Frame(c.length + 3, c.length, {});  // every byte not in a field is zero
    for (const Field& f : c.fields)
      for (int i = 0; i < f.size; ++i) expected[2 + f.offset + i] = static_cast<uint8_t>(f.value >> (8 * i));
    expected.insert(expected.end(), 16, 0xCC);
    EXPECT_EQ(answer.buffer, expected);
    EXPECT_EQ(answer.returned, static_cast<DWORD>(c.length + 2));
  }
  CloseHandle(device);
}

TEST(HealthDriverDevices, SuppliedLengthAndRawAnswersShapeTheFrame) {
  Load(R"({"driver": {
    "boards": [{"modules": [{}]}],
    "rawAnswers": [
      {"command": 1707, "param0": 1, "param1": 2, "data": "0102030405060708", "supplied": 4},
      {"command": 1705, "param0": 3, "data": "ff ee dd cc bb aa 99 88 77 66 55 44 33 22 11 00 ff ee dd cc"},
      {"command": 4242, "data": "abcd"},
      {"command": 1711, "data": "0102030405060708090a0b0c"}],
    "faults": [{"command": 1705, "param0": 3, "supplied": 2}]}})");
  HANDLE device = Open(L"\\\\.\\MQZ");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  // supplied: frame offset 0; data: from frame offset 2, the rest of the frame stays zero.
  struct Case { const char* what; uint16_t command; std::vector<uint8_t> params; uint16_t requested, supplied;
                std::vector<uint8_t> data; };
  const Case cases[] = {
      {"a raw answer that supplies less than it has", 1707, {1, 2}, 56, 4, {1, 2, 3, 4}},
      {"a raw answer for other parameters does not apply", 1707, {1, 1}, 56, 56,
       {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2}},
      {"a fault's supplied length cuts a raw answer", 1705, {3}, 60, 2, {0xFF, 0xEE}},
      {"a raw answer for a command the driver does not know", 4242, {}, 10, 2, {0xAB, 0xCD}},
      {"raw data longer than the buffer stops at its end", 1711, {}, 6, 12, {1, 2, 3, 4, 5, 6, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Answer answer = Command(device, c.command, c.requested, c.params);
    ASSERT_TRUE(answer.ok) << answer.error;
    std::vector<uint8_t> expected = Frame(c.requested + 3, c.supplied, c.data);
    expected.insert(expected.end(), 16, 0xCC);
    EXPECT_EQ(answer.buffer, expected);
    EXPECT_EQ(answer.returned, std::min<DWORD>(2 + c.supplied, c.requested + 3));
  }
  CloseHandle(device);
}

TEST(HealthDriverDevices, AnOpenHandleKeepsTheMachineItWasOpenedOn) {
  Load(R"({"driver": {"protection": {"state": 9}}})");
  HANDLE device = Open(L"\\\\.\\MQZ");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  Load(R"({})");
  Answer answer = Command(device, 1701, 24);
  ASSERT_TRUE(answer.ok);
  EXPECT_EQ(answer.buffer[2], 9);
  CloseHandle(device);
  EXPECT_EQ(Open(L"\\\\.\\MQZ"), INVALID_HANDLE_VALUE);
}

// Physical memory through \\.\VrlHlth.
std::vector<uint8_t> ReadPhysical(HANDLE device, uint32_t address, DWORD size) {
  std::vector<uint8_t> out(size, 0xCC);
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(device, kIoctlReadPhysicalMemory, &address, 4, out.data(), size, &returned, nullptr));
  EXPECT_EQ(returned, size);
  return out;
}

TEST(PhysicalMemory, WithoutSmbiosTheAreaIsEmpty) {
  Load(R"({"driver": {}, "smbios": {"present": false}})");
  HANDLE device = Open(L"\\\\.\\VrlHlth");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadPhysical(device, 0xF0000, 0x10000), std::vector<uint8_t>(0x10000, 0));
  EXPECT_EQ(ReadPhysical(device, qz::machine::kSmbiosTableAddress, 64), std::vector<uint8_t>(64, 0));
  CloseHandle(device);
}

TEST(PhysicalMemory, ATableOfMoreThan64KiBIsReadWhole) {
  auto machine = std::make_shared<qz::machine::Machine>();
  machine->driver.emplace();
  // 3000 structures of 20 bytes with an empty string set each, then the end structure.
  for (int i = 0; i < 3000; ++i) {
    const auto byte = [](int value) { return static_cast<uint8_t>(value); };
    std::vector<uint8_t> structure = {0x80, 20, byte(i), byte(i >> 8), byte(i * 7)};
    structure.resize(22, 0);
    machine->smbios.table.insert(machine->smbios.table.end(), structure.begin(), structure.end());
  }
  machine->smbios.table.insert(machine->smbios.table.end(), {127, 4, 0xFF, 0xFE, 0, 0});
  ASSERT_EQ(machine->smbios.table.size(), 66006u);
  qz::machine::SetMachine(machine);
  HANDLE device = Open(L"\\\\.\\VrlHlth");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> entry = ReadPhysical(device, qz::machine::kSmbiosEntryPointAddress, 0x20);
  EXPECT_EQ(entry[0x1C] | entry[0x1D] << 8, 3001);
  EXPECT_EQ(ReadPhysical(device, qz::machine::kSmbiosTableAddress, 66006), machine->smbios.table);
  CloseHandle(device);
}

TEST(SmbiosStructureCount, CountsWholeStructuresUpToTheEnd) {
  struct Case { const char* what; std::vector<uint8_t> table; uint16_t count; };
  const Case cases[] = {
      {"empty", {}, 0},
      {"a string set without its end", {1, 4, 0, 0, 0, 0, 1, 4, 0, 0, 'x', 0}, 1},
      {"a length below the header", {1, 4, 0, 0, 0, 0, 1, 3, 0, 0, 0, 0}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(qz::machine::CountSmbiosStructures(c.table), c.count) << c.what;
}

}  // namespace
