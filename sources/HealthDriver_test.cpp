// Tests of the health driver access: which device opens, the command frame, what a short or failing
// answer leaves, and physical reads.
#include "sources/HealthDriver.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <array>
#include <cstring>
#include <string>

#include "tests/support/SourcesFixture.h"

namespace {

using qztest::LoadMachine;

// Two boards, board 2 with a module in socket 5; answers given raw where a test needs exact bytes.
// Where each answer's fields sit is pinned end to end by the golden outputs.
constexpr const char* kMachine = R"({
  "driver": {
    "configuration": {"socketsPerBoard": 8, "boardCount": 2},
    "boards": [
      {"index": 1, "number": 1, "modules": [{"socket": 1, "sizeMiB": 4096}]},
      {"index": 2, "number": 2, "modules": [{"socket": 5, "status": 9, "sizeMiB": 8192}]}
    ],
    "rawAnswers": [
      {"command": 1705, "param0": 7, "data": "11 22 33 44"},
      {"command": 1705, "param0": 8, "data": "01 02 03 04 05 06 07 08", "supplied": 2000},
      {"command": 1705, "param0": 9, "data": "0A 0B 0C 0D", "supplied": 258}
    ],
    "faults": [{"command": 1702, "param0": 2, "fail": true}]
  }
})";

TEST(HealthDriverOpen, FallsBackToSecondaryDeviceAndClearsPrimaryFlag) {
  struct Case {
    const char* primary;
    const char* secondary;
    bool opens;
    bool primaryFlag;
  } cases[] = {
      {"true", "false", true, true},
      {"false", "false", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.primary) + "/" + c.secondary);
    LoadMachine(std::string(R"({"driver": {"primaryDevice": )") + c.primary + R"(, "secondaryDevice": )" + c.secondary +
                "}}");
    g_bPrimaryDriverDevice = true;
    HANDLE device = nullptr;
    EXPECT_EQ(OpenHealthDriver(device), c.opens);
    EXPECT_EQ(g_bPrimaryDriverDevice.load(), c.primaryFlag);
    EXPECT_EQ(device != INVALID_HANDLE_VALUE, c.opens);
    CloseHealthDriver(device);
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
  }
  // Once cleared, the flag stays cleared even when the primary device comes back.
  LoadMachine(R"({"driver": {}})");
  HANDLE device = nullptr;
  ASSERT_TRUE(OpenHealthDriver(device));
  CloseHealthDriver(device);
  EXPECT_FALSE(g_bPrimaryDriverDevice);
}

class HealthDriverCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadMachine(kMachine);
    ASSERT_TRUE(OpenHealthDriver(m_Device));
  }
  void TearDown() override { CloseHealthDriver(m_Device); }
  HANDLE m_Device = INVALID_HANDLE_VALUE;
};

TEST_F(HealthDriverCommand, ParameterBytesTravelAtOffsetsEightAndNine) {
  // Command 1707 for board 2, socket 5 reaches that module's status; the low byte of each parameter
  // is what is sent, and parameters after the eighth are dropped.
  struct Case {
    std::initializer_list<DWORD> params;
    DWORD board, socket, status;
  } cases[] = {
      {{0x102, 0x305}, 2, 5, 9},
      {{2, 5, 0, 0, 0, 0, 0, 0, 0x99, 0x98}, 2, 5, 9},
      {{1, 1}, 1, 1, 2},
  };
  for (const Case& c : cases) {
    ModuleStatusAnswer status{};
    WORD length = sizeof(status);
    ASSERT_EQ(DriverCommand(m_Device, kCommandModuleStatus, &status, length, c.params), 0);
    EXPECT_EQ(+status.boardNumber, c.board);
    EXPECT_EQ(+status.socketNumber, c.socket);
    EXPECT_EQ(+status.status, c.status);
  }
}

// A command copies what the driver supplies, never more than asked; a failing one (a fault for the
// board, a command the driver does not know, a handle that is no device) leaves the buffer alone.
TEST_F(HealthDriverCommand, CopiesOnlyWhatTheDriverSuppliesAndNeverMoreThanAsked) {
  struct Case {
    const char* name;
    bool validHandle;
    WORD command;
    BYTE board;
    WORD requested;
    int result;
    std::string want;  // the first bytes of the buffer after the call; the rest stays 0xAB
  } cases[] = {
      {"four bytes supplied to a 116-byte request", true, kCommandBoardNumbering, 7, 116, 0, "\x11\x22\x33\x44"},
      {"supplied length above the request", true, kCommandBoardNumbering, 8, 3, 0, "\x01\x02\x03"},
      {"supplied length whose low byte is below the request", true, kCommandBoardNumbering, 9, 3, 0, "\x0A\x0B\x0C"},
      {"request of zero bytes", true, kCommandBoardNumbering, 7, 0, 0, ""},
      {"command failing for this board", true, kCommandBoardInfo, 2, 152, 1, ""},
      {"command the driver does not know", true, 1234, 2, 152, 1, ""},
      {"handle that is no device", false, kCommandBoardInfo, 2, 152, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<BYTE, 200> buffer;
    buffer.fill(0xAB);
    WORD length = c.requested;
    ASSERT_EQ(DriverCommand(c.validHandle ? m_Device : INVALID_HANDLE_VALUE, c.command, buffer.data(), length, {c.board}),
              c.result);
    EXPECT_EQ(length, c.requested);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + c.want.size()), c.want);
    for (size_t i = c.want.size(); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xAB) << "byte " << i;
  }
}

TEST(HealthDriverPhysicalMemory, ReadsTheBiosAreaThroughTheSecondaryDeviceOnly) {
  struct Case {
    const char* driver;
    BOOL ok;
  } cases[] = {
      {R"({})", TRUE},
      {R"({"primaryDevice": false})", TRUE},
      {R"({"secondaryDevice": false})", FALSE},
      {R"({"physicalReadFails": true})", FALSE},
      {nullptr, FALSE},  // no driver
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver ? c.driver : "no driver");
    LoadMachine(c.driver ? std::string(R"({"driver": )") + c.driver + R"(, "smbios": {"devices": [{"size": 1024}]}})"
                         : R"({"name": "no driver"})");
    std::array<BYTE, 0x10000> area;
    area.fill(0xAB);
    EXPECT_EQ(ReadPhysicalMemory(0xF0000, sizeof(area), area.data()), c.ok);
    if (!c.ok) continue;
    size_t anchors = 0;
    for (size_t i = 0; i < area.size(); i += 16) anchors += std::memcmp(&area[i], "_SM_", 4) == 0;
    EXPECT_EQ(anchors, 1u);
  }
}

}  // namespace
