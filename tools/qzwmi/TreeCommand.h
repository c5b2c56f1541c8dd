// The tree command: a picture of the server's memory drawn from the published instances and the
// associations between them, as any WMI client could draw it.
#pragma once

#include <wbemcli.h>

#include <string>

namespace qzwmi {

// Whether the picture is coloured: "always", "never", or "auto" (only when `fd` is a terminal,
// TERM is set to something other than "dumb" and NO_COLOR is not set).
bool WantColor(const std::string& mode, int fd);

// Draws the computer system, its memory collection and redundancy set, and under each chassis the
// board slots with their boards and the boards' sockets with their modules. What no association
// places (boards without a slot, sockets without a board, modules without a socket) is listed apart,
// and an association that cannot be read is named at the end; only a failure to enumerate anything
// at all is an error. `color` adds ANSI colours. With `json`, the same tree as a JSON object:
// {"tree": {"text": ..., "children": [...]}, "notAvailable": [...]}.
HRESULT DrawMemoryTree(IWbemServices* services, bool color, std::string* picture, bool json = false);

// Connects to `nameSpace` and draws its tree.
HRESULT RunTree(const std::wstring& nameSpace, bool color, bool json, std::string* picture);

}  // namespace qzwmi
