// The class descriptions of the ten memory association providers.
#include "logical/QZMemoryAssociationProvs.h"

namespace {

// Every association is looked up by an instance path naming both of its references.
constexpr ProviderDescription Association(const WCHAR* className, const WCHAR* providerName,
                                          const KeyDescription (&roles)[2]) {
  return {className, providerName, nullptr, false, WBEMPATH_INFO_IS_INST_REF, roles, 2, false};
}

}  // namespace

const ProviderDescription kHostedMemoryCollectionProviderDescription =
    Association(L"QZ_HostedMemoryCollection", L"CQZHostedMemoryCollectionProv", kAntecedentDependentKeys);
const ProviderDescription kMemberOfMemoryCollectionProviderDescription =
    Association(L"QZ_MemberOfMemoryCollection", L"CQZMemberOfMemoryCollectionProv", kCollectionMemberKeys);
const ProviderDescription kMemberOfMemoryRedundancySetProviderDescription =
    Association(L"QZ_MemberOfMemoryRedundancySet", L"CQZMemberOfMemoryRedundancySetProv", kCollectionMemberKeys);
const ProviderDescription kHostedMemoryRedundancySetProviderDescription =
    Association(L"QZ_HostedMemoryRedundancySet", L"CQZHostedMemoryRedundancySetProv", kOwningOwnedKeys);
const ProviderDescription kRealizesMemoryModuleProviderDescription =
    Association(L"QZ_RealizesMemoryModule", L"CQZRealizesMemoryModuleProv", kAntecedentDependentKeys);
const ProviderDescription kMemoryModuleInSlotProviderDescription =
    Association(L"QZ_MemoryModuleInSlot", L"CQZMemoryModuleInSlotProv", kAntecedentDependentKeys);
const ProviderDescription kMemoryBoardInSlotProviderDescription =
    Association(L"QZ_MemoryBoardInSlot", L"CQZMemoryBoardInSlotProv", kAntecedentDependentKeys);
const ProviderDescription kMemoryModuleSlotOnBoardProviderDescription =
    Association(L"QZ_MemoryModuleSlotOnBoard", L"CQZMemoryModuleSlotOnBoardProv", kGroupPartKeys);
const ProviderDescription kSystemMemoryModuleSlotProviderDescription =
    Association(L"QZ_SystemMemoryModuleSlot", L"CQZSystemMemoryModuleSlotProv", kGroupPartKeys);
const ProviderDescription kSystemMemoryBoardSlotProviderDescription =
    Association(L"QZ_SystemMemoryBoardSlot", L"CQZSystemMemoryBoardSlotProv", kGroupPartKeys);
