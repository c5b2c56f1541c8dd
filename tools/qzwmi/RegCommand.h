// `qzwmi reg`: reads and writes the registry of the system root with the command line and the
// output of the Windows registry console tool.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qzwmi {

// Asks a yes/no question (the text ends in "(Yes/No)? "); true for yes.
using ConfirmFunction = std::function<bool(const std::string& question)>;

// Runs `reg query|add|delete ...` (args start with the operation). Results go to `out`, the
// "ERROR: ..." lines to `err`. Returns the exit status: 0 on success (and for the usage that `/?`
// asks for), 2 for a command line it cannot read, 1 on any other error.
int RunReg(const std::vector<std::string>& args, std::string* out, std::string* err, const ConfirmFunction& confirm);

}  // namespace qzwmi
