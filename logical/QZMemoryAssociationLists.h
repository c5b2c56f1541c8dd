// The lists of the ten associations that tie the memory objects to each other, to the computer
// system and to its chassis. Each is a member of its provider.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include "logical/QZAssociation.h"

// The relative paths of the fixed objects an association refers to.
inline constexpr const WCHAR* kMemoryCollectionPath =
    L"QZ_MemoryCollection.InstanceID=\"VXN:QZ_MemoryCollection:001\"";
inline constexpr const WCHAR* kMemoryRedundancySetPath =
    L"QZ_MemoryRedundancySet.InstanceID=\"VXN:QZ_MemoryRedundancySet:001\"";
// System creation class name, computer name.
inline constexpr const WCHAR* kSystemMemoryPathFormat =
    L"QZ_WinMemory.CreationClassName=\"QZ_WinMemory\",DeviceID=\"VXN:QZ_WinMemory:001\","
    L"SystemCreationClassName=\"%ls\",SystemName=\"%ls\"";
// Board, socket.
inline constexpr const WCHAR* kModuleSlotPathFormat =
    L"QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",Tag=\"VXN:QZ_MemoryModuleSlot:%d-%d\"";
// Board.
inline constexpr const WCHAR* kBoardSlotPathFormat =
    L"QZ_MemoryBoardSlot.CreationClassName=\"QZ_MemoryBoardSlot\",Tag=\"VXN:QZ_MemoryBoardSlot:%d\"";

// The full path of the system memory extent of this computer, named by its fixed device ID. A
// computer name that cannot be had leaves SystemName empty.
std::wstring SystemMemoryReference();

// The update rules, element lists and mutex names of the ten lists, one row each.
extern const AssociationListDescription kHostedMemoryCollectionListDescription;
extern const AssociationListDescription kMemberOfMemoryCollectionListDescription;
extern const AssociationListDescription kMemberOfMemoryRedundancySetListDescription;
extern const AssociationListDescription kHostedMemoryRedundancySetListDescription;
extern const AssociationListDescription kRealizesMemoryModuleListDescription;
extern const AssociationListDescription kMemoryModuleInSlotListDescription;
extern const AssociationListDescription kMemoryBoardInSlotListDescription;
extern const AssociationListDescription kMemoryModuleSlotOnBoardListDescription;
extern const AssociationListDescription kSystemMemoryModuleSlotListDescription;
extern const AssociationListDescription kSystemMemoryBoardSlotListDescription;

// The computer system hosts the memory collection. Built once.
class CQZHostedMemoryCollectionList : public CQZAssociationList {
 public:
  CQZHostedMemoryCollectionList() : CQZAssociationList(kHostedMemoryCollectionListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// The memory collection has every module, then every board, as members.
class CQZMemberOfMemoryCollectionList : public CQZAssociationList {
 public:
  CQZMemberOfMemoryCollectionList() : CQZAssociationList(kMemberOfMemoryCollectionListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// The redundancy set has every board as a member, when the driver describes the memory.
class CQZMemberOfMemoryRedundancySetList : public CQZAssociationList {
 public:
  CQZMemberOfMemoryRedundancySetList() : CQZAssociationList(kMemberOfMemoryRedundancySetListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// The computer system owns the redundancy set, when the driver describes the memory. Built once,
// or until the data store has data and the driver describes the memory.
class CQZHostedMemoryRedundancySetList : public CQZAssociationList {
 public:
  CQZHostedMemoryRedundancySetList() : CQZAssociationList(kHostedMemoryRedundancySetListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// Every module realises part of the system memory extent.
class CQZRealizesMemoryModuleList : public CQZAssociationList {
 public:
  CQZRealizesMemoryModuleList() : CQZAssociationList(kRealizesMemoryModuleListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// Every module sits in the socket its tag names.
class CQZMemoryModuleInSlotList : public CQZAssociationList {
 public:
  CQZMemoryModuleInSlotList() : CQZAssociationList(kMemoryModuleInSlotListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// Every board sits in the board slot its tag names.
class CQZMemoryBoardInSlotList : public CQZAssociationList {
 public:
  CQZMemoryBoardInSlotList() : CQZAssociationList(kMemoryBoardInSlotListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// Every board carries the module sockets whose tag names its board number.
class CQZMemoryModuleSlotOnBoardList : public CQZAssociationList {
 public:
  CQZMemoryModuleSlotOnBoardList() : CQZAssociationList(kMemoryModuleSlotOnBoardListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// The chassis holds every module socket.
class CQZSystemMemoryModuleSlotList : public CQZAssociationList {
 public:
  CQZSystemMemoryModuleSlotList() : CQZAssociationList(kSystemMemoryModuleSlotListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};

// The chassis holds every board slot.
class CQZSystemMemoryBoardSlotList : public CQZAssociationList {
 public:
  CQZSystemMemoryBoardSlotList() : CQZAssociationList(kSystemMemoryBoardSlotListDescription) {}

 protected:
  bool RebuildList(IWbemContext* pCtx) override;
};
