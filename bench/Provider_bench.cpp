// A cached enumeration through the provider pattern: 1,000 instances handed to a sink while the
// list holds a good build and the memory-event counter stands.
#include <benchmark/benchmark.h>

#include <string>

#include "framework/InstanceProvider.h"
#include "tests/support/SystemFixture.h"
#include "tests/support/WbemDoubles.h"

namespace {

struct BenchRecord {
  std::wstring tag;
};

class BenchList : public CQZRecordList<BenchRecord> {
 public:
  explicit BenchList(int count) : m_Count(count) {}

 protected:
  bool RebuildList(IWbemContext*) override {
    ClearRecords();
    for (int i = 0; i < m_Count; ++i) AddRecord().tag = L"VXN:Test:0-" + std::to_wstring(i);
    m_bWatchEvents = TRUE;
    return true;
  }

 private:
  int m_Count;
};

const KeyDescription kKeys[] = {{L"Tag", KeyMatch::Record, nullptr},
                                {L"CreationClassName", KeyMatch::Fixed, L"QZ_Test"}};
const ProviderDescription kDescription = {L"QZ_Test", L"CQZTestProv", nullptr, false, 0x8, kKeys, 2, false};

class BenchProvider : public CQZInstanceProvider {
 public:
  explicit BenchProvider(int count) : CQZInstanceProvider(kDescription), m_List(count) {}

 protected:
  CQZList& List() override { return m_List; }
  HRESULT FillInstance(IWbemClassObject* instance, DWORD index) override {
    HRESULT hr = qztest::PutString(instance, L"Tag", m_List.GetAt(index)->tag);
    if (SUCCEEDED(hr)) hr = qztest::PutString(instance, L"CreationClassName", L"QZ_Test");
    if (SUCCEEDED(hr)) hr = qztest::PutI4(instance, L"Number", static_cast<LONG>(index));
    return hr;
  }
  const WCHAR* GetRecordKey(DWORD index, size_t) override { return m_List.GetAt(index)->tag.c_str(); }

 private:
  BenchList m_List;
};

// A sink that only counts, as the service's does before it forwards.
class CountingSink : public qztest::TestSink {
 public:
  STDMETHODIMP Indicate(LONG count, IWbemClassObject**) override {
    indicated += count;
    return WBEM_S_NO_ERROR;
  }
  STDMETHODIMP SetStatus(LONG, HRESULT result, BSTR, IWbemClassObject*) override {
    status = result;
    return WBEM_S_NO_ERROR;
  }
  long long indicated = 0;
};

void CachedEnumeration(benchmark::State& state) {
  int count = static_cast<int>(state.range(0));
  qztest::SetRegDword(L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", L"QZ_MemoryEvent", 1);
  IWbemServices* ns = qztest::MakeTestNamespace();
  BenchProvider* provider = new BenchProvider(count);
  qztest::TestInitSink init;
  provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init);
  CountingSink sink;
  provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink);  // builds the cache
  provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink);  // sees the counter once
  for (auto _ : state) provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink);
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["ns_per_instance"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count), benchmark::Counter::kIsRate |
                                                                             benchmark::Counter::kInvert);
  provider->Release();
  ns->Release();
}
BENCHMARK(CachedEnumeration)->Arg(1000);

void RebuiltEnumeration(benchmark::State& state) {
  int count = static_cast<int>(state.range(0));
  IWbemServices* ns = qztest::MakeTestNamespace();
  BenchProvider* provider = new BenchProvider(count);
  qztest::TestInitSink init;
  provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init);
  CountingSink sink;
  DWORD counter = 100;
  for (auto _ : state) {
    state.PauseTiming();
    qztest::SetRegDword(L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", L"QZ_MemoryEvent", ++counter);
    state.ResumeTiming();
    provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink);
  }
  state.SetItemsProcessed(state.iterations() * count);
  provider->Release();
  ns->Release();
}
BENCHMARK(RebuiltEnumeration)->Arg(1000);

}  // namespace
