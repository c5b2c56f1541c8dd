#include "MachineChoice.h"

#include <cstdlib>

#include "qzplatform.h"

namespace qzwmi {

std::string ChooseMachine(const std::string& option, const std::string& fallback, std::string* notice) {
  notice->clear();
  if (!option.empty()) return option;
  const char* configured = std::getenv("QZWMI_MACHINE");
  if (configured && *configured) return configured;
  char reason[512] = "";
  if (QzHostTableReadable(reason, sizeof reason)) return "host";
  *notice = "qzwmi: showing the bundled example server " + fallback + ", not this host: " + reason;
  return fallback;
}

}  // namespace qzwmi
