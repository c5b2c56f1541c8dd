// Sinks that record what a provider hands them, and a namespace with the test classes.
#pragma once

#include <atlbase.h>
#include <wbemidl.h>

#include <atomic>
#include <string>
#include <vector>

namespace qztest {

// An object sink that keeps the indicated objects and fails a test on a second SetStatus.
class TestSink : public IWbemObjectSink {
 public:
  TestSink() = default;
  ~TestSink();
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
  STDMETHODIMP_(ULONG) Release() override { return --m_Refs; }
  STDMETHODIMP Indicate(LONG count, IWbemClassObject** objects) override;
  STDMETHODIMP SetStatus(LONG flags, HRESULT result, BSTR, IWbemClassObject*) override;

  int indicates = 0;
  int statuses = 0;
  HRESULT status = S_FALSE;
  HRESULT indicateResult = WBEM_S_NO_ERROR;
  std::vector<IWbemClassObject*> objects;

 private:
  std::atomic<ULONG> m_Refs{1};
};

class TestInitSink : public IWbemProviderInitSink {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP SetStatus(LONG lStatus, LONG) override {
    ++calls;
    status = lStatus;
    return WBEM_S_NO_ERROR;
  }
  int calls = 0;
  LONG status = -1;
};

// root\VXN with the class QZ_Test (Tag and CreationClassName keys, Number uint32).
IWbemServices* MakeTestNamespace();
// A namespace without the test class.
IWbemServices* MakeEmptyNamespace();

HRESULT PutString(IWbemClassObject* object, const WCHAR* name, const std::wstring& value);
HRESULT PutI4(IWbemClassObject* object, const WCHAR* name, LONG value);
std::wstring GetString(IWbemClassObject* object, const WCHAR* name);

// Every instance of `cls` that `services` enumerates, in order; a failed enumeration fails the test.
std::vector<CComPtr<IWbemClassObject>> Instances(IWbemServices* services, const WCHAR* cls);

// A property's value with its form, so that both are compared at once: "bstr:text", "i4:72",
// "bool:true", "bool:false", "null", "i4[2,5]", "bstr[a,b]", "ui1[1,2]", "vt N" for other forms, and
// "<no such property>".
std::wstring Describe(IWbemClassObject* object, const WCHAR* name);

}  // namespace qztest
