// The registry change counters shared with the server's other management components: every list
// reads the memory-event counter, and the data-store gate advances all five.
#pragma once

#include <windows.h>

struct EventCounterEntry {
  ULONG_PTR root;  // a predefined registry root, as its handle value
  const WCHAR* keyPath;
  const WCHAR* valueName;
};

// HKEY_LOCAL_MACHINE as its handle value: the 32-bit constant, sign-extended as on 64-bit Windows.
inline constexpr ULONG_PTR kHklmRoot = static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000002u)));

inline constexpr EventCounterEntry g_EventCounterTable[] = {
    {kHklmRoot, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_SensorHardwareIndication", L"QZ_FanEvent"},
    {kHklmRoot, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_SensorHardwareIndication", L"QZ_PowerSupplyEvent"},
    {kHklmRoot, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_SensorHardwareIndication", L"QZ_TempSensorFailureEvent"},
    {kHklmRoot, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", L"QZ_MemoryEvent"},
    {kHklmRoot, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_SystemHardwareIndication", L"QZ_ASRStateChangeEvent"},
};

// The entry that every list's Update reads.
inline constexpr size_t kMemoryEventEntry = 3;

// Reads the memory-event counter; false when its key cannot be opened or the value is not a
// four-byte REG_DWORD. The key is created (volatile) when it is missing.
[[nodiscard]] bool ReadMemoryEventCounter(DWORD* value);

// Adds one to each of the five counters in table order (an unreadable value counts as 0; the
// addition wraps at 32 bits). Entries whose key cannot be opened are passed over.
void AdvanceEventCounters();
