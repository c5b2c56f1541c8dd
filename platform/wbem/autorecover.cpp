// The kept MOF files of the system root: C:\Windows\System32\wbem\AutoRecover, compiled again at
// the start of every process's repository.
#include "wbem/autorecover.h"

#include <qzplatform.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "kernel32/path.h"
#include "kernel32/sysroot.h"
#include "kernel32/text.h"
#include "wbem/mof.h"

namespace qz::wbem {
namespace {

std::string KeptFolder() { return SystemRoot() + "/drive_c/windows/system32/wbem/AutoRecover"; }

// The file's text: UTF-16LE after its byte-order mark, else UTF-8 (a UTF-8 mark is dropped).
std::optional<std::wstring> ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
        unsigned low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          text.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
          i += 2;
          continue;
        }
      }
      text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  return FromUtf8(bytes);
}

std::optional<std::string> LinuxPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  if (path.size() > 1 && path[1] == ':') return MapWindowsPath(FromUtf8(path));
  return std::filesystem::absolute(path).string();  // relative to the working folder
}

HRESULT Compile(const std::string& path, std::wstring* message) {
  std::optional<std::wstring> text = ReadText(path);
  if (!text) {
    if (message) *message = FromUtf8(path) + L": cannot be read";
    return WBEM_E_NOT_FOUND;
  }
  MofResult result;
  HRESULT hr = CompileMof(*text, FromUtf8(std::filesystem::path(path).filename().string()), L"root\\default", &result);
  if (FAILED(hr) && message) *message = result.message;
  return hr;
}

// Set while this thread compiles the kept files, which reaches the repository again.
thread_local bool t_Recovering = false;

}  // namespace

HRESULT CompileMofFile(const std::string& path, bool keep, std::wstring* message) {
  std::optional<std::string> linuxPath = LinuxPath(path);
  if (!linuxPath) {
    if (message) *message = FromUtf8(path) + L": not a valid path";
    return WBEM_E_INVALID_PARAMETER;
  }
  HRESULT hr = Compile(*linuxPath, message);
  if (FAILED(hr) || !keep) return hr;
  const std::string folder = KeptFolder();
  std::error_code error;
  MakeDirs(folder, 0755);
  const std::string kept = folder + "/" + std::filesystem::path(*linuxPath).filename().string();
  if (std::filesystem::equivalent(*linuxPath, kept, error)) return hr;
  std::filesystem::copy_file(*linuxPath, kept, std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    if (message) *message = FromUtf8(kept) + L": cannot be kept: " + FromUtf8(error.message());
    return WBEM_E_ACCESS_DENIED;
  }
  return hr;
}

bool RecoveringKeptMofs() { return t_Recovering; }

void RecoverKeptMofs() {
  if (t_Recovering) return;
  t_Recovering = true;
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(KeptFolder(), error)) {
    if (entry.is_regular_file(error)) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) Compile(file, nullptr);
  t_Recovering = false;
}

}  // namespace qz::wbem

extern "C" HRESULT QzCompileMofFile(const char* path, BOOL keep, char* error, DWORD errorSize) {
  if (error && errorSize) error[0] = 0;
  if (!path) return WBEM_E_INVALID_PARAMETER;
  std::wstring message;
  HRESULT hr = qz::wbem::CompileMofFile(path, keep != FALSE, &message);
  if (FAILED(hr) && error && errorSize) {
    std::string text = qz::ToUtf8(message);
    text.resize(std::min<size_t>(text.size(), errorSize - 1));
    std::copy(text.begin(), text.end(), error);
    error[text.size()] = 0;
  }
  return hr;
}
