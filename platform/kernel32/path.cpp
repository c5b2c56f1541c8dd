// Maps Windows paths into the system root with case-insensitive lookup of existing components.
#include "kernel32/path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <mutex>
#include <unordered_map>
#include <vector>

#include "kernel32/sysroot.h"
#include "kernel32/text.h"
#include "windows.h"

namespace qz {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool HasForbiddenCharacter(std::wstring_view component) {
  for (wchar_t c : component) {
    if (c < 0x20) return true;
    switch (c) {
      case L'<': case L'>': case L':': case L'"': case L'|': case L'?': case L'*':
        return true;
      default:
        break;
    }
  }
  return false;
}

bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

// The entry of `dir` that matches `name` ignoring case, or `name` itself when there is none;
// `*exists` tells which.
std::string FindEntry(const std::string& dir, std::wstring_view name, bool* exists) {
  std::string exact = ToUtf8(name);
  struct stat st;
  *exists = true;
  if (lstat((dir + "/" + exact).c_str(), &st) == 0) return exact;
  DIR* stream = opendir(dir.c_str());
  *exists = false;
  if (!stream) return exact;
  std::string found = exact;
  while (dirent* entry = readdir(stream)) {
    if (SameNameIgnoringCase(FromUtf8(entry->d_name), name)) {
      found = entry->d_name;
      *exists = true;
      break;
    }
  }
  closedir(stream);
  return found;
}

// Folders found before, by their Windows path folded to one case. Few folders are ever opened,
// so the table is simply emptied when it grows large.
std::mutex g_FoldersLock;
std::unordered_map<std::wstring, std::string> g_Folders;

std::optional<std::string> KnownFolder(const std::wstring& key) {
  std::lock_guard<std::mutex> hold(g_FoldersLock);
  auto found = g_Folders.find(key);
  if (found == g_Folders.end()) return std::nullopt;
  return found->second;
}

void RememberFolder(const std::wstring& key, const std::string& folder) {
  std::lock_guard<std::mutex> hold(g_FoldersLock);
  if (g_Folders.size() >= 256) g_Folders.clear();
  g_Folders[key] = folder;
}

std::optional<std::string> Fail(DWORD error) {
  SetLastError(error);
  return std::nullopt;
}

// The folder of the system root that a rooted path starts in (its drive, or drive C when it starts
// with a backslash), and the rest of the path after its root.
DWORD SplitRoot(std::wstring_view path, std::string* base, std::wstring_view* rest) {
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == L':') {
    // "C:" alone or "C:name" is relative to the drive's current folder, which we do not keep.
    if (path.size() < 3 || !IsSeparator(path[2])) return ERROR_PATH_NOT_FOUND;
    *base = SystemRoot() + "/drive_" + static_cast<char>(FoldCase(path[0]));
    *rest = path.substr(3);
    return ERROR_SUCCESS;
  }
  if (path[0] == L'\\') {
    if (path.size() >= 2 && IsSeparator(path[1])) return ERROR_BAD_PATHNAME;  // UNC
    *base = SystemRoot() + "/drive_c";
    *rest = path.substr(1);
    return ERROR_SUCCESS;
  }
  // There is no current folder to resolve a relative path against.
  return ERROR_PATH_NOT_FOUND;
}

// The components of a path, without the empty ones and ".".
DWORD SplitComponents(std::wstring_view rest, std::vector<std::wstring_view>* components) {
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::wstring_view component = rest.substr(start, end - start);
    if (component == L"..") return ERROR_INVALID_NAME;  // never climb out of the root
    if (!component.empty() && component != L".") {
      if (HasForbiddenCharacter(component)) return ERROR_INVALID_NAME;
      components->push_back(component);
    }
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// The path under `base` that the components name, each spelled as it is on disk when it exists
// under another case; the components from the first missing one on are kept as they are given.
std::string FindOnDisk(const std::string& base, const std::vector<std::wstring_view>& components) {
  // A file in a folder found before (however the caller spells the folder: C:\Windows is
  // drive_c/windows) costs one lookup when it is there under the name given.
  std::wstring folderKey = FromUtf8(base);
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    folderKey += L'\\';
    for (wchar_t c : components[i]) folderKey += FoldCase(c);
  }
  struct stat st;
  std::optional<std::string> folder = components.size() > 1 ? KnownFolder(folderKey) : std::nullopt;
  if (folder) {
    std::string file = *folder + "/" + ToUtf8(components.back());
    if (lstat(file.c_str(), &st) == 0) return file;
    if (lstat(folder->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      bool found = false;
      return *folder + "/" + FindEntry(*folder, components.back(), &found);
    }
  }

  // Mostly the path is written as it is on disk: one lookup of the whole path settles it.
  std::string mapped = base;
  for (std::wstring_view component : components) mapped += "/" + ToUtf8(component);
  if (lstat(mapped.c_str(), &st) == 0) return mapped;

  mapped = base;
  bool exists = true;  // once a component is missing, the rest cannot exist either
  for (size_t i = 0; i < components.size(); ++i) {
    if (i + 1 == components.size() && exists && i > 0) RememberFolder(folderKey, mapped);
    std::string name = exists ? FindEntry(mapped, components[i], &exists) : ToUtf8(components[i]);
    mapped += "/" + name;
  }
  return mapped;
}

}  // namespace

bool IsDevicePath(std::wstring_view path) {
  return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
         (path[2] == L'.' || path[2] == L'?') && IsSeparator(path[3]);
}

std::optional<std::string> MapWindowsPath(std::wstring_view path) {
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  if (path[0] == L'/') return ToUtf8(path);
  if (IsDevicePath(path)) return Fail(ERROR_FILE_NOT_FOUND);  // devices open through CreateFileW only
  std::string base;
  std::wstring_view rest;
  if (const DWORD error = SplitRoot(path, &base, &rest)) return Fail(error);
  std::vector<std::wstring_view> components;
  if (const DWORD error = SplitComponents(rest, &components)) return Fail(error);
  return FindOnDisk(base, components);
}

}  // namespace qz

namespace {

constexpr wchar_t kWindowsDirectory[] = L"C:\\Windows";

// Copies `text` with its terminator when it fits: its length, else the size it needs.
UINT CopyDirectory(std::wstring_view text, LPWSTR buffer, UINT size) {
  UINT length = static_cast<UINT>(text.size());
  if (!buffer || size <= length) return length + 1;
  text.copy(buffer, length);
  buffer[length] = L'\0';
  return length;
}

}  // namespace

extern "C" UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  qz::SystemRoot();  // a fresh root sets up its Windows directory on first use
  return CopyDirectory(kWindowsDirectory, lpBuffer, uSize);
}
