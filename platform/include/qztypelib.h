// The platform's type library image: what a module carries as resource TYPELIB 1 and LoadTypeLibEx
// reads back. A module describes its library with these structures and lets the platform lay the
// image out, so that writer and reader share one format.
#pragma once

#include "oaidl.h"

extern "C" {

// One type of the library (the platform's libraries hold coclasses).
typedef struct QzTypeInfoDesc {
  TYPEKIND kind;
  GUID guid;
  WORD typeFlags;  // TYPEFLAG_* values
  LPCWSTR name;
  LPCWSTR docString;  // the help text; may be null
} QzTypeInfoDesc;

typedef struct QzTypeLibDesc {
  GUID libid;
  LCID lcid;
  WORD majorVersion;
  WORD minorVersion;
  WORD libFlags;  // LIBFLAG_* values
  LPCWSTR name;
  LPCWSTR docString;  // may be null
  const QzTypeInfoDesc* types;
  UINT typeCount;
} QzTypeLibDesc;

// Lays out the image of the library into `buffer` when it holds `size` bytes, and returns the size
// of the image (0 when the description is invalid: no name, or a text or count that does not fit
// the format's 16-bit lengths). Call with size 0 to learn the size.
size_t QzWriteTypeLibImage(const QzTypeLibDesc* desc, BYTE* buffer, size_t size);

}  // extern "C"
