// Access to the server's health driver: opening its device, the command request and answer frame,
// the layout of every answer the system reads, and reads of physical memory.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <initializer_list>

#include "support/AutoHandle.h"

// True at load; false from the first time the device \\.\MQZ cannot be opened, never set back.
extern std::atomic<bool> g_bPrimaryDriverDevice;

// Device names, in the order OpenHealthDriver tries them.
inline constexpr const WCHAR* kPrimaryDriverDevice = L"\\\\.\\MQZ";
inline constexpr const WCHAR* kSecondaryDriverDevice = L"\\\\.\\VrlHlth";

// I/O control codes: device type 7, functions 0x878 and 0x855, buffered, any access.
constexpr DWORD kIoctlDriverCommand = 0x721E0;
constexpr DWORD kIoctlReadPhysicalMemory = 0x72154;

// Command numbers.
constexpr WORD kCommandMemoryConfiguration = 1700;
constexpr WORD kCommandProtectionState = 1701;
constexpr WORD kCommandBoardInfo = 1702;
constexpr WORD kCommandBoardNumbering = 1705;
constexpr WORD kCommandModuleInfo = 1706;
constexpr WORD kCommandModuleStatus = 1707;
constexpr WORD kCommandAmpStatus = 1711;

// At most this many parameter bytes travel with a command.
constexpr size_t kMaxCommandParams = 8;

#pragma pack(push, 1)

// The 16-byte command request.
struct DriverCommandRequest {
  WORD command;
  WORD requestedLength;
  DWORD reserved;
  BYTE params[kMaxCommandParams];
};
static_assert(sizeof(DriverCommandRequest) == 16);

// Command 1700. Usable when socketsPerBoard and boardCount are both non-zero; the mode fields are
// flags (non-zero = yes).
struct MemoryConfigurationAnswer {
  DWORD socketsPerBoard;         // 0
  DWORD boardCount;              // 4
  DWORD reserved8;               // 8
  DWORD raidOffered;             // 12
  DWORD onlineSpareOffered;      // 16
  DWORD mirroringOffered;        // 20
  DWORD raidSelected;            // 24
  DWORD onlineSpareSelected;     // 28
  DWORD mirroringSelected;       // 32
  BYTE reserved36[48];           // 36
  DWORD advancedEccOffered;      // 84
  DWORD advancedEccSelected;     // 88
  DWORD mirroring2Offered;       // 92
  DWORD mirroring2Selected;      // 96
  DWORD mirroring3Offered;       // 100
  DWORD mirroring3Selected;      // 104
  DWORD lockstepOffered;         // 108
  DWORD lockstepSelected;        // 112
};
static_assert(sizeof(MemoryConfigurationAnswer) == 116);
static_assert(offsetof(MemoryConfigurationAnswer, advancedEccOffered) == 84);
static_assert(offsetof(MemoryConfigurationAnswer, lockstepSelected) == 112);

// Command 1701.
struct ProtectionStateAnswer {
  DWORD protectionState;   // 0: 0-14
  DWORD operatingSpeed;    // 4
  DWORD availableMemory;   // 8
  DWORD reserved12;        // 12
  DWORD totalMemory;       // 16: MiB
  DWORD reserved20;        // 20
};
static_assert(sizeof(ProtectionStateAnswer) == 24);
static_assert(offsetof(ProtectionStateAnswer, totalMemory) == 16);

// Command 1702 (parameter: board index).
struct BoardInfoAnswer {
  DWORD boardNumber;       // 0: 0 = no board slot at this index
  DWORD socketCount;       // 4
  BYTE reserved8[132];     // 8
  DWORD availableMemory;   // 140
  DWORD reserved144;       // 144
  DWORD totalMemory;       // 148
};
static_assert(sizeof(BoardInfoAnswer) == 152);
static_assert(offsetof(BoardInfoAnswer, availableMemory) == 140);
static_assert(offsetof(BoardInfoAnswer, totalMemory) == 148);

