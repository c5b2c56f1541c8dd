// The kept MOF files of the system root: C:\Windows\System32\wbem\AutoRecover, put into every
// process's repository when it starts: compiled, or loaded from their saved compiled result.
#include "wbem/autorecover.h"

#include <qzplatform.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel32/path.h"
#include "kernel32/sysroot.h"
#include "kernel32/text.h"
#include "wbem/mof.h"
#include "wbem/mofcache.h"
#include "wbem/repository.h"

namespace qz::wbem {
namespace {

std::string KeptFolder() { return SystemRoot() + "/drive_c/windows/system32/wbem/AutoRecover"; }

// The compiled result of the kept files. Not among them, where every file is compiled as MOF, but
// beside them in the repository's own folder, on the same file system as the root, so that a new
// save replaces the old one by renaming.
std::string SavedFile() { return SystemRoot() + "/drive_c/windows/system32/wbem/Repository/KeptMofs.bin"; }

// A file's bytes, read in one go into a buffer that is not cleared first. (Mapping the file
// costs more: unmapping it flushes the other processors' address caches.)
class FileBytes {
 public:
  // False when the file cannot be read (or is not a regular file).
  bool Read(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info{};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) {
      m_Size = static_cast<size_t>(info.st_size);
      m_Data.reset(new char[m_Size + 1]);
      size_t done = 0;
      while (ok && done < m_Size) {
        const ssize_t got = read(fd, m_Data.get() + done, m_Size - done);
        if (got < 0 && errno == EINTR) continue;
        ok = got > 0;
        if (ok) done += static_cast<size_t>(got);
      }
    }
    close(fd);
    return ok;
  }
  std::string_view Bytes() const { return {m_Data.get(), m_Size}; }

 private:
  std::unique_ptr<char[]> m_Data;
  size_t m_Size = 0;
};

// The text of MOF file bytes: UTF-16LE after its byte-order mark, else UTF-8 (a UTF-8 mark is dropped).
std::wstring DecodeText(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::wstring text;
    text.reserve(bytes.size() / 2);
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
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.remove_prefix(3);
  return FromUtf8(bytes);
}

std::optional<std::string> LinuxPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  if (path.size() > 1 && path[1] == ':') return MapWindowsPath(FromUtf8(path));
  return std::filesystem::absolute(path).string();  // relative to the working folder
}

HRESULT CompileBytes(std::string_view bytes, const std::string& path, Repository& repository, std::wstring* message) {
  MofResult result;
  HRESULT hr = CompileMof(DecodeText(bytes), FromUtf8(std::filesystem::path(path).filename().string()), L"root\\default",
                          &result, repository);
  if (FAILED(hr) && message) *message = result.message;
  return hr;
}

HRESULT Compile(const std::string& path, std::wstring* message) {
  FileBytes file;
  if (!file.Read(path)) {
    if (message) *message = FromUtf8(path) + L": cannot be read";
    return WBEM_E_NOT_FOUND;
  }
  return CompileBytes(file.Bytes(), path, Repository::Instance(), message);
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
  RecoverKeptMofs(Repository::Instance(), KeptFolder(), SavedFile());
  t_Recovering = false;
}

KeptMofsRecovery RecoverKeptMofs(Repository& repository, const std::string& folder, const std::string& saved) {
  std::vector<std::string> paths;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.is_regular_file(error)) paths.push_back(entry.path().string());
  }
  if (paths.empty()) return KeptMofsRecovery::Nothing;
  std::sort(paths.begin(), paths.end());
  struct Kept {
    std::string path;
    FileBytes bytes;
    bool read = false;
  };
  std::vector<Kept> files(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) files[i].path = std::move(paths[i]);
  // The save stands for the files while they hold the same bytes: names, sizes and times could
  // stay the same across a change, and the files are small.
  std::vector<KeptFileKey> keys;
  bool savable = !saved.empty();
  for (Kept& file : files) {
    file.read = file.bytes.Read(file.path);
    savable = savable && file.read;
    const std::string_view bytes = file.bytes.Bytes();
    keys.push_back(KeptFileKey{std::filesystem::path(file.path).filename().string(), bytes.size(), HashBytes(bytes)});
  }
  const CompiledMofStamp& stamp = CurrentCompiledMofStamp();
  bool record = savable;
  FileBytes save;
  if (savable && save.Read(saved)) {
    const CompiledMofsUse use = ApplyCompiledMofs(save.Bytes(), stamp, keys, repository);
    if (use == CompiledMofsUse::Applied) return KeptMofsRecovery::Loaded;
    // A save refused halfway: compiling over what it put still gives what the files give, but a
    // save recorded now would miss the changes made before. The next process makes it anew.
    record = use == CompiledMofsUse::Refused;
    if (!record) unlink(saved.c_str());
  }
  std::vector<Repository::Change> changes;
  if (record) repository.RecordChanges(&changes);
  for (const Kept& file : files) {
    if (file.read) CompileBytes(file.bytes.Bytes(), file.path, repository, nullptr);
  }
  if (!record) return KeptMofsRecovery::Compiled;
  repository.RecordChanges(nullptr);
  std::string bytes;
  // Failures (a read-only root) leave things as they were: the next process compiles again.
  std::string ignored;
  if (EncodeCompiledMofs(stamp, keys, changes, &bytes) &&
      MakeDirs(std::filesystem::path(saved).parent_path().string(), 0755))
    WriteFileAtomically(saved, bytes, 0644, &ignored);
  return KeptMofsRecovery::Compiled;
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
