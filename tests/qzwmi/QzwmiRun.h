// Runs the built qzwmi (or any program) as a child process, in the test's own system root, and
// collects what it printed on each stream and its exit status.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qzplatform.h"

#ifdef QZ_GOLDEN_DIR
#include <gtest/gtest.h>
#endif

extern char** environ;

namespace qzwmitest {

struct Outcome {
  int status = -1;  // the exit status; 128 + signal when killed; -1 when it did not end in time
  std::string out;
  std::string err;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A file name in the test's system root (which the test main removes afterwards).
inline std::string RootFile(const std::string& name) { return std::string(QzGetSystemRoot()) + "/" + name; }

// Runs `program args...` with `input` on its standard input; gives up after `timeout`.
inline Outcome RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input = "",
                          std::chrono::seconds timeout = std::chrono::seconds(30)) {
  static int counter = 0;
  const std::string base = RootFile("run" + std::to_string(++counter));
  const std::string in = base + ".in", out = base + ".out", err = base + ".err";
  WriteWholeFile(in, input);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Outcome run;
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int wstatus = 0;
  for (;;) {
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      run.out = ReadWholeFile(out);
      run.err = ReadWholeFile(err);
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  run.out = ReadWholeFile(out);
  run.err = ReadWholeFile(err);
  return run;
}

#ifdef QZWMI_PATH
// Runs the built `qzwmi args...`.
inline Outcome RunQzwmi(const std::vector<std::string>& args, const std::string& input = "",
                        std::chrono::seconds timeout = std::chrono::seconds(30)) {
  return RunProgram(QZWMI_PATH, args, input, timeout);
}
#endif

#ifdef QZ_GOLDEN_DIR
// The bundled machines whose outputs are kept in tests/golden.
inline const char* const kGoldenMachines[] = {"default",   "processor-boards", "smbios-only",       "no-driver",
                                              "real-dump", "board-states",     "mirrored-fallback", "store-not-ready"};

// Compares `actual` with tests/golden/<name>.txt; QZ_UPDATE_GOLDEN=1 writes it anew (then read the
// differences before committing them).
inline void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::string path = std::string(QZ_GOLDEN_DIR) + "/" + name + ".txt";
  if (std::getenv("QZ_UPDATE_GOLDEN")) WriteWholeFile(path, actual);
  EXPECT_EQ(actual, ReadWholeFile(path)) << "golden output " << path;
}

inline std::string GoldenTestName(const testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  for (char& ch : name)
    if (ch == '-') ch = '_';
  return name;
}
#endif

}  // namespace qzwmitest