// Command 1705 (parameter: board index). For index 0, boardNumber 0 with present set means that
// board indexes begin at 0.
struct BoardNumberingAnswer {
  DWORD boardNumber;       // 0
  DWORD present;           // 4
  DWORD hotPlug;           // 8
  DWORD status;            // 12: the board status code
  DWORD lockState;         // 16
  BYTE reserved20[40];     // 20
};
static_assert(sizeof(BoardNumberingAnswer) == 60);
static_assert(offsetof(BoardNumberingAnswer, lockState) == 16);

// Command 1706 (parameters: board, socket).
struct ModuleInfoAnswer {
  BYTE reserved0[12];      // 0
  DWORD present;           // 12
  BYTE reserved16[38];     // 16
  DWORD formFactor;        // 54: SMBIOS type 17 coding
  DWORD memoryType;        // 58: SMBIOS type 17 coding
  DWORD sizeMiB;           // 62
  DWORD speedMHz;          // 66
  BYTE reserved70[8];      // 70
  WORD dataWidth;          // 78
  BYTE reserved80[10];     // 80
  char partNumber[32];     // 90: zero-padded, not necessarily terminated
  DWORD spdValid;          // 122
  BYTE spd[256];           // 126
};
static_assert(sizeof(ModuleInfoAnswer) == 382);
static_assert(offsetof(ModuleInfoAnswer, formFactor) == 54);
static_assert(offsetof(ModuleInfoAnswer, dataWidth) == 78);
static_assert(offsetof(ModuleInfoAnswer, partNumber) == 90);
static_assert(offsetof(ModuleInfoAnswer, spdValid) == 122);
static_assert(offsetof(ModuleInfoAnswer, spd) == 126);

// Command 1707 (parameters: board, socket).
struct ModuleStatusAnswer {
  DWORD boardNumber;       // 0
  DWORD socketNumber;      // 4
  DWORD reserved8;         // 8
  DWORD status;            // 12: the module status code
  BYTE reserved16[40];     // 16
};
static_assert(sizeof(ModuleStatusAnswer) == 56);

// Command 1711.
struct AmpStatusAnswer {
  BYTE present;            // 0: memory-protection information present
  BYTE reserved1[4];       // 1
  BYTE flags;              // 5
};
static_assert(sizeof(AmpStatusAnswer) == 6);

#pragma pack(pop)

// AmpStatusAnswer::flags: the memory sits on processor boards.
constexpr BYTE kAmpFlagProcessorBoards = 0x02;

// Opens \\.\MQZ, else \\.\VrlHlth (read/write, shared read/write, existing). True when one opened;
// the caller then owns `device`. Clears g_bPrimaryDriverDevice when \\.\MQZ does not open.
[[nodiscard]] bool OpenHealthDriver(HANDLE& device);

// Closes `device` when it is valid and leaves it INVALID_HANDLE_VALUE.
void CloseHealthDriver(HANDLE& device);

// OpenHealthDriver into an owner that closes the device on every path.
[[nodiscard]] bool OpenHealthDriver(CAutoHandle& device);

// "Health (or MQZ) driver not found" at Information under `functionName`: what a list logs when it
// finds no health driver to build from.
void LogHealthDriverNotFound(const WCHAR* functionName);

// Sends `command` with up to eight parameter bytes (the low byte of each; more are ignored) and
// copies min(length, the driver's supplied length) answer bytes into `answer`; the rest of `answer`
// keeps its contents. `length` is not changed. 0 on success, 1 when the request fails.
int DriverCommand(HANDLE device, WORD command, void* answer, WORD& length,
                  std::initializer_list<DWORD> params = {});

// Copies `length` bytes of physical memory from `address` into `buffer` through \\.\VrlHlth, opened
// and closed for this call. Non-zero on success; 0 when the device does not open or the read fails.
BOOL ReadPhysicalMemory(DWORD address, DWORD length, void* buffer);
