// The paths of a Linux system that this system uses: its system root, its runtime area, and where
// an installation keeps its data and modules.
#include "kernel32/sysroot.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "kernel32/path.h"
#include "kernel32/runtimearea.h"
#include "kernel32/text.h"
#include "qzplatform.h"

namespace qz {
namespace {

// An environment variable that names an absolute folder, else null.
const char* AbsoluteFolder(const std::function<const char*(const char*)>& getEnv, const char* name) {
  const char* value = getEnv(name);
  return value && value[0] == '/' ? value : nullptr;
}

const StatePlaces& Places() {
  static const StatePlaces* places = new StatePlaces(DecideStatePlaces(geteuid(), [](const char* name) {
    return static_cast<const char*>(getenv(name));
  }));
  return *places;
}

// Without a place for its state the process cannot do anything; it says what to set and ends
// (with the command line's status for a bad environment) before anything else touches the state.
[[noreturn]] void Refuse(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
  _exit(2);
}

std::string ResolveRoot() {
  const StatePlaces& places = Places();
  if (places.root.empty()) Refuse(places.error);
  std::string root = places.root;
  MakeDirs(root, 0755);
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved)) root = resolved;
  for (const char* dir : kWindowsDirs) MakeDirs(root + "/" + dir, 0755);
  return root;
}

std::string ResolveRuntimeDir() {
  const StatePlaces& places = Places();
  if (places.runtimeBase.empty()) Refuse(places.error);
  std::string area = RuntimeAreaOf(places.runtimeBase, SystemRoot());
  // A hold that fails leaves the folder to the requests that need it, which then fail with the cause.
  HoldRuntimeArea(places.runtimeBase, area);
  return area;
}

// The folder of libqzplatform.so as loaded, links resolved; empty when it cannot be found.
std::string LibraryFolder() {
  Dl_info info{};
  char resolved[PATH_MAX];
  if (!dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) || !info.dli_fname || !realpath(info.dli_fname, resolved))
    return {};
  return std::filesystem::path(resolved).parent_path().string();
}

// True when the library is the one in its build folder: the data is then still in the source tree.
bool RunningFromBuildFolder(const std::string& library) {
  char built[PATH_MAX];
  return library.empty() || (realpath(QZ_BUILD_LIBRARY_DIR, built) && library == built);
}

}  // namespace

StatePlaces DecideStatePlaces(unsigned euid, const std::function<const char*(const char*)>& getEnv) {
  StatePlaces places;
  const char* root = getEnv("QZWMI_ROOT");  // may be relative to the working folder
  if (root && *root) {
    places.root = root;
  } else if (euid == 0) {
    places.root = "/var/lib/qzwmi";
  } else if (const char* state = AbsoluteFolder(getEnv, "XDG_STATE_HOME")) {
    places.root = std::string(state) + "/qzwmi";
  } else if (const char* home = AbsoluteFolder(getEnv, "HOME")) {
    places.root = std::string(home) + "/.local/state/qzwmi";
  } else {
    places.error = "no place for the system root: set QZWMI_ROOT, XDG_STATE_HOME or HOME to an absolute folder";
    return places;
  }
  if (euid == 0) {
    places.runtimeBase = "/run/qzwmi";
  } else if (const char* runtime = AbsoluteFolder(getEnv, "XDG_RUNTIME_DIR")) {
    places.runtimeBase = std::string(runtime) + "/qzwmi";
  } else {
    places.error =
        "no place for volatile state: XDG_RUNTIME_DIR is not set (a login session sets it; else set it to a "
        "folder of your own, mode 0700, that is emptied at boot)";
  }
  return places;
}

std::string RuntimeAreaOf(const std::string& runtimeBase, const std::string& root) {
  char name[24];
  snprintf(name, sizeof name, "/%016llx", static_cast<unsigned long long>(Fnv1a(root)));
  return runtimeBase + name;
}

uint64_t Fnv1a(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode, std::string* error) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    *error = "cannot create a file beside " + path + ": " + strerror(errno);
    return false;
  }
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool good = written == bytes.size() && fchmod(fd, static_cast<mode_t>(mode)) == 0 && fsync(fd) == 0;
  const int saved = errno;
  if (close(fd) != 0 || !good || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + strerror(good ? errno : saved);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool MakeDirs(const std::string& path, unsigned mode) {
  // Every command passes here for the root, the logs and the runtime area: a folder that is there
  // with its mode costs one stat, and nothing is written to the file system.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (ec) return true;  // made by another process meanwhile: its mode is its maker's
  } else if (!S_ISDIR(st.st_mode)) {
    return false;
  }
  if ((st.st_mode & 07777) != mode) chmod(path.c_str(), mode);
  return true;
}

const std::string& SystemRoot() {
  // Never destroyed: kernel objects closed by other statics at exit still need the root.
  static const std::string* root = new std::string(ResolveRoot());
  return *root;
}

const std::string& RuntimeDir() {
  static const std::string* dir = new std::string(ResolveRuntimeDir());
  HoldRuntimeAreaAgain();
  return *dir;
}

const std::string& DataDir() {
  static const std::string* dir = [] {
    const std::string library = LibraryFolder();
    if (RunningFromBuildFolder(library)) return new std::string(QZ_SOURCE_DATA_DIR);
    return new std::string((std::filesystem::path(library) / QZ_DATA_FROM_LIBRARY).lexically_normal().string());
  }();
  return *dir;
}

const std::string& ModuleDir() {
  static const std::string* dir = [] {
    const std::string library = LibraryFolder();
    return new std::string(RunningFromBuildFolder(library) ? QZ_BUILD_MODULE_DIR : library);
  }();
  return *dir;
}

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring FromUtf8(std::string_view text) {
  // Never more characters than bytes: written in place, then cut to length.
  std::wstring out(text.size(), L'\0');
  wchar_t* const to = out.data();
  size_t n = 0;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      to[n++] = static_cast<wchar_t>(b);
      ++i;
      continue;
    }
    uint32_t c;
    size_t extra;
    if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      to[n++] = L'\xFFFD';
      ++i;
      continue;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (!ok) {
      to[n++] = L'\xFFFD';
      ++i;
      continue;
    }
    to[n++] = static_cast<wchar_t>(c);
    i += extra + 1;
  }
  out.resize(n);
  return out;
}

std::wstring UpperAscii(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return out;
}

}  // namespace qz

extern "C" const char* QzGetSystemRoot(void) { return qz::SystemRoot().c_str(); }
extern "C" const char* QzGetRuntimeDir(void) { return qz::RuntimeDir().c_str(); }

extern "C" const char* QzGetDataDir(void) { return qz::DataDir().c_str(); }
extern "C" const char* QzGetModuleDir(void) { return qz::ModuleDir().c_str(); }

extern "C" void QzRemoveRuntimeArea(void) { qz::LeaveRuntimeArea(); }

extern "C" BOOL QzWriteFileAtomically(const char* path, const void* data, size_t size, DWORD mode, char* error,
                                      DWORD errorSize) {
  std::string reason = "no file named";
  const bool written =
      path && (data || !size) &&
      qz::WriteFileAtomically(path, std::string_view(static_cast<const char*>(data), size), mode, &reason);
  if (!written && error && errorSize) snprintf(error, errorSize, "%s", reason.c_str());
  return written ? TRUE : FALSE;
}
