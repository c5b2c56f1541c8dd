// The module object and what the module's entry points share.
#pragma once

#include <windows.h>

// The module object: starts the log and says so when the module is loaded, and says goodbye when
// it is unloaded.
class CQZWmiMemoryModule {
 public:
  CQZWmiMemoryModule();
  ~CQZWmiMemoryModule();
  CQZWmiMemoryModule(const CQZWmiMemoryModule&) = delete;
  CQZWmiMemoryModule& operator=(const CQZWmiMemoryModule&) = delete;
};

// The module's load address, as DllMain received it.
HINSTANCE ModuleInstance();
