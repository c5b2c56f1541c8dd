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
#include "tests/support/ModuleRoot.h"

namespace {

// 4 boards of 16 sockets, all filled: the server serve_bench measures over HTTP.
std::string ServerOf4x16() {
  std::string boards;
  for (int board = 1; board <= 4; ++board) {
    std::string modules;
    for (int socket = 1; socket <= 16; ++socket)
      modules += std::string(modules.empty() ? "" : ",") + R"({"socket": )" + std::to_string(socket) +
                 R"(, "sizeMiB": 16384, "speedMHz": 2933, "partNumber": "VX16G-R2933-D4"})";
    boards += std::string(boards.empty() ? "" : ",") + R"({"index": )" + std::to_string(board) +
              R"(, "sockets": 16, "modules": [)" + modules + "]}";
  }
  return R"({"name": "4x16", "driver": {"configuration": {"advancedEcc": {"offered": true, "selected": true}},
            "protection": {"state": 4, "operatingSpeed": 2933}, "boards": [)" +
         boards + "]}}";
}

bool SetUp(benchmark::State& state) {
  std::string reason;
  if (!qztest::SetUpModuleRoot(&reason)) {
    state.SkipWithError(reason.c_str());
    return false;
  }
  char error[256] = {};
  if (!QzLoadMachineText(ServerOf4x16().c_str(), "4x16.json", error, sizeof error)) {
    state.SkipWithError(error);
    return false;
  }
  qztest::SetMemoryEvent(1);
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
  qzwmi::serve::CimRequest request;
  request.messageId = "4711";
  request.method = "EnumerateInstances";
  request.nameSpace = {"root", "VXN"};
  request.className = "QZ_MemoryModule";
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
  qzwmi::serve::CimRequest request;
  request.messageId = "4711";
  request.method = "EnumerateInstances";
  request.nameSpace = {"root", "VXN"};
  request.className = "QZ_MemoryModule";
  qzwmi::serve::KeepAnswerMemory();
  qzwmi::serve::CimOperations operations;
  DWORD event = 1;
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
