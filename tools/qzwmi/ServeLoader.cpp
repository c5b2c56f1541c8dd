// Loads the serve library from the folder of the module: the build's module folder, or the
// installation's private library folder.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "ServeLibrary.h"
#include "qzplatform.h"

namespace qzwmi {

void* ServeLibraryEntry(const char* name) {
  static void* library = nullptr;
  if (!library) {
    const std::string path = std::string(QzGetModuleDir()) + "/" + kServeLibraryName;
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      std::fprintf(stderr, "qzwmi: cannot load %s: %s\n", path.c_str(), dlerror());
      return nullptr;
    }
  }
  void* entry = dlsym(library, name);
  if (!entry) std::fprintf(stderr, "qzwmi: %s has no %s\n", kServeLibraryName, name);
  return entry;
}

}  // namespace qzwmi
