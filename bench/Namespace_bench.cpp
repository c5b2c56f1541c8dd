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
#include "bench/BenchService.h"
#include "tests/support/ModuleRoot.h"

namespace {

// The 4 x 24 server loaded and a connection to root\VXN.
CComPtr<IWbemServices> Connect(benchmark::State& state) {
  if (!qzbench::LoadServer(state, qzbench::ServerOf4x24(), "4x24.json")) return nullptr;
  return qzbench::ConnectVXN(state);
}

// One pass over every class: the number of instances seen.
size_t EnumerateAll(IWbemServices* services) {
  size_t total = 0;
  for (const wchar_t* cls : qztest::kModuleClasses) total += qzbench::CountInstances(services, cls);
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
