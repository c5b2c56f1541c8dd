// A small in-process COM server for the activation tests: one class, a class factory, and the
// two entry points that COM looks for in a server module.
#include <objbase.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "ole32/testserver/TestServer.h"

namespace {

std::atomic<long> g_Objects{0};
std::atomic<long> g_Locks{0};

class Probe : public ITestServerProbe {
 public:
  Probe() { ++g_Objects; }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_ITestServerProbe) {
      *ppv = static_cast<ITestServerProbe*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_Refs;
    if (refs == 0) delete this;
    return refs;
  }
  STDMETHODIMP_(LONG) Magic() override { return kTestServerMagic; }

 private:
  virtual ~Probe() { --g_Objects; }
  std::atomic<ULONG> m_Refs{1};
};

class Factory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static; a reference on it keeps the module as a lock does.
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++g_Locks) + 1; }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--g_Locks) + 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Probe* probe = new Probe;
    HRESULT hr = probe->QueryInterface(riid, ppv);
    probe->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) ++g_Locks;
    else --g_Locks;
    return S_OK;
  }
};

Factory g_Factory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_TestServerProbe) return CLASS_E_CLASSNOTAVAILABLE;
  return g_Factory.QueryInterface(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return g_Objects == 0 && g_Locks == 0 ? S_OK : S_FALSE;
}

// Records each call in QZ_TEST_SERVER_EVENTS ("attach", "detach", comma-separated) and refuses to
// load while QZ_TEST_SERVER_REFUSE is set.
extern "C" __attribute__((visibility("default"))) BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  const char* previous = getenv("QZ_TEST_SERVER_EVENTS");
  std::string events = previous ? previous : "";
  if (!events.empty()) events += ",";
  events += reason == 1 ? "attach" : reason == 0 ? "detach" : "other";
  if (!instance) events += "(no instance)";
  setenv("QZ_TEST_SERVER_EVENTS", events.c_str(), 1);
  return reason == 1 && getenv("QZ_TEST_SERVER_REFUSE") ? FALSE : TRUE;
}
