// The element-location association lists: each slot paired with the path of its location. The
// location's path is composed from the slot's numbers, not looked up in the location lists.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>

#include "physical/QZSlotLocationList.h"

// The pair: both are full object paths and both are keys.
class CQZElementLocation {
 public:
  const std::wstring& GetPhysicalLocation() const { return m_PhysicalLocation; }
  const std::wstring& GetElement() const { return m_Element; }
  void Set(const std::wstring& element, const std::wstring& physicalLocation) {
    m_Element = element;
    m_PhysicalLocation = physicalLocation;
  }

 private:
  std::wstring m_PhysicalLocation;  // the location
  std::wstring m_Element;           // the slot
};

// What distinguishes the module socket associations from the board slot ones.
struct SlotElementLocationClassDescription {
  const WCHAR* className;
  const SlotLocationClassDescription& location;  // the slots it reads and how their locations are named
  const WCHAR* listMutexName;                    // behind "Global\wmi_"
  const WCHAR* rebuildFunction;
};

inline constexpr SlotElementLocationClassDescription kModuleSlotElementLocationClass = {
    L"QZ_MemoryModuleSlotElementLocation",
    kModuleSlotLocationClass,
    L"CQZMemoryModuleSlotElementLocationList",
    L"CQZMemoryModuleSlotElementLocationList::RebuildList",
};

inline constexpr SlotElementLocationClassDescription kBoardSlotElementLocationClass = {
    L"QZ_MemoryBoardSlotElementLocation",
    kBoardSlotLocationClass,
    L"CQZMemoryBoardSlotElementLocationList",
    L"CQZMemoryBoardSlotElementLocationList::RebuildList",
};

// An association list of either class, owned by its provider object. It starts without valid data
// (generation 0) and does not watch memory events.
class CQZSlotElementLocationList : public CQZSlotDerivedList<CQZElementLocation> {
 public:
  explicit CQZSlotElementLocationList(const SlotElementLocationClassDescription& associationClass);

  // Rebuilt at every request whose slot list has valid data, so the generation moves each time.
  // Takes the list's own system-wide lock, then the slot list's.
  DWORD Update(IWbemContext* pCtx) override;

 protected:
  // One pair per slot, in slot order; empty without the driver. Always true.
  bool RebuildList(IWbemContext* pCtx) override;

 private:
  const SlotElementLocationClassDescription& m_Class;
};

class CQZMemoryModuleSlotElementLocationList : public CQZSlotElementLocationList {
 public:
  CQZMemoryModuleSlotElementLocationList() : CQZSlotElementLocationList(kModuleSlotElementLocationClass) {}
};

class CQZMemoryBoardSlotElementLocationList : public CQZSlotElementLocationList {
 public:
  CQZMemoryBoardSlotElementLocationList() : CQZSlotElementLocationList(kBoardSlotElementLocationClass) {}
};
