// MOF files that the repository keeps: compiled once by a command, then put again into the
// repository of every process of the same system root when it starts, so that classes and provider
// registrations outlive the process that compiled them.
#pragma once

#include <wbemcli.h>

#include <string>

namespace qz::wbem {

// Compiles the MOF file at `path` (a Linux path or a Windows path) into the repository; with `keep`,
// stores a copy in C:\Windows\System32\wbem\AutoRecover so that later processes compile it too.
// The text may be UTF-8 or UTF-16 with a byte-order mark. On failure `message` says where and why.
HRESULT CompileMofFile(const std::string& path, bool keep, std::wstring* message);

// Compiles every kept MOF file, in the order of their names; called once when the repository of a
// process starts. A kept file that no longer compiles is passed over. What the files put in is
// saved in the system root and loaded instead by later processes while the files stay the same.
void RecoverKeptMofs();

class Repository;
enum class KeptMofsRecovery { Nothing, Compiled, Loaded };
// The same for the files of `folder` into `repository`, with the save at `saved` (empty: none):
// loaded when it is valid for the files, else the files are compiled and the save written anew.
KeptMofsRecovery RecoverKeptMofs(Repository& repository, const std::string& folder, const std::string& saved);
// Whether this thread is compiling the kept files right now.
bool RecoveringKeptMofs();

}  // namespace qz::wbem
