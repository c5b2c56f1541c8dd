// The hardware sources and the memory module provider, measured: the SMBIOS memory-device
// collection on the largest captured table and on 1,024 devices, a driver command, a WMI query of
// one object, and the module list's rebuild, cached enumeration and lookup by path.
#include <benchmark/benchmark.h>
#include <objbase.h>
#include <qzplatform.h>

#include <filesystem>
#include <string>

#include "machine/machine.h"
#include "physical/QZMemoryModuleList.h"
#include "physical/QZMemoryModuleProv.h"
#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"
#include "tests/support/WbemDoubles.h"

namespace {

const std::string kCorpus = QZ_SOURCE_DIR "/tests/data/smbios";

// The largest captured table, by file size.
std::string LargestDump() {
  std::string largest;
  std::uintmax_t size = 0;
  for (const char* folder : {"", "/extra"}) {
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus + folder)) {
      if (entry.path().extension() == ".bin" && entry.file_size() > size) {
        size = entry.file_size();
        largest = entry.path().string();
      }
    }
  }
  return largest;
}

void CollectFrom(benchmark::State& state, const std::vector<BYTE>& table) {
  if (!g_SmbiosTable.SetTableForTesting(table)) {
    state.SkipWithError("table refused");
    return;
  }
  MemoryDeviceList devices;
  for (auto _ : state) {
    CollectMemoryDevices(devices);
    benchmark::DoNotOptimize(devices.data());
  }
  state.counters["devices"] = static_cast<double>(devices.size());
}

void BM_CollectMemoryDevicesLargestDump(benchmark::State& state) {
  qz::machine::Smbios smbios;
  std::string error;
  const std::string file = LargestDump();
  if (!qz::machine::LoadSmbiosFile(file, smbios, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  state.SetLabel(std::filesystem::path(file).filename().string());
  CollectFrom(state, smbios.table);
}
BENCHMARK(BM_CollectMemoryDevicesLargestDump)->Unit(benchmark::kMicrosecond);

void BM_CollectMemoryDevices1024(benchmark::State& state) {
  // Version 2.1 structures with one short string each, so that 1,024 devices with their mapped
  // addresses and location records fit the 64 KiB a table can have.
  std::vector<qz::machine::SmbiosMemoryDevice> devices(1024);
  for (size_t i = 0; i < devices.size(); ++i) {
    devices[i].deviceLocator = "DIMM " + std::to_string(i % 32 + 1);
    devices[i].size = 8192;
    devices[i].partitionRow = 1;
    devices[i].interleavePosition = static_cast<uint8_t>(i % 4 + 1);
    devices[i].oemBoard = static_cast<uint8_t>(i / 32 + 1);
    devices[i].oemModule = static_cast<uint8_t>(i % 32 + 1);
  }
  CollectFrom(state, qz::machine::BuildSmbiosTable(devices, 2, 1));
}
BENCHMARK(BM_CollectMemoryDevices1024)->Unit(benchmark::kMicrosecond);

void LoadMachine(benchmark::State& state, const std::string& json) {
  char error[256] = {};
  if (!QzLoadMachineText(json.c_str(), "bench.json", error, sizeof error)) state.SkipWithError(error);
}

void LoadDefaultMachine(benchmark::State& state) {
  char error[256] = {};
  if (!QzLoadMachine(QZ_SOURCE_DIR "/machines/default.json", error, sizeof error)) state.SkipWithError(error);
}

void BM_DriverCommandRoundTrip(benchmark::State& state) {
  LoadDefaultMachine(state);
  HANDLE device = INVALID_HANDLE_VALUE;
  if (!OpenHealthDriver(device)) {
    state.SkipWithError("no driver");
    return;
  }
  MemoryConfigurationAnswer answer{};
  for (auto _ : state) {
    WORD length = sizeof answer;
    benchmark::DoNotOptimize(DriverCommand(device, 1700, &answer, length));
  }
  CloseHealthDriver(device);
}
BENCHMARK(BM_DriverCommandRoundTrip);

void BM_ExecWmiQueryOneObject(benchmark::State& state) {
  LoadDefaultMachine(state);
  WmiObjectList results;
  for (auto _ : state) {
    ExecWmiQuery(L"root\\wmi", L"SELECT * FROM DataStoreStatus", results);
    benchmark::DoNotOptimize(results.data());
  }
}
BENCHMARK(BM_ExecWmiQueryOneObject)->Unit(benchmark::kMicrosecond);

// A server with `count` modules: boards of 32 sockets, all filled.
std::string DriverMachine(int count) {
  const int sockets = count < 32 ? count : 32;
  std::string boards;
  for (int board = 1; board <= count / sockets; ++board) {
    std::string modules;
    for (int socket = 1; socket <= sockets; ++socket) {
      modules += std::string(modules.empty() ? "" : ",") + R"({"socket": )" + std::to_string(socket) +
                 R"(, "sizeMiB": 8192, "speedMHz": 2666, "partNumber": "VX8G-R2666-D4"})";
    }
    boards += std::string(boards.empty() ? "" : ",") + R"({"index": )" + std::to_string(board) +
              R"(, "sockets": )" + std::to_string(sockets) + R"(, "modules": [)" + modules + "]}";
  }
  return R"({"name": "bench", "driver": {"boards": [)" + boards + "]}}";
}

// The service with the module's classes, and a provider of QZ_MemoryModule initialised on it.
class ProviderFixture {
 public:
  explicit ProviderFixture(benchmark::State& state) {
    char error[256] = {};
    if (FAILED(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, error, sizeof error))) {
      state.SkipWithError(error);
      return;
    }
    CComPtr<IWbemLocator> locator;
    CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                     reinterpret_cast<void**>(&locator));
    locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &m_Services);
    m_Provider.Attach(new CQZMemoryModuleProv());
    qztest::TestInitSink init;
    m_Provider->Initialize(nullptr, 0, const_cast<LPWSTR>(L"root\\VXN"), nullptr, m_Services, nullptr, &init);
  }
  HRESULT Enumerate(int* count) {
    qztest::TestSink sink;
    m_Provider->CreateInstanceEnumAsync(CComBSTR(L"QZ_MemoryModule"), 0, nullptr, &sink);
    *count = static_cast<int>(sink.objects.size());
    return sink.status;
  }
  CQZMemoryModuleProv* Provider() { return m_Provider; }

 private:
  CComPtr<IWbemServices> m_Services;
  CComPtr<CQZMemoryModuleProv> m_Provider;
};

