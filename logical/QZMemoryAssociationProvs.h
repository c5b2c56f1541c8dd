// The providers of the ten memory associations: each publishes the pairs of its own list under
// its class's two role names.
#pragma once

#include "logical/QZAssociation.h"
#include "logical/QZMemoryAssociationLists.h"

// Class, provider name and role keys of each provider.
extern const ProviderDescription kHostedMemoryCollectionProviderDescription;
extern const ProviderDescription kMemberOfMemoryCollectionProviderDescription;
extern const ProviderDescription kMemberOfMemoryRedundancySetProviderDescription;
extern const ProviderDescription kHostedMemoryRedundancySetProviderDescription;
extern const ProviderDescription kRealizesMemoryModuleProviderDescription;
extern const ProviderDescription kMemoryModuleInSlotProviderDescription;
extern const ProviderDescription kMemoryBoardInSlotProviderDescription;
extern const ProviderDescription kMemoryModuleSlotOnBoardProviderDescription;
extern const ProviderDescription kSystemMemoryModuleSlotProviderDescription;
extern const ProviderDescription kSystemMemoryBoardSlotProviderDescription;

// QZ_HostedMemoryCollection: Antecedent the computer system, Dependent the memory collection.
class CQZHostedMemoryCollectionProv : public CQZAssociationProv<CQZHostedMemoryCollectionList> {
 public:
  CQZHostedMemoryCollectionProv() : CQZAssociationProv(kHostedMemoryCollectionProviderDescription) {}
};

// QZ_MemberOfMemoryCollection: Collection the memory collection, Member a module or a board.
class CQZMemberOfMemoryCollectionProv : public CQZAssociationProv<CQZMemberOfMemoryCollectionList> {
 public:
  CQZMemberOfMemoryCollectionProv() : CQZAssociationProv(kMemberOfMemoryCollectionProviderDescription) {}
};

// QZ_MemberOfMemoryRedundancySet: Collection the redundancy set, Member a board.
class CQZMemberOfMemoryRedundancySetProv : public CQZAssociationProv<CQZMemberOfMemoryRedundancySetList> {
 public:
  CQZMemberOfMemoryRedundancySetProv() : CQZAssociationProv(kMemberOfMemoryRedundancySetProviderDescription) {}
};

// QZ_HostedMemoryRedundancySet: OwningElement the computer system, OwnedElement the redundancy set.
class CQZHostedMemoryRedundancySetProv : public CQZAssociationProv<CQZHostedMemoryRedundancySetList> {
 public:
  CQZHostedMemoryRedundancySetProv() : CQZAssociationProv(kHostedMemoryRedundancySetProviderDescription) {}
};

// QZ_RealizesMemoryModule: Antecedent a module, Dependent the system memory extent.
class CQZRealizesMemoryModuleProv : public CQZAssociationProv<CQZRealizesMemoryModuleList> {
 public:
  CQZRealizesMemoryModuleProv() : CQZAssociationProv(kRealizesMemoryModuleProviderDescription) {}
};

// QZ_MemoryModuleInSlot: Antecedent a module socket, Dependent the module in it.
class CQZMemoryModuleInSlotProv : public CQZAssociationProv<CQZMemoryModuleInSlotList> {
 public:
  CQZMemoryModuleInSlotProv() : CQZAssociationProv(kMemoryModuleInSlotProviderDescription) {}
};

// QZ_MemoryBoardInSlot: Antecedent a board slot, Dependent the board in it.
class CQZMemoryBoardInSlotProv : public CQZAssociationProv<CQZMemoryBoardInSlotList> {
 public:
  CQZMemoryBoardInSlotProv() : CQZAssociationProv(kMemoryBoardInSlotProviderDescription) {}
};

// QZ_MemoryModuleSlotOnBoard: GroupComponent a board, PartComponent a module socket on it.
class CQZMemoryModuleSlotOnBoardProv : public CQZAssociationProv<CQZMemoryModuleSlotOnBoardList> {
 public:
  CQZMemoryModuleSlotOnBoardProv() : CQZAssociationProv(kMemoryModuleSlotOnBoardProviderDescription) {}
};

// QZ_SystemMemoryModuleSlot: GroupComponent the chassis, PartComponent a module socket.
class CQZSystemMemoryModuleSlotProv : public CQZAssociationProv<CQZSystemMemoryModuleSlotList> {
 public:
  CQZSystemMemoryModuleSlotProv() : CQZAssociationProv(kSystemMemoryModuleSlotProviderDescription) {}
};

// QZ_SystemMemoryBoardSlot: GroupComponent the chassis, PartComponent a board slot.
class CQZSystemMemoryBoardSlotProv : public CQZAssociationProv<CQZSystemMemoryBoardSlotList> {
 public:
  CQZSystemMemoryBoardSlotProv() : CQZAssociationProv(kSystemMemoryBoardSlotProviderDescription) {}
};
