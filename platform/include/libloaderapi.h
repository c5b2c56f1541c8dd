// Loaded modules and their resources: module handles and file names, resource lookup and strings.
#pragma once

#include "errhandlingapi.h"

// A resource type or name given by number instead of by string.
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#define RT_STRING MAKEINTRESOURCEW(6)

// The module handle of the loaded module with this file name (compared without case; "X.dll" also
// names a loaded "X.so" or "libX.so", and a module answers to the names its resource tables were
// filed under), or of the program for NULL. NULL with ERROR_MOD_NOT_FOUND when none is loaded.
WINBASEAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);

// The module handle of a loaded module by name (as GetModuleHandleW) or, with
// GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, of the module that holds the address lpModuleName. Only
// the form that leaves the module's reference count alone is offered: without
// GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, FALSE with ERROR_INVALID_PARAMETER. FALSE with
// ERROR_MOD_NOT_FOUND when no loaded module matches.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x1
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x2
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x4
WINBASEAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

// The full path of a loaded module (NULL: the program). Returns the length copied without the
// terminator; when the path does not fit, the first nSize - 1 characters and a terminator, nSize and
// ERROR_INSUFFICIENT_BUFFER. 0 with ERROR_MOD_NOT_FOUND for a handle that is no loaded module.
WINBASEAPI DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// The resource of a type, name and exact language; language 0 (LANG_NEUTRAL) takes the first
// language the module has for that name. NULL with ERROR_RESOURCE_DATA_NOT_FOUND (module without
// resources), ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND or
// ERROR_RESOURCE_LANG_NOT_FOUND.
WINBASEAPI HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);

// The resource in the best language for the calling thread: neutral, the thread locale's language,
// its primary language, US English, else the first the module has. Note the order name, then type.
WINBASEAPI HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);

// The resource's data: stays valid while the module is loaded, and LockResource gives its address.
WINBASEAPI HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
WINBASEAPI LPVOID WINAPI LockResource(HGLOBAL hResData);
WINBASEAPI DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);

// Copies string uID of the module into lpBuffer (at most cchBufferMax - 1 characters and a
// terminator) and returns the characters copied; 0 when the module has no such string. With
// cchBufferMax 0, stores a read-only pointer to the string (not terminated) and returns its length.

// Loads a module (a Linux path, or a Windows path mapped into the system root) and tells its
// DllMain on the first load; the handle is its load address. NULL with ERROR_MOD_NOT_FOUND,
// ERROR_BAD_EXE_FORMAT or ERROR_DLL_INIT_FAILED. FreeLibrary drops one reference; the last one tells
// DllMain and unloads it. GetProcAddress: NULL with ERROR_PROC_NOT_FOUND.
WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

#define GetModuleHandle GetModuleHandleW
#define GetModuleHandleEx GetModuleHandleExW
#define LoadLibrary LoadLibraryW
#define GetModuleFileName GetModuleFileNameW
#define FindResourceEx FindResourceExW
#define FindResource FindResourceW
