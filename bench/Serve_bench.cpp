// What `qzwmi serve` spends on one EnumerateInstances of 64 memory modules, without the HTTP
// around it: the service's enumeration alone, then the whole answer as CIM-XML, from instances
// answered before and from instances the provider has just rebuilt.
#include <atlbase.h>
#include <benchmark/benchmark.h>
#include <objbase.h>
#include <qzplatform.h>
#include <wbemidl.h>

#include <string>

#include "serve/CimOperations.h"
#include "serve/CimServer.h"
#include "bench/BenchServers.h"
#include "tests/support/ModuleRoot.h"

namespace {

// EnumerateInstances of the memory modules, as a client asks for it.
qzwmi::serve::CimRequest EnumerateModules() {
  qzwmi::serve::CimRequest request;
  request.messageId = "4711";
  request.method = "EnumerateInstances";
  request.nameSpace = {"root", "VXN"};
  request.className = "QZ_MemoryModule";
  return request;
}

bool SetUp(benchmark::State& state) {
  std::string reason;
  if (!qztest::SetUpModuleRoot(&reason)) {
    state.SkipWithError(reason.c_str());
    return false;
  }
  char error[256] = {};
  if (!QzLoadMachineText(qzbench::ServerOf(4, 16).c_str(), "4x16.json", error, sizeof error)) {
    state.SkipWithError(error);
    return false;
  }
  // A memory event the lists have not seen: whatever an earlier benchmark of this process left in
  // them is rebuilt from this server.
  static DWORD event = 1000;
  qztest::SetMemoryEvent(++event);
  return true;
}

void BM_ServeEnumerationOnly(benchmark::State& state) {
  if (!SetUp(state)) return;
  CComPtr<IWbemLocator> locator;
  CComPtr<IWbemServices> services;
  CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, reinterpret_cast<void**>(&locator));
  if (!locator || FAILED(locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services))) {
    state.SkipWithError("no connection to root\\VXN");
    return;
  }
  size_t count = 0;
  for (auto _ : state) {
    count = 0;
    CComPtr<IEnumWbemClassObject> enumerator;
    services->CreateInstanceEnum(CComBSTR(L"QZ_MemoryModule"), static_cast<LONG>(WBEM_FLAG_DEEP) | WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator);
    IWbemClassObject* batch[64];
    ULONG returned = 0;
    HRESULT hr;
    do {
      hr = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 64, batch, &returned);
      for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
      count += returned;
    } while (hr == WBEM_S_NO_ERROR);
  }
  state.counters["instances"] = static_cast<double>(count);
}
BENCHMARK(BM_ServeEnumerationOnly)->Unit(benchmark::kMicrosecond);

void BM_ServeEnumerateInstances(benchmark::State& state) {
  if (!SetUp(state)) return;
  const qzwmi::serve::CimRequest request = EnumerateModules();
  qzwmi::serve::KeepAnswerMemory();
  qzwmi::serve::CimOperations operations;
  size_t bytes = 0;
  for (auto _ : state) bytes = operations.Execute(request, "localhost").size();
  operations.Release();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ServeEnumerateInstances)->Unit(benchmark::kMicrosecond);

// The same after a memory event each time: the provider rebuilds its instances, so the answer is
// written anew from them.
void BM_ServeEnumerateInstancesAfterEvent(benchmark::State& state) {
  if (!SetUp(state)) return;
  const qzwmi::serve::CimRequest request = EnumerateModules();
  qzwmi::serve::KeepAnswerMemory();
  qzwmi::serve::CimOperations operations;
  DWORD event = 2000;
  size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    qztest::SetMemoryEvent(++event);
    state.ResumeTiming();
    bytes = operations.Execute(request, "localhost").size();
  }
  operations.Release();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ServeEnumerateInstancesAfterEvent)->Unit(benchmark::kMicrosecond);

}  // namespace
