// What the command does around its requests: keeping the providers' standard output apart from the
// results, registering an in-process server module, and setting up a fresh system root.
#pragma once

#include <windows.h>

#include <string>

namespace qzwmi {

// Points standard output (fd 1) at <root>/drive_c/windows/system32/wbem/logs/provider-stdout.log,
// appending, and returns a descriptor of the former standard output for the results; -1 when the
// log cannot be opened (standard output then stays as it was).
int SeparateStandardOutput();

// Writes all of `text` to `fd`; false when the descriptor refuses (errno says why).
bool WriteAll(int fd, const std::string& text);

// The error line of results that could not be written (from errno); returns the failure status.
int WriteFailed();

// Loads the module at `path` with LoadLibraryW (its DllMain told of the load), calls its
// DllRegisterServer (or DllUnregisterServer) and frees it. CO_E_DLLNOTFOUND when the module cannot
// be loaded, HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED) when its DllMain refuses, CO_E_ERRORINDLL
// when it lacks the entry point, else what the entry point returns.
HRESULT RegisterModule(const std::string& path, bool unregister);

// The module that `register` loads when none is named: QZWmiMemory.so of this installation (or build).
const char* DefaultModulePath();

// The MOF of the classes, from the installation's data (or the source tree).
const char* DefaultMofPath();

// The machine managed when none is named: the bundled default server of the installation's data.
std::string DefaultMachinePath();

// "qzwmi VERSION", with " (git REVISION)" for a build from a git checkout.
std::string VersionText();

// The first use of a fresh root registers the default module when its class is not registered
// (and notes under HKLM\Software\Tarnwell\qzwmi that it did, so that an `unregister` stays done);
// any use registers it again when the registered module has gone, and compiles the bundled MOF (kept
// for later processes) when root\VXN lacks its classes. Whatever fails here shows later, as the
// error of the request that needs it.
void SetUpFirstUse();

}  // namespace qzwmi
