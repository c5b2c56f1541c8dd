// The provider host: COM providers found through the namespace's __Win32Provider registrations,
// created and initialised once per namespace and provider, and asked through a waiting sink.
#include "ole32/comobject.h"
#include "wbem/providerhost.h"

#include <objbase.h>
#include <wbemprov.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "wbem/repository.h"

namespace qz::wbem {
namespace {

// Collects what a provider indicates and waits for its one final status.
class CollectingSink : public ComObject<IWbemObjectSink> {
 public:
  STDMETHODIMP Indicate(LONG count, IWbemClassObject** objects) override {
    if (count < 0 || (count > 0 && !objects)) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Done) return WBEM_E_FAILED;  // nothing counts after the final status
    for (LONG i = 0; i < count; ++i) {
      if (objects[i]) m_Objects.emplace_back(objects[i]);
    }
    return WBEM_S_NO_ERROR;
  }
  STDMETHODIMP SetStatus(LONG flags, HRESULT result, BSTR, IWbemClassObject*) override {
    if (flags != WBEM_STATUS_COMPLETE) return WBEM_S_NO_ERROR;  // progress reports
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Done) {
      m_Done = true;
      m_Result = result;
      m_Finished.notify_all();
    }
    return WBEM_S_NO_ERROR;
  }

  // The final status, once the provider has given it.
  HRESULT Wait(std::vector<CComPtr<IWbemClassObject>>* objects) {
    std::unique_lock<std::mutex> guard(m_Lock);
    m_Finished.wait(guard, [&] { return m_Done; });
    *objects = std::move(m_Objects);
    return m_Result;
  }

 private:
  virtual ~CollectingSink() = default;
  std::mutex m_Lock;
  std::condition_variable m_Finished;
  bool m_Done = false;
  HRESULT m_Result = WBEM_E_FAILED;
  std::vector<CComPtr<IWbemClassObject>> m_Objects;
};

class InitSink : public ComObject<IWbemProviderInitSink> {
 public:
  STDMETHODIMP SetStatus(LONG status, LONG) override {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Done) {
      m_Done = true;
      m_Status = status;
      m_Finished.notify_all();
    }
    return WBEM_S_NO_ERROR;
  }
  LONG Wait() {
    std::unique_lock<std::mutex> guard(m_Lock);
    m_Finished.wait(guard, [&] { return m_Done; });
    return m_Status;
  }

 private:
  virtual ~InitSink() = default;
  std::mutex m_Lock;
  std::condition_variable m_Finished;
  bool m_Done = false;
  LONG m_Status = WBEM_E_FAILED;
};

template <class Sink>
CComPtr<Sink> NewSink() {
  CComPtr<Sink> sink;
  sink.Attach(new Sink);
  return sink;
}

// One initialised COM provider of a namespace.
class ComProvider : public InstanceProvider {
 public:
  explicit ComProvider(CComPtr<IWbemServices> provider) : m_Provider(std::move(provider)) {}

  HRESULT Enumerate(const ClassDef& cls, IWbemContext* context, ObjectStream* out) override {
    auto sink = NewSink<CollectingSink>();
    HRESULT hr = m_Provider->CreateInstanceEnumAsync(CComBSTR(cls.name.c_str()), 0, context, sink);
    if (FAILED(hr)) return hr;
    std::vector<CComPtr<IWbemClassObject>> objects;
    hr = sink->Wait(&objects);
    if (FAILED(hr)) return hr;
    const Clock::time_point now = Clock::now();
    for (auto& object : objects) out->push_back(TimedObject{object, now});
    return WBEM_S_NO_ERROR;
  }

  HRESULT GetObjectByPath(const ClassDef&, const std::wstring& path, IWbemContext* context,
                          IWbemClassObject** ppObject) override {
    auto sink = NewSink<CollectingSink>();
    HRESULT hr = m_Provider->GetObjectAsync(CComBSTR(path.c_str()), 0, context, sink);
    if (FAILED(hr)) return hr;
    std::vector<CComPtr<IWbemClassObject>> objects;
    hr = sink->Wait(&objects);
    if (FAILED(hr)) return hr;
    if (objects.empty()) return WBEM_E_NOT_FOUND;
    *ppObject = objects.front().Detach();
    return WBEM_S_NO_ERROR;
  }

 private:
  CComPtr<IWbemServices> m_Provider;
};

struct HostTable {
  std::mutex lock;
  std::map<std::wstring, std::shared_ptr<ComProvider>> providers;  // by "NAMESPACE:PROVIDER"
};

