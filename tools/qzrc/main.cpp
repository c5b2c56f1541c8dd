// qzrc, the build's resource compiler: turns the string tables of an .rc file into a C++ source.
//
//   qzrc [-I dir]... [--depfile file] input.rc output.cpp ModuleName.dll
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "RcScript.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: qzrc [-I dir]... [--depfile file] input.rc output.cpp ModuleName.dll\n");
  return 2;
}

// Writes `text` to `path` unless the file already holds it, so that an unchanged table is not rebuilt.
bool WriteIfChanged(const std::string& path, const std::string& text) {
  std::ifstream existing(path, std::ios::binary);
  if (existing) {
    std::string old((std::istreambuf_iterator<char>(existing)), std::istreambuf_iterator<char>());
    if (old == text) return true;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> includeDirs;
  std::vector<std::string> positional;
  std::string depfile;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-I") == 0 && i + 1 < argc) {
      includeDirs.push_back(argv[++i]);
    } else if (std::strncmp(argv[i], "-I", 2) == 0 && argv[i][2]) {
      includeDirs.push_back(argv[i] + 2);
    } else if (std::strcmp(argv[i], "--depfile") == 0 && i + 1 < argc) {
      depfile = argv[++i];
    } else if (argv[i][0] == '-') {
      return Usage();
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() != 3) return Usage();
  const std::string& input = positional[0];
  const std::string& output = positional[1];
  qzrc::ResourceScript script;
  std::string error;
  if (!qzrc::ParseScriptFile(input, includeDirs, script, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (!WriteIfChanged(output, qzrc::GenerateSource(script, positional[2], input))) {
    std::fprintf(stderr, "%s: cannot write the file\n", output.c_str());
    return 1;
  }
  if (!depfile.empty()) {
    std::string rule = output + ":";
    for (const std::string& file : script.files) rule += " " + file;
    if (!WriteIfChanged(depfile, rule + "\n")) {
      std::fprintf(stderr, "%s: cannot write the file\n", depfile.c_str());
      return 1;
    }
  }
  return 0;
}
