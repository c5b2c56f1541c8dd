// What the platform offers beyond the Windows API: the system root and the installation's paths, and
// the seams that the host and the tests use (a fixed clock, cleaning up a root's runtime area).
#pragma once

#include "windef.h"

extern "C" {

// The folder that holds this process's registry, Windows directory and WMI repository: $QZWMI_ROOT,
// else /var/lib/qzwmi for root and $XDG_STATE_HOME/qzwmi (~/.local/state/qzwmi) for others. Fixed at
// first use; a process with no place for it ends there, saying what to set.
const char* QzGetSystemRoot(void);

// The root's runtime area (volatile registry keys, named kernel objects): a folder under /run/qzwmi
// for root and under $XDG_RUNTIME_DIR/qzwmi for others, shared by the processes of the root and
// removed by the last of them to end.
const char* QzGetRuntimeDir(void);

// Lets go of this process's hold on the runtime area before it ends, removing the area when no other
// process of the root holds it; for tests and for tearing down a root. No handle may be open.
void QzRemoveRuntimeArea(void);

// The installation's read-only data (mof/, machines/): /usr/share/qzwmi beside an installed library,
// the source tree beside a built one.
const char* QzGetDataDir(void);

// The folder of the provider module QZWmiMemory.so in this installation or build.
const char* QzGetModuleDir(void);

// Makes GetLocalTime and GetSystemTime answer this time (NULL: the real clock again). The variable
// QZWMI_FIXED_TIME="YYYY-MM-DD hh:mm:ss.mmm" does the same for a whole process.
void QzSetFixedLocalTime(const SYSTEMTIME* time);

// Makes the machine description file at `path` the machine this process manages (its health-driver
// devices, physical memory, data store, journal, names). On failure returns FALSE, keeps the current
// machine and, when `error` is given, writes one line naming the file, the field and the problem.
BOOL QzLoadMachine(const char* path, char* error, DWORD errorSize);

// The same from the text of a description (tests); `origin` names it in messages.
BOOL QzLoadMachineText(const char* text, const char* origin, char* error, DWORD errorSize);

// The running Linux host is the machine named "host" (QzLoadMachine("host", ...)). It is read below
// the folder that this returns, which stands for "/": $QZWMI_HOST_ROOT, else "/" (ending in '/').
const char* QzGetHostRoot(void);

// Whether the host's SMBIOS table can be read; when not, `reason` gets the file and the system's
// error ("/sys/firmware/dmi/tables/DMI: Permission denied (run as root)").
BOOL QzHostTableReadable(char* reason, DWORD reasonSize);

// Whether the current machine is the running host.
BOOL QzIsHostMachine(void);

// When the current machine is the host and its memory error counters or event database changed
// since it was read: reads it again, makes that the current machine, describes the change in one
// line and returns TRUE. Otherwise FALSE, quickly.
BOOL QzRefreshHostMachine(char* change, DWORD changeSize);

// The memory error counts of one fitted module of the host, by the board and socket the host's
// memory is laid out in: every error the kernel's counters and rasdaemon's database hold for it.
typedef struct QzHostModuleErrors {
  DWORD board;
  DWORD socket;
  ULONGLONG corrected;
  ULONGLONG uncorrected;
} QzHostModuleErrors;

// When the current machine is the host: reads its error counts now into `errors` (at most
// `capacity` of them, board and socket order) and returns how many fitted modules it has. 0 on any
// other machine. Read only: the current machine is left as it is.
DWORD QzGetHostModuleErrors(QzHostModuleErrors* errors, DWORD capacity);

// One resource of a module, as the resource compiler (qzrc) writes its tables: the type (RT_STRING),
// the integer name (for strings the block number), the language and the bytes. A type known by name
// ("TYPELIB") has type 0 and its name, in upper case, in typeName; integer types leave it null.
typedef struct QzResourceEntry {
  WORD type;
  WORD name;
  WORD language;
  DWORD size;
  const BYTE* data;
  const WCHAR* typeName;
} QzResourceEntry;

// Files `count` resources under the loaded module that contains `anchor` and under `moduleName`
// (which GetModuleHandleW then also answers). A module may file several tables; they are searched
// together. Called by the static registrar of every generated table.
void QzRegisterResources(const void* anchor, const char* moduleName, const QzResourceEntry* entries, size_t count);

// Takes back a table filed with QzRegisterResources, when the module that holds it is unloaded.
void QzUnregisterResources(const QzResourceEntry* entries);

// Compiles a MOF file into this process's WMI repository; with `keep`, every later process of this
// system root compiles it again when its repository starts. On failure returns the WBEM error and,
// when `error` is given, writes "file:line:column: message".
HRESULT QzCompileMofFile(const char* path, BOOL keep, char* error, DWORD errorSize);

// Writes `size` bytes to `path` as a whole, with mode `mode` whatever the umask: into a new file
// beside it, flushed, then renamed over it, so that a reader sees the old content or the new and
// never a part. FALSE on failure, with the reason in `error` when it is given.
BOOL QzWriteFileAtomically(const char* path, const void* data, size_t size, DWORD mode, char* error, DWORD errorSize);

// Gathers the registry changes of this process into one transaction until QzRegEndBatch, for many
// changes at once (a module's registration): each call still succeeds or fails alone, and other
// processes see all the changes when the batch ends, which they wait for to change the registry
// themselves. Not nested. Both return a Win32 error code.
LONG QzRegBeginBatch(void);
LONG QzRegEndBatch(void);

// Reads a WQL query as the service does, without running it. On failure returns
// WBEM_E_INVALID_QUERY and writes the problem and its column, counted from 1 ("FROM expected at
// column 10"); on success writes the class of a SELECT (or meta_class) and the properties that it
// reads, separated by spaces (nothing for ASSOCIATORS OF and REFERENCES OF).
HRESULT QzCheckWql(const char* query, char* report, DWORD reportSize);

}  // extern "C"
