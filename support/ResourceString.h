// The loader of the module's texts: every caption, description and status text comes from the
// module's string table, in the language of the first caller's thread locale or else US English.
#pragma once

#include <windows.h>

#include <string>

#include "support/ResourceIds.h"

// The file name under which callers look the module up.
inline constexpr const wchar_t* kModuleFileName = L"QZWmiMemory.dll";

// The text written when a number is in neither language.
inline constexpr const wchar_t* kStringNotFound = L"<String could not be found!>";

// The string `number` of the module `moduleFileName`. The first call of the process fixes the module
// handle and the language (the calling thread's locale) for every later call of every thread. A
// number missing or empty in that language is taken from US English (1033); missing there too, the
// result is kStringNotFound. Never empty.
std::wstring LoadResourceString(const wchar_t* moduleFileName, UINT number);
