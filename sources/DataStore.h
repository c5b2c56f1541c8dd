// The management data store reader: whether the store has data yet, and WQL queries with time-outs.
#pragma once

#include <atlbase.h>
#include <wbemcli.h>

#include <string_view>
#include <vector>

// The result of a query: every object holds one reference.
using WmiObjectList = std::vector<CComPtr<IWbemClassObject>>;

// Time-out of the short forms, in milliseconds.
inline constexpr ULONG kWmiQueryTimeout = 30000;

// The data store's DataAvailable; true when the store cannot be asked. When the store answers that
// it has no data, every event counter moves one step. `timeout` 0 waits without limit.
bool WaitForDataStore(IWbemContext* context, ULONG timeout);

// WaitForDataStore with the 30-second time-out.
bool IsDataStoreReady(IWbemContext* context = nullptr);

// Runs a WQL query in `nameSpace` (through `services` when given, else a fresh connection) and
// collects the objects. Queries on root\wmi that name a data-store record class wait for the store
// first. Failures come back as WBEM_S_NO_ERROR with an empty list; a stream that timed out as
// WBEM_S_TIMEDOUT with the objects received so far. `timeout` 0 waits without limit.
HRESULT ExecWmiQuery(std::wstring_view nameSpace, std::wstring_view query, WmiObjectList& results,
                     IWbemContext* context, IWbemServices* services, ULONG timeout);

// The short form: a fresh connection and the 30-second time-out.
HRESULT ExecWmiQuery(std::wstring_view nameSpace, std::wstring_view query, WmiObjectList& results,
                     IWbemContext* context = nullptr);
