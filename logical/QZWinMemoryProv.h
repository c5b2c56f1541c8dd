// The provider of QZ_WinMemory: the system memory extent of the static system memory list.
#pragma once

#include <string>

#include "framework/RecordProvider.h"
#include "logical/QZWinMemoryList.h"

// The class, its provider's names and its keys (CreationClassName, SystemCreationClassName,
// SystemName, DeviceID).
extern const ProviderDescription kWinMemoryProviderDescription;
// CreationClassName, SystemCreationClassName and SystemName are always put, the last with the
// computer's name asked for at each fill (the fill fails when it cannot be had).
extern const RecordTable<CQZWinMemory> kWinMemoryTable;

class CQZWinMemoryProv : public CQZRecordProv<CQZWinMemoryList> {
 public:
  CQZWinMemoryProv() : CQZRecordProv(kWinMemoryProviderDescription, kWinMemoryTable, g_WinMemoryList.Get()) {}

 protected:
  DWORD GetKeyComputerName(std::wstring* name) override;
};
