// Costs of the support services on the hot path: a log call below the level, a written log line,
// and an uncontended CMutex.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "qzplatform.h"
#include "support/CommonLog.h"
#include "support/Mutex.h"

namespace {

// Benchmarks run in a root of their own, created once per process.
struct BenchRoot {
  BenchRoot() {
    if (!getenv("QZWMI_ROOT")) {
      static std::string root = "/tmp/qzwmi-bench-XXXXXX";
      if (mkdtemp(root.data())) setenv("QZWMI_ROOT", root.c_str(), 1);
      atexit([] { QzRemoveRuntimeArea(); });
    }
  }
};
BenchRoot g_BenchRoot;

void SuppressedLogCall(benchmark::State& state) {
  CCommonLog log;
  log.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");  // level 3: Verbose is suppressed
  for (auto _ : state) benchmark::DoNotOptimize(log.LogVerbose(L"Entering %d", 1));
}
BENCHMARK(SuppressedLogCall);

void WrittenLogLine(benchmark::State& state) {
  CCommonLog log;
  log.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
  for (auto _ : state) {
    log.Lock();
    log.SetFunctionName(L"CQZMemoryModuleProv::CreateInstanceEnumAsync");
    log.LogInformation(L"Returning %d instances", 64);
    log.Unlock();
  }
}
BENCHMARK(WrittenLogLine);

void UnnamedMutexLockUnlock(benchmark::State& state) {
  CMutex mutex;
  for (auto _ : state) {
    mutex.Lock();
    mutex.Unlock();
  }
}
BENCHMARK(UnnamedMutexLockUnlock);

void NamedMutexLockUnlock(benchmark::State& state) {
  CMutex mutex;
  mutex.SetName(L"BenchNamed");
  for (auto _ : state) {
    mutex.Lock();
    mutex.Unlock();
  }
}
BENCHMARK(NamedMutexLockUnlock);

}  // namespace
