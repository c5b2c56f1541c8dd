// The module lock count: live provider objects plus locks on class factories. The module may be
// unloaded only while it is 0.
#pragma once

#include <windows.h>

LONG ModuleLock();
LONG ModuleUnlock();
LONG ModuleLockCount();
