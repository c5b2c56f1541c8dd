// What kind of server the provider runs on (the platform probe and its four flags), and the memory
// functions the lists share: SMBIOS memory devices with their board and module numbers, the
// location-token parser and the failing modules named in the management journal.
#pragma once

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sources/SmbiosTable.h"
#include "support/Mutex.h"

// The platform flags: false at load, written only by ProbePlatform (under its mutex) and read by
// the lists without a lock, hence atomic: a rebuild may run while another thread probes. Each flag
// is read on its own; a reader that sees a probe half done sees the flags of the last probe or of
// the next one, which both describe the same server.
//
// The health driver describes the memory itself (command 1700 gave sockets per board and boards).
extern std::atomic<bool> g_bDriverMemoryData;
// The health driver's device opened at the last probe.
extern std::atomic<bool> g_bHealthDriverPresent;
// The driver answered command 1711 with memory-protection information; while false, the lists
// probe again before every rebuild.
extern std::atomic<bool> g_bAmpStatusValid;
// The memory sits on processor boards rather than on memory boards.
extern std::atomic<bool> g_bProcessorBoardMemory;

// The probe, one static instance per loaded module. Its mutex is the system-wide
// "Global\wmi_QZMemAmpChecker", so probes of every process that loads the module take turns.
class CQZMemAmpChecker {
 public:
  // Runs nothing, so the instance is usable whatever the order of the module's statics: the
  // module's load sequence runs the first probe, and the mutex is created by the first probe.
  constexpr CQZMemAmpChecker() = default;
  ~CQZMemAmpChecker() = default;
  CQZMemAmpChecker(const CQZMemAmpChecker&) = delete;
  CQZMemAmpChecker& operator=(const CQZMemAmpChecker&) = delete;

  // Asks the health driver (and, when the driver does not describe the memory, the first SMBIOS
  // memory device) and sets the four flags.
  void ProbePlatform();

  // Whether the last probe found the driver describing the memory (g_bDriverMemoryData).
  bool Result() const { return m_bResult; }

  // The probe's mutex, created and named at its first use.
  CMutex& Mutex();

 private:
  bool m_bResult = false;
  std::once_flag m_MutexCreated;
  std::unique_ptr<CMutex> m_pMutex;
};

extern CQZMemAmpChecker g_MemAmpChecker;

// The name the probe's mutex gets through CMutex::SetName.
inline constexpr const WCHAR* kMemAmpCheckerMutexName = L"QZMemAmpChecker";

// One SMBIOS memory device (type 17) with where it sits.
struct MemoryDeviceEntry {
  // The first 34 bytes of the structure; bytes past its own length (byte 1) are zero and carry
  // no meaning.
  BYTE data[kType17CopyLength] = {};
  SmbiosStrings strings;          // element 0 empty
  BYTE board = 0;                 // from LocateMemoryDevice, 0 when it found nothing
  BYTE module = 0;
  BYTE partitionRow = 0;          // from the type 20 structure that maps this device, else 0
  BYTE interleavePosition = 0;
};

using MemoryDeviceList = std::vector<MemoryDeviceEntry>;

// Fills `devices` with every type 17 structure in table order, loading the table first when none
// is held. False when there is no table or no memory device.
bool CollectMemoryDevices(MemoryDeviceList& devices);

// The board and module numbers of one type 17 structure (`type17` holds at least its 34 copied
// bytes): from its OEM location record (type 202) when one names its handle, else from the
// numbers after the tokens of its device locator. Both are 0 when nothing is found; true when
// either was found.
bool LocateMemoryDevice(const BYTE* type17, const SmbiosStrings& strings, BYTE& board, BYTE& module);

// The decimal number that follows the first `token` in `text`, over the letters, punctuation and
// blanks in between. A missing token or number is reported on standard output and gives false;
// `number` is then untouched.
[[nodiscard]] bool ParseTokenNumber(const std::wstring& text, const std::wstring& token, DWORD& number);

// A (board, module) pair, ordered by board, then module. Module kWholeBoard stands for the whole
// board.
using BoardModuleKey = std::pair<BYTE, BYTE>;
using JournalErrorSet = std::set<BoardModuleKey>;
inline constexpr BYTE kWholeBoard = 0xFF;

// Adds the modules and boards that the management journal's entries of severity above 3 name as
// failing. A failing query or an unreadable entry adds nothing. `context` is passed on to the query.
void ReadJournalErrors(IWbemContext* context, JournalErrorSet& errors);

// The journal query and where its entry fields sit in RawData.
inline constexpr const WCHAR* kJournalNamespace = L"root\\VXN";
inline constexpr const WCHAR* kJournalErrorQuery = L"SELECT RawData FROM QZ_CommonLogEntry WHERE Severity > 3";
inline constexpr DWORD kJournalRawDataCapacity = 256;
inline constexpr size_t kJournalClass = 8;          // 16 bits
inline constexpr size_t kJournalCode = 10;          // 16 bits
inline constexpr size_t kJournalBoard = 28;         // codes 1 and 2; for code 3 the pair count
inline constexpr size_t kJournalModule = 29;        // codes 1 and 2; for code 3 the first module
inline constexpr size_t kJournalPairBoard = 30;     // code 3: board of pair i at 30 + 2i
inline constexpr size_t kJournalPairModule = 29;    // code 3: module of pair i at 29 + 2i
inline constexpr WORD kJournalClassMemory = 3;
inline constexpr WORD kJournalCodeOneModule = 1;       // codes 1 and 2 name one (board, module)
inline constexpr WORD kJournalCodeOneModuleAlso = 2;
inline constexpr WORD kJournalCodeModuleList = 3;     // a count and that many pairs
