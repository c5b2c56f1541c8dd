// The names of the HRESULT codes that the command reports, as the WBEM and COM headers spell them.
#pragma once

#include <windows.h>

#include <string>

namespace qzwmi {

// The name of a code ("WBEM_E_NOT_FOUND"), or an empty string when the table does not know it.
std::string HresultName(HRESULT hr);

// The text of the command's error line: "WBEM_E_NOT_FOUND (0x80041002)", or just "0x8004XXXX" for a
// code without a name.
std::string HresultText(HRESULT hr);

}  // namespace qzwmi
