// `qzwmi serve` and `qzwmi passwd` live in a library of their own, loaded only by these two
// subcommands, so that every other command starts without the HTTP, TLS, XML and password libraries.
#pragma once

#include <string>

#include "serve/CimServer.h"

namespace qzwmi {

// The file of the library, beside the module.
constexpr char kServeLibraryName[] = "qzwmi-serve.so";

// The library's entry points, looked up by these names.
using ServeEntry = int (*)(const serve::ServeOptions* options);
using SetPasswordEntry = bool (*)(const std::string* path, const std::string* user, const std::string* password,
                                  std::string* error);
constexpr char kServeEntryName[] = "QzwmiServe";
constexpr char kSetPasswordEntryName[] = "QzwmiSetPassword";

// The entry point of the library (loaded once and kept), or null with the reason on standard error.
void* ServeLibraryEntry(const char* name);

}  // namespace qzwmi