HostTable& Host() {
  static HostTable* table = new HostTable;  // used until the process ends
  return *table;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

std::wstring ProviderName(const ClassDef& cls) {
  const Qualifier* provider = FindQualifier(cls.qualifiers, L"provider");
  if (!provider || provider->value.vt != VT_BSTR || !provider->value.bstrVal) return {};
  return provider->value.bstrVal;
}

// Creates and initialises the provider that __Win32Provider.Name=`name` registers.
HRESULT LoadProvider(const std::wstring& nameSpace, const std::wstring& name, std::shared_ptr<ComProvider>* out) {
  std::wstring clsidText;
  for (auto& registration : Repository::Instance().Instances(nameSpace, L"__Win32Provider")) {
    CComVariant value, clsid;
    if (SUCCEEDED(registration->Get(L"Name", 0, &value, nullptr, nullptr)) && value.vt == VT_BSTR &&
        EqualNames(value.bstrVal, name) && SUCCEEDED(registration->Get(L"CLSID", 0, &clsid, nullptr, nullptr)) &&
        clsid.vt == VT_BSTR) {
      clsidText = clsid.bstrVal;
      break;
    }
  }
  if (clsidText.empty()) return WBEM_E_PROVIDER_NOT_FOUND;
  CLSID clsid;
  if (FAILED(CLSIDFromString(clsidText.c_str(), &clsid))) return WBEM_E_INVALID_PROVIDER_REGISTRATION;
  CComPtr<IWbemProviderInit> init;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemProviderInit,
                              reinterpret_cast<void**>(&init))))
    return WBEM_E_PROVIDER_LOAD_FAILURE;
  CComPtr<IWbemServices> services;
  HRESULT hr = CreateServices(nameSpace, &services);
  if (FAILED(hr)) return hr;
  auto sink = NewSink<InitSink>();
  std::wstring space = nameSpace;
  hr = init->Initialize(nullptr, 0, space.data(), nullptr, services, nullptr, sink);
  if (FAILED(hr) || sink->Wait() != WBEM_S_INITIALIZED) return WBEM_E_PROVIDER_LOAD_FAILURE;
  CComPtr<IWbemServices> provider;
  if (FAILED(init->QueryInterface(IID_IWbemServices, reinterpret_cast<void**>(&provider))))
    return WBEM_E_PROVIDER_NOT_CAPABLE;
  *out = std::make_shared<ComProvider>(provider);
  return WBEM_S_NO_ERROR;
}

// Reports a provider that cannot be loaded on every request for its classes.
class FailedProvider : public InstanceProvider {
 public:
  explicit FailedProvider(HRESULT result) : m_Result(result) {}
  HRESULT Enumerate(const ClassDef&, IWbemContext*, ObjectStream*) override { return m_Result; }
  HRESULT GetObjectByPath(const ClassDef&, const std::wstring&, IWbemContext*, IWbemClassObject**) override {
    return m_Result;
  }

 private:
  HRESULT m_Result;
};

}  // namespace

std::shared_ptr<InstanceProvider> ResolveInstanceProvider(std::wstring_view nameSpace, const ClassDef& cls) {
  if (auto provider = FindInstanceProvider(nameSpace, cls.name)) return provider;
  const std::wstring name = ProviderName(cls);
  if (name.empty()) return nullptr;
  const std::wstring space = Repository::Instance().NamespaceName(nameSpace);
  HostTable& host = Host();
  const std::wstring key = Upper(space + L":" + name);
  {
    std::lock_guard<std::mutex> guard(host.lock);
    auto it = host.providers.find(key);
    if (it != host.providers.end()) return it->second;
  }
  // Loaded outside the table's lock: a provider's Initialize may ask the service for classes.
  std::shared_ptr<ComProvider> loaded;
  HRESULT hr = LoadProvider(space, name, &loaded);
  if (FAILED(hr)) return std::make_shared<FailedProvider>(hr);
  std::lock_guard<std::mutex> guard(host.lock);
  auto [it, inserted] = host.providers.emplace(key, loaded);
  return it->second;  // another thread may have loaded it first; both are equivalent
}

void ReleaseComProviders() {
  std::map<std::wstring, std::shared_ptr<ComProvider>> released;
  {
    HostTable& host = Host();
    std::lock_guard<std::mutex> guard(host.lock);
    released.swap(host.providers);
  }
  released.clear();
}

}  // namespace qz::wbem
