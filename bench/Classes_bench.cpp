// Every class of the module on a server of 4 boards x 24 sockets, all filled: an enumeration that
// rebuilds the class's list (the memory-event counter moves before each one) and one that answers
// from the cache (the counter stands).
#include <atlbase.h>
#include <benchmark/benchmark.h>
#include <objbase.h>
#include <qzplatform.h>

#include <string>

#include "logical/QZMemoryCollectionProv.h"
#include "logical/QZMemoryRedundancySetProv.h"
#include "logical/QZWinMemoryProv.h"
#include "logical/QZWinSystemMemoryProv.h"
#include "physical/QZMemoryBoardProv.h"
#include "physical/QZMemoryBoardSlotProv.h"
#include "physical/QZMemoryModuleProv.h"
#include "physical/QZMemoryModuleSlotProv.h"
#include "bench/BenchServers.h"
#include "sources/PlatformProbe.h"
#include "tests/support/ModuleRoot.h"
#include "tests/support/WbemDoubles.h"

namespace {

// The server, the module's classes and an initialised provider of `Provider`.
template <class Provider>
CComPtr<Provider> Setup(benchmark::State& state) {
  char error[256] = {};
  if (!QzLoadMachineText(qzbench::ServerOf4x24().c_str(), "4x24.json", error, sizeof error) ||
      FAILED(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, error, sizeof error))) {
    state.SkipWithError(error);
    return nullptr;
  }
  g_MemAmpChecker.ProbePlatform();
  CComPtr<IWbemLocator> locator;
  CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, reinterpret_cast<void**>(&locator));
  CComPtr<IWbemServices> services;
  locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  CComPtr<Provider> provider;
  provider.Attach(new Provider());
  qztest::TestInitSink init;
  provider->Initialize(nullptr, 0, const_cast<LPWSTR>(L"root\\VXN"), nullptr, services, nullptr, &init);
  return provider;
}

size_t Enumerate(IWbemServices* provider, const wchar_t* cls) {
  qztest::TestSink sink;
  provider->CreateInstanceEnumAsync(CComBSTR(cls), 0, nullptr, &sink);
  return sink.objects.size();
}

template <class Provider>
void BM_Rebuild(benchmark::State& state, const wchar_t* cls) {
  CComPtr<Provider> provider = Setup<Provider>(state);
  if (!provider) return;
  DWORD event = 1;
  size_t count = 0;
  for (auto _ : state) {
    state.PauseTiming();
    qztest::SetMemoryEvent(++event);
    state.ResumeTiming();
    count = Enumerate(provider, cls);
  }
  state.counters["instances"] = static_cast<double>(count);
}

template <class Provider>
void BM_Cached(benchmark::State& state, const wchar_t* cls) {
  CComPtr<Provider> provider = Setup<Provider>(state);
  if (!provider) return;
  qztest::SetMemoryEvent(1);
  Enumerate(provider, cls);
  Enumerate(provider, cls);
  size_t count = 0;
  for (auto _ : state) count = Enumerate(provider, cls);
  state.counters["instances"] = static_cast<double>(count);
}

template <class Provider>
void Register(const char* name, const wchar_t* cls) {
  benchmark::RegisterBenchmark((std::string("Rebuild/") + name).c_str(), &BM_Rebuild<Provider>, cls)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark((std::string("Cached/") + name).c_str(), &BM_Cached<Provider>, cls)
      ->Unit(benchmark::kMicrosecond);
}

[[maybe_unused]] const bool g_Registered = [] {
  Register<CQZMemoryModuleProv>("QZ_MemoryModule", L"QZ_MemoryModule");
  Register<CQZMemoryBoardProv>("QZ_MemoryBoard", L"QZ_MemoryBoard");
  Register<CQZMemoryModuleSlotProv>("QZ_MemoryModuleSlot", L"QZ_MemoryModuleSlot");
  Register<CQZMemoryBoardSlotProv>("QZ_MemoryBoardSlot", L"QZ_MemoryBoardSlot");
  Register<CQZMemoryRedundancySetProv>("QZ_MemoryRedundancySet", L"QZ_MemoryRedundancySet");
  Register<CQZMemoryCollectionProv>("QZ_MemoryCollection", L"QZ_MemoryCollection");
  Register<CQZWinMemoryProv>("QZ_WinMemory", L"QZ_WinMemory");
  Register<CQZWinSystemMemoryProv>("QZ_WinSystemMemory", L"QZ_WinSystemMemory");
  return true;
}();

}  // namespace
