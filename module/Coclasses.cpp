// The coclass table of the module.
#include "module/Coclasses.h"

#include <objbase.h>

#include <iterator>
#include <new>

#include "logical/QZMemoryAssociationProvs.h"
#include "logical/QZMemoryCollectionProv.h"
#include "logical/QZMemoryRedundancySetProv.h"
#include "logical/QZWinMemoryProv.h"
#include "logical/QZWinSystemMemoryProv.h"
#include "physical/QZMemoryBoardProv.h"
#include "physical/QZMemoryBoardSlotProv.h"
#include "physical/QZMemoryModuleProv.h"
#include "physical/QZMemoryModuleSlotProv.h"

namespace {

template <class Provider>
HRESULT Create(REFIID riid, void** ppv) {
  Provider* provider = new (std::nothrow) Provider();
  if (!provider) return E_OUTOFMEMORY;
  HRESULT hr = provider->QueryInterface(riid, ppv);
  provider->Release();
  return hr;
}

constexpr CoclassEntry kCoclasses[] = {
    {L"{2C21A4B6-C51A-4990-B440-B0841534F73A}", L"CQZWinMemoryProv", L"QZWmiMemory.QZWinMemoryProv",
     L"QZWinMemoryProv Class", &Create<CQZWinMemoryProv>},
    {L"{D57B64F7-8728-4717-BD9C-A09719A06BA0}", L"CQZMemoryModuleProv", L"QZWmiMemory.QZMemoryModuleProv",
     L"QZMemoryModuleProv Class", &Create<CQZMemoryModuleProv>},
    {L"{2D070527-5F3F-4A0C-B426-2E598F6D470D}", L"CQZMemoryBoardProv", L"QZWmiMemory.QZMemoryBoardProv",
     L"QZMemoryBoardProv Class", &Create<CQZMemoryBoardProv>},
    {L"{E15DD35F-55DC-4EF1-A484-F1748D2AB540}", L"CQZMemoryRedundancySetProv", L"QZWmiMemory.QZMemRedSetProv",
     L"QZMemoryRedundancySetProv Class", &Create<CQZMemoryRedundancySetProv>},
    {L"{1376FC15-A0AA-4120-9F27-112A0563B46B}", L"CQZMemoryCollectionProv", L"QZWmiMemory.QZMemCollectionProv",
     L"QZMemoryCollectionProv Class", &Create<CQZMemoryCollectionProv>},
    {L"{5F3D5012-F8A8-402F-97CF-927FE49BA9ED}", L"CQZMemoryModuleSlotProv", L"QZWmiMemory.QZMemModSlotProv",
     L"QZMemoryModuleSlotProv Class", &Create<CQZMemoryModuleSlotProv>},
    {L"{F02891C9-B0EC-431F-A4FF-5CD52E606442}", L"CQZMemoryBoardSlotProv", L"QZWmiMemory.QZMemBrdSlotProv",
     L"QZMemoryBoardSlotProv Class", &Create<CQZMemoryBoardSlotProv>},
    {L"{77A35C3A-021B-431F-96F6-EBF160890D93}", L"CQZMemoryModuleSlotLocationProv",
     L"QZWmiMemory.QZMemoryModuleSlotLocProv", L"QZMemoryModuleSlotLocationProv Class", nullptr},
    {L"{6625029A-F578-48ED-8D43-C942802AFAB2}", L"CQZMemoryBoardSlotLocationProv",
     L"QZWmiMemory.QZMemoryBoardSlotLocProv", L"QZMemoryBoardSlotLocationProv Class", nullptr},
    {L"{4BFA8822-90AC-47A9-80A1-C69E323B0EF9}", L"CQZWinSystemMemoryProv", L"QZWmiMemory.QZWinSystemMemoryProv",
     L"QZWinSystemMemoryProv Class", &Create<CQZWinSystemMemoryProv>},
    {L"{29AAF9B1-C8F1-40E4-849C-96C4E47BE022}", L"CQZHostedMemoryCollectionProv", L"QZWmiMemory.QZHstdMemColProv",
     L"QZHostedMemoryCollectionProv Class", &Create<CQZHostedMemoryCollectionProv>},
    {L"{B5755B6F-92B0-43D3-8B86-70CC7FC5FB8E}", L"CQZMemberOfMemoryCollectionProv",
     L"QZWmiMemory.QZMemberOfMemColProv", L"QZMemberOfMemoryCollectionProv Class", &Create<CQZMemberOfMemoryCollectionProv>},
    {L"{0463893E-FC6A-40E5-9405-DC3A332B333C}", L"CQZMemberOfMemoryRedundancySetProv",
     L"QZWmiMemory.QZMemberOfMemRedSetProv", L"QZMemberOfMemoryRedundancySetProv Class", &Create<CQZMemberOfMemoryRedundancySetProv>},
    {L"{FC13609A-F52B-4617-9960-4D41EED966B0}", L"CQZHostedMemoryRedundancySetProv",
     L"QZWmiMemory.QZHstdMemRedSetProv", L"QZHostedMemoryRedundancySetProv Class", &Create<CQZHostedMemoryRedundancySetProv>},
    {L"{30051697-96F2-4ACB-935E-320B435354C1}", L"CQZRealizesMemoryModuleProv", L"QZWmiMemory.QZRealizesMemModProv",
     L"QZRealizesMemoryModuleProv Class", &Create<CQZRealizesMemoryModuleProv>},
    {L"{8AC606AD-9B6F-4B16-B3CE-E0B663141804}", L"CQZMemoryModuleInSlotProv", L"QZWmiMemory.QZMemModInSlotProv",
     L"QZMemoryModuleInSlotProv Class", &Create<CQZMemoryModuleInSlotProv>},
    {L"{21EDAFA6-388B-4BC5-85A6-EEEFFA50595D}", L"CQZMemoryBoardInSlotProv", L"QZWmiMemory.QZMemBrdInSlotProv",
     L"QZMemoryBoardInSlotProv Class", &Create<CQZMemoryBoardInSlotProv>},
    {L"{117BD4E6-C6D8-46A7-B009-9B6A03E6CC18}", L"CQZMemoryModuleSlotOnBoardProv",
     L"QZWmiMemory.QZMemModSlotOnBrdProv", L"QZMemoryModuleSlotOnBoardProv Class", &Create<CQZMemoryModuleSlotOnBoardProv>},
    {L"{3AE35E33-3DF8-478A-B320-887F0D8FA442}", L"CQZSystemMemoryModuleSlotProv", L"QZWmiMemory.QZSysMemModSlotProv",
     L"QZSystemMemoryModuleSlotProv Class", &Create<CQZSystemMemoryModuleSlotProv>},
    {L"{9D24FBDC-47AF-4800-A55C-08B77B458238}", L"CQZSystemMemoryBoardSlotProv", L"QZWmiMemory.QZSysMemBrdSlotProv",
     L"QZSystemMemoryBoardSlotProv Class", &Create<CQZSystemMemoryBoardSlotProv>},
    {L"{C4298B58-ECB2-4E7E-A820-5AF37C9A6A91}", L"CQZMemoryModuleSlotElementLocationProv",
     L"QZWmiMemory.QZMemModSlotElmntLocProv", L"QZMemoryModuleSlotElementLocationProv Class", nullptr},
    {L"{3BA2B94A-BFA4-4C06-ACCD-3F2800446CF0}", L"CQZMemoryBoardSlotElementLocationProv",
     L"QZWmiMemory.QZMemBrdSlotElmntLocProv", L"QZMemoryBoardSlotElementLocationProv Class", nullptr},
};

static_assert(std::size(kCoclasses) == kCoclassCount);

}  // namespace

std::span<const CoclassEntry> Coclasses() { return kCoclasses; }

const CoclassEntry* FindCoclass(REFCLSID clsid) {
  for (const CoclassEntry& entry : kCoclasses) {
    CLSID candidate;
    if (SUCCEEDED(CLSIDFromString(entry.clsid, &candidate)) && candidate == clsid) return &entry;
  }
  return nullptr;
}
