// What the command and the service ask of the host machine: whether the host can be read at all,
// and a fresh reading of its health when its error counters or event database changed.
#include <algorithm>
#include <cstring>
#include <map>

#include "machine/host.h"
#include "qzplatform.h"

namespace qz::machine {
namespace {

void Copy(const std::string& text, char* out, DWORD size) {
  if (!out || !size) return;
  size_t n = std::min<size_t>(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// "module 2-3 predictive failure" for every module whose status differs between the two drivers.
std::string Changes(const HealthDriver& before, const HealthDriver& after) {
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> old;
  for (const DriverBoard& board : before.boards)
    for (const DriverModule& module : board.modules) old[{board.number, module.socket}] = module.status;
  std::string text;
  for (const DriverBoard& board : after.boards) {
    for (const DriverModule& module : board.modules) {
      auto it = old.find({board.number, module.socket});
      if (it != old.end() && it->second == module.status) continue;
      if (!text.empty()) text += ", ";
      text += "module " + std::to_string(board.number) + "-" + std::to_string(module.socket) +
              (module.status == 9 ? " predictive failure" : module.status == 2 ? " OK" : " status " + std::to_string(module.status));
    }
  }
  return text;
}

}  // namespace
}  // namespace qz::machine

extern "C" BOOL QzHostTableReadable(char* reason, DWORD reasonSize) {
  qz::machine::Smbios smbios;
  std::string error;
  if (qz::machine::ReadHostSmbios(qz::machine::HostRoot(), smbios, error)) return TRUE;
  qz::machine::Copy(error, reason, reasonSize);
  return FALSE;
}

extern "C" const char* QzGetHostRoot(void) {
  static const std::string root = qz::machine::HostRoot();
  return root.c_str();
}

extern "C" BOOL QzIsHostMachine(void) { return qz::machine::Current()->hostRoot.empty() ? FALSE : TRUE; }

extern "C" BOOL QzRefreshHostMachine(char* change, DWORD changeSize) {
  using namespace qz::machine;
  std::shared_ptr<const Machine> current = Current();
  if (current->hostRoot.empty()) return FALSE;
  if (HostHealthFingerprint(current->hostRoot) == current->hostFingerprint) return FALSE;
  std::string error;
  std::shared_ptr<Machine> fresh = LoadHostMachine(current->hostRoot, HealthRulesFromEnvironment(), error);
  if (!fresh) {
    // The table went away (it does not, on a running host): keep what was read, and look again later.
    auto kept = std::make_shared<Machine>(*current);
    kept->hostFingerprint = HostHealthFingerprint(current->hostRoot);
    SetMachine(kept);
    Copy("the host cannot be read again: " + error, change, changeSize);
    return TRUE;
  }
  const std::string changes = current->driver && fresh->driver ? Changes(*current->driver, *fresh->driver) : "";
  const std::string text = changes.empty() ? "memory errors recorded, no module changed status"
                                           : "memory health changed: " + changes;
  SetMachine(fresh);
  Copy(text, change, changeSize);
  return TRUE;
}

extern "C" DWORD QzGetHostModuleErrors(QzHostModuleErrors* errors, DWORD capacity) {
  using namespace qz::machine;
  std::shared_ptr<const Machine> current = Current();
  if (current->hostRoot.empty()) return 0;
  Smbios smbios;
  std::string error;
  if (!ReadHostSmbios(current->hostRoot, smbios, error)) return 0;
  const HostLayout layout = LayOutHost(smbios.table);
  // A counter counts every error: the whole history, not the window that decides a failure.
  HealthRules whole = HealthRulesFromEnvironment();
  whole.windowSeconds = 0;
  std::vector<ModuleHealth> health;
  std::vector<JournalEntry> journal;
  ReadHostHealth(current->hostRoot, layout, whole, 0, health, journal);
  std::vector<QzHostModuleErrors> found;
  for (size_t i = 0; i < layout.devices.size(); ++i) {
    const HostDevice& d = layout.devices[i];
    if (d.fitted && d.board) found.push_back({d.board, d.socket, health[i].corrected, health[i].uncorrected});
  }
  std::sort(found.begin(), found.end(), [](const QzHostModuleErrors& a, const QzHostModuleErrors& b) {
    return a.board != b.board ? a.board < b.board : a.socket < b.socket;
  });
  for (size_t i = 0; i < found.size() && i < capacity; ++i) errors[i] = found[i];
  return static_cast<DWORD>(found.size());
}
