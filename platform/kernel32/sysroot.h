// Where this system keeps its files on a Linux system: the system root, the runtime area, and the
// installed data and modules. Every such path is decided here and nowhere else.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qz {

// Absolute path of the system root, created on first use. A process that has no place for it ends
// here with a message that says what to set.
const std::string& SystemRoot();

// Absolute path of the runtime area (mode 0700), created on first use. The process holds it until it
// ends; the last process of a root to end removes it (see kernel32/runtimearea.h).
const std::string& RuntimeDir();

// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode);

// Writes `bytes` to `path` as a whole, with the given mode whatever the umask: into a new file
// beside it, flushed, then renamed over it, so that a reader sees the old content or the new and
// never a part. False with the reason in `error`; nothing is left behind.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode, std::string* error);

// FNV-1a of the bytes: a stable short name made of a longer one.
uint64_t Fnv1a(std::string_view text);

// The places for a process's state, as the effective user and the environment decide them:
//   system root   $QZWMI_ROOT; else /var/lib/qzwmi for root; else $XDG_STATE_HOME/qzwmi, or
//                 $HOME/.local/state/qzwmi when XDG_STATE_HOME is not set;
//   runtime base  /run/qzwmi for root; else $XDG_RUNTIME_DIR/qzwmi.
// Relative values of the XDG variables and HOME count as unset. Where no place is found, the field stays empty and `error` says
// which variable to set: a guessable folder in a shared /tmp would let another user prepare it.
struct StatePlaces {
  std::string root;
  std::string runtimeBase;
  std::string error;
};
StatePlaces DecideStatePlaces(unsigned euid, const std::function<const char*(const char*)>& getEnv);

// The runtime area of the system root `root` (absolute, resolved) under `runtimeBase`.
std::string RuntimeAreaOf(const std::string& runtimeBase, const std::string& root);

// The installed read-only data (the MOF under mof/, the bundled machines under machines/): the
// source tree when the platform library runs from its build folder, else <prefix>/share/qzwmi
// found from the library's own folder, so that an unpacked or relocated installation works too.
const std::string& DataDir();

// The folder of the provider module: <build>/module in a build folder, else the platform
// library's own folder.
const std::string& ModuleDir();

}  // namespace qz
