// What the in-process benchmarks stand on: the root set up as qzwmi sets it up, one of the
// benchmark servers loaded, a connection to root\VXN, and counting what a class enumerates.
#pragma once

#include <atlbase.h>
#include <benchmark/benchmark.h>
#include <objbase.h>
#include <qzplatform.h>
#include <wbemidl.h>

#include <iterator>
#include <string>

#include "tests/support/ModuleRoot.h"

namespace qzbench {

// The root set up (module registered, classes kept) and `machine` loaded, under a memory event
// the lists have not seen, so that whatever an earlier benchmark of the process left in them is
// rebuilt from this server. False, with the benchmark skipped, when that fails.
inline bool LoadServer(benchmark::State& state, const std::string& machine, const char* name) {
  std::string reason;
  if (!qztest::SetUpModuleRoot(&reason)) {
    state.SkipWithError(reason.c_str());
    return false;
  }
  char error[256] = {};
  if (!QzLoadMachineText(machine.c_str(), name, error, sizeof error)) {
    state.SkipWithError(error);
    return false;
  }
  static DWORD event = 1000;
  qztest::SetMemoryEvent(++event);
  return true;
}

// The service of root\VXN; null, with the benchmark skipped, when there is none.
inline CComPtr<IWbemServices> ConnectVXN(benchmark::State& state) {
  CComPtr<IWbemLocator> locator;
  CComPtr<IWbemServices> services;
  CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, reinterpret_cast<void**>(&locator));
  if (!locator || FAILED(locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services)))
    state.SkipWithError("no connection to root\\VXN");
  return services;
}

// The instances of `cls` and of the classes derived from it, counted and let go; 0 when the
// enumeration cannot start.
inline size_t CountInstances(IWbemServices* services, const wchar_t* cls) {
  CComPtr<IEnumWbemClassObject> enumerator;
  if (FAILED(services->CreateInstanceEnum(CComBSTR(cls), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator))) return 0;
  size_t total = 0;
  IWbemClassObject* batch[64];
  ULONG returned = 0;
  HRESULT hr;
  do {
    hr = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), static_cast<ULONG>(std::size(batch)), batch, &returned);
    for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
    total += returned;
  } while (hr == WBEM_S_NO_ERROR);
  return total;
}

}  // namespace qzbench
