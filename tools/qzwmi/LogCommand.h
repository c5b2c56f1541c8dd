// `qzwmi log`: the system's trace log (UTF-16LE, as the provider writes it) as UTF-8 text.
#pragma once

#include <string>

namespace qzwmi {

// The trace log file as a Windows path: the folder that HKLM\Software\Tarnwell\WBEM\LogFolder
// names, else the Windows directory's system32\wbem\logs, then QZWBEMServer.log.
std::wstring TraceLogPath();

// UTF-16LE bytes (a leading byte-order mark skipped, surrogate pairs joined) as UTF-8. `pending`
// keeps a trailing odd byte or lone high surrogate for the next call.
std::string Utf16LeToUtf8(const std::string& bytes, std::string* pending);

// Writes the log (its rotated copy first) to `fd`; with `follow`, then writes what is appended
// until the process is stopped. 0 on success, 1 when the log cannot be read or written (with the
// error line on standard error).
int RunLog(bool follow, int fd);

}  // namespace qzwmi
