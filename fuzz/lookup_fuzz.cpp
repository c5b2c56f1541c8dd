// Fuzzes the lookup by object path of the memory module provider: any bytes, read as a path, are
// answered either with one instance and one final status, or with a failure returned by the call
// and nothing sent to the sink.
#include <atlbase.h>
#include <objbase.h>
#include <qzplatform.h>
#include <wbemidl.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "physical/QZMemoryModuleProv.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class CountingSink : public IWbemObjectSink {
 public:
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Indicate(LONG count, IWbemClassObject** objects) override {
    for (LONG i = 0; i < count; ++i) Check(objects[i] != nullptr);
    indicated += count;
    return WBEM_S_NO_ERROR;
  }
  STDMETHODIMP SetStatus(LONG, HRESULT result, BSTR, IWbemClassObject*) override {
    ++statuses;
    status = result;
    return WBEM_S_NO_ERROR;
  }
  int indicated = 0;
  int statuses = 0;
  HRESULT status = S_FALSE;
};

IWbemServices* g_Provider = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Check(QzLoadMachine(QZ_SOURCE_DIR "/machines/default.json", nullptr, 0));
  Check(SUCCEEDED(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, nullptr, 0)));
  CComPtr<IWbemLocator> locator;
  Check(SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                   reinterpret_cast<void**>(&locator))));
  IWbemServices* services = nullptr;
  Check(SUCCEEDED(locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                         &services)));
  auto* provider = new CQZMemoryModuleProv();
  struct InitSink : IWbemProviderInitSink {
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SetStatus(LONG status, LONG) override {
      Check(status == WBEM_S_INITIALIZED);
      return WBEM_S_NO_ERROR;
    }
  } init;
  provider->Initialize(nullptr, 0, const_cast<LPWSTR>(L"root\\VXN"), nullptr, services, nullptr, &init);
  g_Provider = provider;  // kept for the whole run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each byte is one character, so that every value of the path's alphabet can appear.
  std::wstring text(data, data + size);
  CComBSTR path(static_cast<int>(text.size()), text.data());
  CountingSink sink;
  const HRESULT hr = g_Provider->GetObjectAsync(path, 0, nullptr, &sink);
  if (SUCCEEDED(hr)) {
    Check(sink.statuses == 1 && sink.status == WBEM_S_NO_ERROR && sink.indicated == 1);
  } else {
    Check(sink.statuses == 0 && sink.indicated == 0);
  }
  return 0;
}
