// The line that `qzwmi --version` prints.
#include "Setup.h"

#include "QzVersion.h"

namespace qzwmi {

std::string VersionText() {
  std::string text = std::string("qzwmi ") + QZ_VERSION;
  if (*QZ_REVISION) text += std::string(" (git ") + QZ_REVISION + ")";
  return text;
}

}  // namespace qzwmi
