// The system root: $QZWMI_ROOT or the user's default, and its runtime area in /dev/shm.
#include "kernel32/sysroot.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "kernel32/path.h"
#include "kernel32/text.h"
#include "qzplatform.h"

namespace qz {
namespace {

std::string DefaultRoot() {
  if (geteuid() == 0) return "/var/lib/qzwmi";
  const char* home = getenv("HOME");
  std::string base = home && *home ? home : "/tmp";
  return base + "/.local/state/qzwmi";
}

std::string ResolveRoot() {
  const char* env = getenv("QZWMI_ROOT");
  std::string root = env && *env ? env : DefaultRoot();
  MakeDirs(root, 0755);
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved)) root = resolved;
  for (const char* dir : kWindowsDirs) MakeDirs(root + "/" + dir, 0755);
  return root;
}

// FNV-1a: a stable short name for the root's runtime area.
uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string ResolveRuntimeDir() {
  std::string base = "/dev/shm";
  struct stat st;
  if (stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) base = "/tmp";
  char name[64];
  snprintf(name, sizeof name, "/qzwmi-%u-%016llx", static_cast<unsigned>(geteuid()),
           static_cast<unsigned long long>(Fnv1a(SystemRoot())));
  std::string dir = base + name;
  MakeDirs(dir, 0700);
  return dir;
}

}  // namespace

bool MakeDirs(const std::string& path, unsigned mode) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (ec) return true;
  chmod(path.c_str(), mode);
  return true;
}

const std::string& SystemRoot() {
  // Never destroyed: kernel objects closed by other statics at exit still need the root.
  static const std::string* root = new std::string(ResolveRoot());
  return *root;
}

const std::string& RuntimeDir() {
  static const std::string* dir = new std::string(ResolveRuntimeDir());
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
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out += L'\xFFFD';
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
      out += L'\xFFFD';
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
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

extern "C" void QzRemoveRuntimeArea(void) {
  std::error_code ec;
  std::filesystem::remove_all(qz::RuntimeDir(), ec);
}
