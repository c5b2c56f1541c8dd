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

namespace {

const wchar_t* const kClasses[] = {
    L"QZ_MemoryModule",           L"QZ_MemoryBoard",
    L"QZ_MemoryModuleSlot",       L"QZ_MemoryBoardSlot",
    L"QZ_MemoryModuleSlotLocation", L"QZ_MemoryBoardSlotLocation",
    L"QZ_MemoryModuleSlotElementLocation", L"QZ_MemoryBoardSlotElementLocation",
    L"QZ_MemoryRedundancySet",    L"QZ_MemoryCollection",
    L"QZ_WinMemory",              L"QZ_WinSystemMemory",
    L"QZ_HostedMemoryCollection", L"QZ_MemberOfMemoryCollection",
    L"QZ_MemberOfMemoryRedundancySet", L"QZ_HostedMemoryRedundancySet",
    L"QZ_RealizesMemoryModule",   L"QZ_MemoryModuleInSlot",
    L"QZ_MemoryBoardInSlot",      L"QZ_MemoryModuleSlotOnBoard",
    L"QZ_SystemMemoryModuleSlot", L"QZ_SystemMemoryBoardSlot",
};

std::string ServerOf4x24() {
  std::string boards;
  for (int board = 1; board <= 4; ++board) {
    std::string modules;
    for (int socket = 1; socket <= 24; ++socket) {
      modules += std::string(modules.empty() ? "" : ",") + R"({"socket": )" + std::to_string(socket) +
                 R"(, "sizeMiB": 16384, "speedMHz": 2933, "partNumber": "VX16G-R2933-D4"})";
    }
    boards += std::string(boards.empty() ? "" : ",") + R"({"index": )" + std::to_string(board) +
              R"(, "sockets": 24, "modules": [)" + modules + "]}";
  }
  return R"({"name": "4x24", "driver": {"configuration": {"advancedEcc": {"offered": true, "selected": true}},
            "protection": {"state": 4, "operatingSpeed": 2933}, "boards": [)" +
         boards + "]}}";
}

void SetMemoryEvent(DWORD value) {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", 0, nullptr,
                  REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  RegSetValueExW(key, L"QZ_MemoryEvent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

// The root set up as qzwmi sets it up (module registered, classes kept), the server loaded, and a
// connection to root\VXN.
CComPtr<IWbemServices> Connect(benchmark::State& state) {
  char error[256] = {};
  HMODULE module = LoadLibraryW(std::wstring(QZ_MODULE_FILE, QZ_MODULE_FILE + sizeof(QZ_MODULE_FILE) - 1).c_str());
  auto registerServer = module ? reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer")) : nullptr;
  if (!registerServer || FAILED(registerServer())) {
    state.SkipWithError("the module does not register");
    return nullptr;
  }
  FreeLibrary(module);
  if (FAILED(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", TRUE, error, sizeof error)) ||
      !QzLoadMachineText(ServerOf4x24().c_str(), "4x24.json", error, sizeof error)) {
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
  for (const wchar_t* cls : kClasses) {
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
    SetMemoryEvent(++event);
    state.ResumeTiming();
    count = EnumerateAll(services);
  }
  state.counters["instances"] = static_cast<double>(count);
}
BENCHMARK(BM_AllClassesCold)->Unit(benchmark::kMillisecond);

void BM_AllClassesCached(benchmark::State& state) {
  CComPtr<IWbemServices> services = Connect(state);
  if (!services) return;
  SetMemoryEvent(1);
  EnumerateAll(services);
  EnumerateAll(services);
  size_t count = 0;
  for (auto _ : state) count = EnumerateAll(services);
  state.counters["instances"] = static_cast<double>(count);
}
BENCHMARK(BM_AllClassesCached)->Unit(benchmark::kMillisecond);

}  // namespace
