// Kernel object handles.
#pragma once

#include "errhandlingapi.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject);
