// The system memory association list: the one pair that ties the system memory extent to the
// computer system.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>

#include "framework/QZList.h"

inline constexpr const WCHAR* kWinSystemMemoryClass = L"QZ_WinSystemMemory";
// The extent's relative path with its fixed device ID; system creation class name, computer name.
inline constexpr const WCHAR* kWinSystemMemoryPartFormat =
    L"QZ_WinMemory.CreationClassName=\"QZ_WinMemory\",DeviceID=\"VXN:QZ_WinMemory:001\",SystemCreationClassName=\"%ls\",SystemName=\"%ls\"";
// The list's mutex, behind "Global\wmi_".
inline constexpr const WCHAR* kWinSystemMemoryListMutexName = L"CQZWinSystemMemoryList";

// The pair: both are full object paths and both are keys.
class CQZWinSystemMemory {
 public:
  const std::wstring& GetGroupComponent() const { return m_GroupComponent; }
  const std::wstring& GetPartComponent() const { return m_PartComponent; }

  std::wstring m_GroupComponent;  // the computer system
  std::wstring m_PartComponent;   // the system memory extent
};

class CQZWinSystemMemoryList : public CQZRecordList<CQZWinSystemMemory> {
 public:
  CQZWinSystemMemoryList();

 protected:
  // The pair, whenever the health driver is present. It names the extent by its fixed device ID,
  // so it does not depend on the system memory list having a record. Always true.
  bool RebuildList(IWbemContext* pCtx) override;
};
