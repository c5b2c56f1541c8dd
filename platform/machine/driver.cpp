// The health driver's two devices: command requests answered from the machine description, and
// copies of the machine's physical memory.
#include <algorithm>
#include <cstring>
#include <memory>

#include "kernel32/device.h"
#include "kernel32/handles.h"
#include "machine/machine.h"
#include "windows.h"

namespace qz::machine {
namespace {

// The module status a driver gives an empty socket: memory not present.
constexpr uint32_t kEmptySocketStatus = 5;

constexpr DWORD kRequestSize = 16;
constexpr DWORD kAddressSize = 4;
constexpr DWORD kFrameHeaderSize = 2;  // the 16-bit supplied length that leads the answer data

// The commands this driver answers and the size of each full answer.
struct CommandSize {
  uint16_t command;
  size_t size;
};
constexpr CommandSize kCommandSizes[] = {
    {1700, 116},  // memory configuration
    {1701, 24},   // protection state
    {1702, 152},  // board information
    {1705, 60},   // board numbering and status
    {1706, 382},  // module information
    {1707, 56},   // module status
    {1711, 6},    // memory-protection (AMP) status
};

void Put32(std::vector<uint8_t>& answer, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) answer[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
void Put16(std::vector<uint8_t>& answer, size_t offset, uint16_t value) {
  answer[offset] = static_cast<uint8_t>(value);
  answer[offset + 1] = static_cast<uint8_t>(value >> 8);
}
void PutMode(std::vector<uint8_t>& answer, size_t offered, size_t selected, const DriverConfiguration::Mode& mode) {
  Put32(answer, offered, mode.offered ? 1 : 0);
  Put32(answer, selected, mode.selected ? 1 : 0);
}

const DriverBoard* FindBoard(const HealthDriver& driver, uint8_t index) {
  for (const DriverBoard& board : driver.boards)
    if (board.index == index) return &board;
  return nullptr;
}

const DriverModule* FindModule(const DriverBoard* board, uint8_t socket) {
  if (!board) return nullptr;
  for (const DriverModule& module : board->modules)
    if (module.socket == socket) return &module;
  return nullptr;
}

bool Matches(uint16_t command, const std::optional<uint8_t>& param0, const std::optional<uint8_t>& param1,
             uint16_t asked, const uint8_t* params) {
  return command == asked && (!param0 || *param0 == params[0]) && (!param1 || *param1 == params[1]);
}

// An open \\.\MQZ or \\.\VrlHlth. A handle answers from the machine that was current when it was
// opened: a machine loaded later is seen by the next open, as a replaced driver would be.
class HealthDevice : public DeviceObject {
 public:
  explicit HealthDevice(std::shared_ptr<const Machine> machine) : m_Machine(std::move(machine)) {}

  BOOL IoControl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override {
    auto* request = static_cast<const uint8_t*>(in);
    if (code == kIoctlDriverCommand) return Command(request, in_size, static_cast<uint8_t*>(out), out_size, returned);
    if (code == kIoctlReadPhysicalMemory) return ReadMemory(request, in_size, out, out_size, returned);
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }

 private:
  BOOL Command(const uint8_t* in, DWORD in_size, uint8_t* out, DWORD out_size, DWORD* returned) {
    if (in_size != kRequestSize) return Fail(ERROR_INVALID_PARAMETER);
    if (out_size < kFrameHeaderSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    const HealthDriver& driver = *m_Machine->driver;
    uint16_t command = static_cast<uint16_t>(in[0] | in[1] << 8);
    const uint8_t* params = in + 8;

    const CommandFault* fault = nullptr;
    for (const CommandFault& f : driver.faults) {
      if (Matches(f.command, f.param0, f.param1, command, params)) {
        fault = &f;
        break;
      }
    }
    if (fault && fault->fail) return Fail(ERROR_GEN_FAILURE);

    std::vector<uint8_t> data;
    std::optional<uint16_t> supplied;
    const RawAnswer* raw = nullptr;
    for (const RawAnswer& r : driver.rawAnswers) {
      if (Matches(r.command, r.param0, r.param1, command, params)) {
        raw = &r;
        break;
      }
    }
    if (raw) {
      data = raw->data;
      supplied = raw->supplied;
    } else if (!BuildDriverAnswer(driver, command, params, data)) {
      return Fail(ERROR_INVALID_FUNCTION);
    }
    if (fault && fault->supplied) supplied = fault->supplied;
    uint16_t length = supplied ? *supplied : static_cast<uint16_t>(std::min<size_t>(data.size(), 0xFFFF));

    // The driver writes the length it claims, and only the data it has, within the caller's buffer.
    out[0] = static_cast<uint8_t>(length);
    out[1] = static_cast<uint8_t>(length >> 8);
    size_t copied = std::min<size_t>({data.size(), length, out_size - kFrameHeaderSize});
    std::memcpy(out + kFrameHeaderSize, data.data(), copied);
    *returned = static_cast<DWORD>(kFrameHeaderSize + copied);
    return TRUE;
  }

  BOOL ReadMemory(const uint8_t* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
    if (in_size != kAddressSize) return Fail(ERROR_INVALID_PARAMETER);
    if (m_Machine->driver->physicalReadFails) return Fail(ERROR_GEN_FAILURE);
    uint32_t address = static_cast<uint32_t>(in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24);
    ReadPhysical(*m_Machine, address, out, out_size);
    *returned = out_size;
    return TRUE;
  }

  static BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
  }

  std::shared_ptr<const Machine> m_Machine;
};

template <bool HealthDriver::*kExists>
HANDLE OpenHealthDevice(std::wstring_view, DWORD, DWORD, DWORD) {
  std::shared_ptr<const Machine> machine = Current();
  if (!machine->driver || !((*machine->driver).*kExists)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return AllocHandle(std::make_shared<HealthDevice>(std::move(machine)));
}

// The devices exist as names from the start; whether they open is the current machine's business.
const bool g_DevicesRegistered = [] {
  RegisterDevice(L"MQZ", &OpenHealthDevice<&HealthDriver::primaryDevice>);
  RegisterDevice(L"VrlHlth", &OpenHealthDevice<&HealthDriver::secondaryDevice>);
  return true;
}();

}  // namespace

bool BuildDriverAnswer(const HealthDriver& driver, uint16_t command, const uint8_t* params,
                       std::vector<uint8_t>& answer) {
  const CommandSize* known = std::find_if(std::begin(kCommandSizes), std::end(kCommandSizes),
                                          [&](const CommandSize& c) { return c.command == command; });
  if (known == std::end(kCommandSizes)) return false;
  answer.assign(known->size, 0);
  const DriverConfiguration& config = driver.configuration;
  const DriverBoard* board = FindBoard(driver, params[0]);
  const DriverModule* module = FindModule(board, params[1]);
  switch (command) {
    case 1700:
      Put32(answer, 0, config.socketsPerBoard);
      Put32(answer, 4, config.boardCount);
      PutMode(answer, 12, 24, config.raid);
      PutMode(answer, 16, 28, config.onlineSpare);
      PutMode(answer, 20, 32, config.mirroring1);
      PutMode(answer, 84, 88, config.advancedEcc);
      PutMode(answer, 92, 96, config.mirroring2);
      PutMode(answer, 100, 104, config.mirroring3);
      PutMode(answer, 108, 112, config.lockstep);
      break;
    case 1701:
      Put32(answer, 0, driver.protection.state);
      Put32(answer, 4, driver.protection.operatingSpeed);
      Put32(answer, 8, driver.protection.availableMemory);
      Put32(answer, 16, driver.protection.totalMemory);
      break;
    case 1702:
      if (!board) break;
      Put32(answer, 0, board->number);
      Put32(answer, 4, board->sockets ? board->sockets : config.socketsPerBoard);
      Put32(answer, 140, board->availableMemory);
      Put32(answer, 148, board->totalMemory);
      break;
    case 1705:
      if (!board) break;
      Put32(answer, 0, board->number);
      Put32(answer, 4, board->present ? 1 : 0);
      Put32(answer, 8, board->hotPlug ? 1 : 0);
      Put32(answer, 12, board->status);
      Put32(answer, 16, board->lockState);
      break;
    case 1706: {
      if (!module) break;
      Put32(answer, 12, module->present ? 1 : 0);
      Put32(answer, 54, module->formFactor);
      Put32(answer, 58, module->memoryType);
      Put32(answer, 62, module->sizeMiB);
      Put32(answer, 66, module->speedMHz);
      Put16(answer, 78, module->dataWidth);
      std::memcpy(&answer[90], module->partNumber.data(), std::min<size_t>(module->partNumber.size(), 32));
      Put32(answer, 122, module->spdValid ? 1 : 0);
      if (!module->spd.empty()) std::memcpy(&answer[126], module->spd.data(), std::min<size_t>(module->spd.size(), 256));
      break;
    }
    case 1707: {
      // An empty socket of a fitted board still answers with its board and socket number, as a
      // real driver does, and the status "not present"; a socket past the board's count answers zeros.
      if (!board) break;
      const uint32_t sockets = board->sockets ? board->sockets : config.socketsPerBoard;
      if (!module && (params[1] == 0 || params[1] > sockets)) break;
      Put32(answer, 0, board->number);
      Put32(answer, 4, module ? module->socket : params[1]);
      Put32(answer, 12, module ? module->status : kEmptySocketStatus);
      break;
    }
    case 1711:
      answer[0] = driver.ampPresent ? 1 : 0;
      answer[5] = driver.processorBoards ? 2 : 0;
      break;
  }
  return true;
}

}  // namespace qz::machine
