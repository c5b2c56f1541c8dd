// The calling thread's last-error value.
#pragma once

#include "windef.h"

#define WINBASEAPI extern "C"

WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);
