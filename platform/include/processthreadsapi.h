// Process and thread identity.
#pragma once

#include "errhandlingapi.h"

WINBASEAPI DWORD WINAPI GetCurrentThreadId(void);
