// The provider host: serves a class whose "provider" qualifier names a COM provider registered in
// the namespace (__Win32Provider), by loading that provider in process, initialising it, and
// routing enumerations and lookups by path to it.
#pragma once

#include <memory>
#include <string_view>

#include "wbem/provider.h"

namespace qz::wbem {

// The provider that serves `cls`: one registered with RegisterInstanceProvider, else the COM
// provider its "provider" qualifier names, else null (a class without instances).
std::shared_ptr<InstanceProvider> ResolveInstanceProvider(std::wstring_view nameSpace, const ClassDef& cls);

// Releases every COM provider the host holds, so that their modules can unload (CoFreeUnusedLibraries).
void ReleaseComProviders();

}  // namespace qz::wbem
