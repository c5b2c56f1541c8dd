// Which machine the command manages when it starts.
#pragma once

#include <string>

namespace qzwmi {

// The machine to load: `option` (--machine) when given, else $QZWMI_MACHINE, else the running host
// ("host") when its SMBIOS table is readable, else `fallback`. In that last case `notice` gets one
// line that says so and why; otherwise it is left empty.
std::string ChooseMachine(const std::string& option, const std::string& fallback, std::string* notice);

}  // namespace qzwmi
