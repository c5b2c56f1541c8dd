// The WMI requests of the command: enumerate a class, get an object by path, run a WQL query.
#pragma once

#include <wbemcli.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "Output.h"

namespace qzwmi {

// Connects to `nameSpace` through the locator, as any WMI client does.
HRESULT Connect(const std::wstring& nameSpace, IWbemServices** services);

enum class Request { Enumerate, Get, Query };

// Connects to `nameSpace` and runs the request; `argument` is the class, the path or the query.
// The objects come back in the order the service gave them. On failure returns the HRESULT of the
// step that failed and leaves `objects` empty.
// Calls `each` with every object of `enumerator`, in order, until one call fails; returns the
// first failure, of the enumerator or of `each`.
HRESULT ForEachObject(IEnumWbemClassObject* enumerator, const std::function<HRESULT(IWbemClassObject*)>& each);

HRESULT RunRequest(const std::wstring& nameSpace, Request request, const std::wstring& argument,
                   std::vector<ObjectRecord>* objects);

}  // namespace qzwmi
