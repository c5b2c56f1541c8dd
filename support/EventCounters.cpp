// Reading the memory-event counter and advancing all change counters.
#include "support/EventCounters.h"

#include "support/AutoHandle.h"

namespace {

// Create-or-open, volatile when created here; an existing key keeps its kind.
bool OpenCounterKey(const EventCounterEntry& entry, CAutoKey* key) {
  return RegCreateKeyExW(reinterpret_cast<HKEY>(entry.root), entry.keyPath, 0, nullptr, REG_OPTION_VOLATILE,
                         KEY_READ | KEY_WRITE, nullptr, key->Receive(), nullptr) == ERROR_SUCCESS;
}

}  // namespace

bool ReadMemoryEventCounter(DWORD* value) {
  const EventCounterEntry& entry = g_EventCounterTable[kMemoryEventEntry];
  CAutoKey key;
  if (!OpenCounterKey(entry, &key)) return false;
  return ReadRegDword(key.Get(), entry.valueName, value);
}

void AdvanceEventCounters() {
  for (const EventCounterEntry& entry : g_EventCounterTable) {
    CAutoKey key;
    if (!OpenCounterKey(entry, &key)) continue;
    DWORD count = 0;
    if (!ReadRegDword(key.Get(), entry.valueName, &count)) count = 0;
    ++count;
    RegSetValueExW(key.Get(), entry.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
  }
}
