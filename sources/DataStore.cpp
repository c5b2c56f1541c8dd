// The management data store reader: the readiness gate with its counter step, and WQL queries.
#include "sources/DataStore.h"

#include <objbase.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "support/EventCounters.h"
#include "support/WmiProperty.h"

namespace {

// The data store's record classes: a query on root\wmi that names one of them waits for the store.
constexpr const wchar_t* kDataStoreRecordClasses[] = {
    L"JRNINFO",         L"MEMORYBOARDINFO", L"MEMORYDIMMINFO", L"POWERMETERINFO",
    L"POWERSUPPLYINFO", L"RESMEMINFO",      L"TEMPSENSORINFO", L"UIDLIGHTINFO",
    L"ASRINFO",         L"BMCDEVICEINFO",   L"BMCLANPARAMETERINFO", L"FANINFO",
};

constexpr wchar_t kDataStoreNamespace[] = L"root\\wmi";
constexpr wchar_t kDataStoreQuery[] = L"SELECT * FROM DataStoreStatus";
constexpr LONG kQueryFlags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
constexpr ULONG kQueryBatch = 10;

std::wstring Upper(std::wstring_view text) {
  std::wstring upper(text);
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return upper;
}

// A time-out of 0 waits without limit.
LONG NextTimeout(ULONG timeout) { return timeout == 0 ? static_cast<LONG>(WBEM_INFINITE) : static_cast<LONG>(timeout); }

HRESULT Connect(std::wstring_view nameSpace, CComPtr<IWbemServices>& services) {
  CComPtr<IWbemLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_WbemAdministrativeLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator));
  if (FAILED(hr)) return hr;
  return locator->ConnectServer(CComBSTR(std::wstring(nameSpace).c_str()), nullptr, nullptr, nullptr, 0, nullptr,
                                nullptr, &services);
}

bool NamesDataStoreRecord(std::wstring_view nameSpace, std::wstring_view query) {
  if (Upper(nameSpace) != Upper(kDataStoreNamespace)) return false;
  const std::wstring upper = Upper(query);
  return std::any_of(std::begin(kDataStoreRecordClasses), std::end(kDataStoreRecordClasses),
                     [&](const wchar_t* name) { return upper.find(name) != std::wstring::npos; });
}

}  // namespace

bool WaitForDataStore(IWbemContext* /*context*/, ULONG timeout) {
  bool ready = true;
  CComPtr<IWbemServices> services;
  CComPtr<IEnumWbemClassObject> enumerator;
  if (SUCCEEDED(Connect(kDataStoreNamespace, services)) &&
      SUCCEEDED(services->ExecQuery(CComBSTR(L"WQL"), CComBSTR(kDataStoreQuery), kQueryFlags, nullptr, &enumerator))) {
    for (;;) {
      CComPtr<IWbemClassObject> status;
      ULONG returned = 0;
      HRESULT hr = enumerator->Next(NextTimeout(timeout), 1, &status, &returned);
      if (FAILED(hr)) break;
      bool readFailed = false;
      if ((hr == WBEM_S_NO_ERROR || hr == WBEM_S_FALSE || hr == WBEM_S_TIMEDOUT) && returned == 1 && status) {
        bool available = false;
        if (SUCCEEDED(GetBool(status, L"DataAvailable", available))) {
          ready = available;
        } else {
          readFailed = true;
        }
      }
      if (readFailed || hr == WBEM_S_FALSE || hr == WBEM_S_TIMEDOUT) break;
    }
  }
  // A store without data moves every counter, so that watching lists rebuild once it is filled.
  if (!ready) AdvanceEventCounters();
  return ready;
}

bool IsDataStoreReady(IWbemContext* context) { return WaitForDataStore(context, kWmiQueryTimeout); }

HRESULT ExecWmiQuery(std::wstring_view nameSpace, std::wstring_view query, WmiObjectList& results,
                     IWbemContext* context, IWbemServices* services, ULONG timeout) {
  results.clear();
  if (NamesDataStoreRecord(nameSpace, query) && !WaitForDataStore(context, timeout)) return WBEM_S_NO_ERROR;
  CComPtr<IWbemServices> connection(services);
  if (!connection && FAILED(Connect(nameSpace, connection))) return WBEM_S_NO_ERROR;
  CComPtr<IEnumWbemClassObject> enumerator;
  if (FAILED(connection->ExecQuery(CComBSTR(L"WQL"), CComBSTR(std::wstring(query).c_str()), kQueryFlags, nullptr,
                                   &enumerator)))
    return WBEM_S_NO_ERROR;
  for (;;) {
    IWbemClassObject* batch[kQueryBatch] = {};
    ULONG returned = 0;
    HRESULT hr = enumerator->Next(NextTimeout(timeout), kQueryBatch, batch, &returned);
    if (FAILED(hr)) return WBEM_S_NO_ERROR;
    if (hr == WBEM_S_NO_ERROR || hr == WBEM_S_FALSE || hr == WBEM_S_TIMEDOUT) {
      for (ULONG i = 0; i < returned && i < kQueryBatch; ++i) {
        CComPtr<IWbemClassObject> object;
        object.Attach(batch[i]);
        results.push_back(object);
      }
    } else {
      for (ULONG i = 0; i < returned && i < kQueryBatch; ++i) batch[i]->Release();
    }
    if (hr == WBEM_S_FALSE) return WBEM_S_NO_ERROR;
    if (hr == WBEM_S_TIMEDOUT) return WBEM_S_TIMEDOUT;
  }
}

HRESULT ExecWmiQuery(std::wstring_view nameSpace, std::wstring_view query, WmiObjectList& results,
                     IWbemContext* context) {
  return ExecWmiQuery(nameSpace, query, results, context, nullptr, kWmiQueryTimeout);
}
