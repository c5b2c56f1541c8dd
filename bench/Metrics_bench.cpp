// One scrape of GET /metrics on a server of 4 boards x 24 sockets, without the HTTP around it: from
// instances answered before (the instances' text kept), and after a memory event each time (the
// provider rebuilds, and the text is written anew). Its size is the "bytes" counter.
#include <atlbase.h>
#include <benchmark/benchmark.h>
#include <objbase.h>
#include <qzplatform.h>
#include <wbemidl.h>

#include <string>

#include "bench/BenchServers.h"
#include "bench/BenchService.h"
#include "metrics/MemoryMetrics.h"
#include "tests/support/ModuleRoot.h"

namespace {

void Scrape(benchmark::State& state, bool afterEvent, qzwmi::metrics::Format format) {
  if (!qzbench::LoadServer(state, qzbench::ServerOf4x24(), "4x24.json")) return;
  CComPtr<IWbemServices> services = qzbench::ConnectVXN(state);
  if (!services) return;
  qzwmi::metrics::MemoryMetrics metrics;
  qzwmi::metrics::ServiceStats stats;
  DWORD event = 3000;
  qztest::SetMemoryEvent(event);
  std::string text;
  for (auto _ : state) {
    if (afterEvent) {
      state.PauseTiming();
      qztest::SetMemoryEvent(++event);
      state.ResumeTiming();
    }
    if (FAILED(metrics.Build(services, format, {"1.0.0", ""}, &stats, &text))) {
      state.SkipWithError("the metrics could not be built");
      return;
    }
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}

void BM_MetricsScrapeCached(benchmark::State& state) { Scrape(state, false, qzwmi::metrics::Format::Text); }
BENCHMARK(BM_MetricsScrapeCached)->Unit(benchmark::kMicrosecond);

void BM_MetricsScrapeAfterEvent(benchmark::State& state) { Scrape(state, true, qzwmi::metrics::Format::Text); }
BENCHMARK(BM_MetricsScrapeAfterEvent)->Unit(benchmark::kMicrosecond);

void BM_MetricsScrapeOpenMetricsCached(benchmark::State& state) { Scrape(state, false, qzwmi::metrics::Format::OpenMetrics); }
BENCHMARK(BM_MetricsScrapeOpenMetricsCached)->Unit(benchmark::kMicrosecond);

}  // namespace
