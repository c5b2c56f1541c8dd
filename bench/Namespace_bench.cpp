// The whole namespace on a server of 4 boards x 24 sockets, all filled, through the WMI service
// and the loaded module, as a management console reads it: every class enumerated once. "Cold"
// moves the memory-event counter before each pass, so every list that watches events is rebuilt;
// "Cached" leaves it standing, so the providers answer from their instance caches.
#include <atlbase.h>
#include <benchmark/benchmark.h>
#include <objbase.h>
#include <qzplatform.h>
#include <windows.h>
#include <wbemidl.h>

#include <iterator>
#include <string>

#include "bench/BenchServers.h"
#include "tests/support/ModuleRoot.h"

namespace {

// The root set up as qzwmi sets it up (module registered, classes kept), the server loaded, and a
// connection to root\VXN.
CComPtr<IWbemServices> Connect(benchmark::State& state) {
  std::string reason;
  if (!qztest::SetUpModuleRoot(&reason)) {
    state.SkipWithError(reason.c_str());
    return nullptr;
  }
  char error[256] = {};
  if (!QzLoadMachineText(qzbench::ServerOf4x24().c_str(), "4x24.json", error, sizeof error)) {
    state.SkipWithError(error);
    return nullptr;
  }
  CComPtr<IWbemLocator> locator;
  CComPtr<IWbemServices> services;
  CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, reinterpret_cast<void**>(&locator));
  if (!locator || FAILED(locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services)))
    state.SkipWithError("no connection to root\\VXN");
  return services;
}

// One pass over every class: the number of instances seen.
size_t EnumerateAll(IWbemServices* services) {
  size_t total = 0;
  for (const wchar_t* cls : qztest::kModuleClasses) {
    CComPtr<IEnumWbemClassObject> enumerator;
    if (FAILED(services->CreateInstanceEnum(CComBSTR(cls), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator))) continue;
    IWbemClassObject* batch[64];
    ULONG returned = 0;
    HRESULT hr;
    do {
      hr = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), static_cast<ULONG>(std::size(batch)), batch, &returned);
      for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
      total += returned;
    } while (hr == WBEM_S_NO_ERROR);
  }
  return total;
}

void BM_AllClassesCold(benchmark::State& state) {
  CComPtr<IWbemServices> services = Connect(state);
  if (!services) return;
  DWORD event = 1;
  size_t count = 0;
  for (auto _ : state) {
    state.PauseTiming();
    qztest::SetMemoryEvent(++event);
    state.ResumeTiming();
    count = EnumerateAll(services);
  }
  state.counters["instances"] = static_cast<double>(count);
}
BENCHMARK(BM_AllClassesCold)->Unit(benchmark::kMillisecond);

void BM_AllClassesCached(benchmark::State& state) {
  CComPtr<IWbemServices> services = Connect(state);
  if (!services) return;
  qztest::SetMemoryEvent(1);
  EnumerateAll(services);
  EnumerateAll(services);
  size_t count = 0;
  for (auto _ : state) count = EnumerateAll(services);
  state.counters["instances"] = static_cast<double>(count);
}
BENCHMARK(BM_AllClassesCached)->Unit(benchmark::kMillisecond);

}  // namespace
