// The platform probe: whether the health driver is there and describes the memory, whether it has
// memory-protection information, and whether the memory sits on processor boards.
#include "sources/PlatformProbe.h"

#include <cwctype>

#include "sources/HealthDriver.h"

constinit std::atomic<bool> g_bDriverMemoryData{false};
constinit std::atomic<bool> g_bHealthDriverPresent{false};
constinit std::atomic<bool> g_bAmpStatusValid{false};
constinit std::atomic<bool> g_bProcessorBoardMemory{false};

constinit CQZMemAmpChecker g_MemAmpChecker;

namespace {

// Device locators of memory on processor boards name the processor.
constexpr const WCHAR* kProcessorLocatorWords[] = {L"PROC", L"CPU"};

// Whether the first SMBIOS memory device's locator names a processor. Loads the table when none
// is held; false without a table or a memory device.
bool FirstLocatorNamesProcessor() {
  if (!g_SmbiosTable.IsLoaded() && !g_SmbiosTable.LoadTable()) return false;
  BYTE device[kType17CopyLength] = {};
  BYTE length = kType17CopyLength;
  SmbiosStrings strings;
  if (!g_SmbiosTable.FindStructure(kSmbiosTypeMemoryDevice, 0, device, length, strings)) return false;
  const BYTE locatorNumber = length > kType17DeviceLocator ? device[kType17DeviceLocator] : 0;
  std::wstring locator = CSmbiosTable::GetString(locatorNumber, strings);
  for (WCHAR& c : locator) c = static_cast<WCHAR>(std::towupper(static_cast<wint_t>(c)));
  for (const WCHAR* word : kProcessorLocatorWords)
    if (locator.find(word) != std::wstring::npos) return true;
  return false;
}

}  // namespace

CMutex& CQZMemAmpChecker::Mutex() {
  std::call_once(m_MutexCreated, [this] {
    auto mutex = std::make_unique<CMutex>();
    mutex->SetName(kMemAmpCheckerMutexName);
    m_pMutex = std::move(mutex);
  });
  return *m_pMutex;
}

void CQZMemAmpChecker::ProbePlatform() {
  CLockGuard<CMutex> lock(Mutex());
  bool result = false;
  HANDLE device = INVALID_HANDLE_VALUE;
  g_bHealthDriverPresent = OpenHealthDriver(device);
  if (g_bHealthDriverPresent) {
    AmpStatusAnswer amp{};
    WORD length = sizeof(amp);
    if (DriverCommand(device, kCommandAmpStatus, &amp, length) == 0) {
      g_bAmpStatusValid = amp.present != 0;
      if (amp.present != 0) g_bProcessorBoardMemory = (amp.flags & kAmpFlagProcessorBoards) != 0;
    }

    MemoryConfigurationAnswer configuration{};
    length = sizeof(configuration);
    if (DriverCommand(device, kCommandMemoryConfiguration, &configuration, length) == 0 &&
        configuration.socketsPerBoard != 0 && configuration.boardCount != 0) {
      result = true;
    } else if (FirstLocatorNamesProcessor()) {
      // The SMBIOS check only ever adds processor boards; only command 1711 takes them away.
      g_bProcessorBoardMemory = true;
    }
    CloseHealthDriver(device);
  }
  m_bResult = result;
  g_bDriverMemoryData = result;
}
