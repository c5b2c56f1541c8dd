// The module lock count, changed atomically from any thread.
#include "framework/ModuleLock.h"

#include <atomic>

namespace {
constinit std::atomic<LONG> g_ModuleLockCount{0};
}

LONG ModuleLock() { return ++g_ModuleLockCount; }
LONG ModuleUnlock() { return --g_ModuleLockCount; }
LONG ModuleLockCount() { return g_ModuleLockCount.load(); }
