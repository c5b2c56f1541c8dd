// The order in which the module's statics come to life when the module is loaded; they go in the
// reverse order when it is unloaded.
//
//   1. the COM bookkeeping (class-object table, module lock count)   constant data
//   2. the memory module list                                          constant-initialised
//   3. g_CommonLog, not yet started                                    constant-initialised
//   4. the module object: starts the log, "DLL is loaded."             below
//   5. the platform probe object and its first probe                   below
//   6. the SMBIOS table cache and its mutex                            below
//   7. the static lists of the other classes                           constant-initialised
//
// The constant-initialised objects exist before any code of the module runs. This file is linked
// after the rest of the module, so the objects below are constructed after the destructors of all
// the others are registered: at unload they go first, and "DLL is unloaded." is written while the
// log and the lists still stand.
#include <optional>

#include "module/Module.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"

namespace {

struct ModuleStatics {
  ModuleStatics() {
    module.emplace();
    g_MemAmpChecker.ProbePlatform();  // may load the SMBIOS table, whose mutex is made on first use
    g_SmbiosTable.CreateMutex();
  }
  // The module object says goodbye first; then the rest goes in the reverse order.
  ~ModuleStatics() {
    module.reset();
    g_SmbiosTable.Unload();
  }

  std::optional<CQZWmiMemoryModule> module;
};

ModuleStatics g_ModuleStatics;

}  // namespace
