// The Windows API as far as the system uses it.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "ioapiset.h"
#include "winreg.h"
