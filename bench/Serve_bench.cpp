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
#include "bench/BenchService.h"
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

bool SetUp(benchmark::State& state) { return qzbench::LoadServer(state, qzbench::ServerOf(4, 16), "4x16.json"); }

void BM_ServeEnumerationOnly(benchmark::State& state) {
  if (!SetUp(state)) return;
  CComPtr<IWbemServices> services = qzbench::ConnectVXN(state);
  if (!services) return;
  size_t count = 0;
  for (auto _ : state) count = qzbench::CountInstances(services, L"QZ_MemoryModule");
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