void BM_MemoryModuleRebuild(benchmark::State& state) {
  LoadMachine(state, DriverMachine(static_cast<int>(state.range(0))));
  g_MemAmpChecker.ProbePlatform();
  // Without a memory-event counter (whatever an earlier benchmark left) every Update rebuilds.
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication");
  CQZMemoryModuleList& list = g_MemoryModuleList.Get();
  for (auto _ : state) {
    list.Lock();
    benchmark::DoNotOptimize(list.Update(nullptr));
    list.Unlock();
  }
  state.counters["modules"] = static_cast<double>(list.GetCount());
}
BENCHMARK(BM_MemoryModuleRebuild)->Arg(64)->Arg(1024)->Unit(benchmark::kMicrosecond);

void BM_MemoryModuleCachedEnumeration(benchmark::State& state) {
  LoadMachine(state, DriverMachine(64));
  g_MemAmpChecker.ProbePlatform();
  ProviderFixture fixture(state);
  int count = 0;
  fixture.Enumerate(&count);
  // A counter that stands keeps the list's build, so the enumeration answers from its cache.
  HKEY key = nullptr;
  DWORD one = 1;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", 0, nullptr,
                  REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  RegSetValueExW(key, L"QZ_MemoryEvent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  RegCloseKey(key);
  fixture.Enumerate(&count);
  for (auto _ : state) fixture.Enumerate(&count);
  state.counters["instances"] = count;
}
BENCHMARK(BM_MemoryModuleCachedEnumeration)->Unit(benchmark::kMicrosecond);

void BM_MemoryModuleGetByPath(benchmark::State& state) {
  LoadMachine(state, DriverMachine(64));
  g_MemAmpChecker.ProbePlatform();
  ProviderFixture fixture(state);
  HKEY key = nullptr;
  DWORD one = 1;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", 0, nullptr,
                  REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  RegSetValueExW(key, L"QZ_MemoryEvent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  RegCloseKey(key);
  CComBSTR path(L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:2-17\"");
  HRESULT status = S_OK;
  for (auto _ : state) {
    qztest::TestSink sink;
    fixture.Provider()->GetObjectAsync(path, 0, nullptr, &sink);
    status = sink.status;
  }
  if (status != WBEM_S_NO_ERROR) state.SkipWithError("the module was not found");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemoryModuleGetByPath)->Unit(benchmark::kMicrosecond);

}  // namespace
