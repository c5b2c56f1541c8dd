// Runs the built qzwmi (or any program) as a child process, in the test's own system root, and
// collects what it printed on each stream and its exit status.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qzplatform.h"
#include "tests/support/ChildProcess.h"

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

// Counts the occurrences of `needle` in `text`.
inline size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Asks `done` again every `every` until it answers true or `timeout` has passed; its last answer.
template <class Done>
bool Eventually(Done done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds every = std::chrono::milliseconds(10)) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout;; std::this_thread::sleep_for(every)) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
}

// Starts `argv` (its program looked up in PATH) with standard input, output and error opened on the
// named files ("" keeps this process's stream; an error file named as the output shares it); -1
// when it cannot start.
inline pid_t Spawn(std::vector<std::string> argv, const std::string& in, const std::string& out,
                   const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!in.empty()) posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!err.empty() && err == out) posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

using qztest::WaitExit;

// Runs `program args...` with `input` on its standard input; gives up after `timeout`.
inline Outcome RunProgram(const std::string& program, std::vector<std::string> args, const std::string& input = "",
                          std::chrono::seconds timeout = std::chrono::seconds(30)) {
  static std::atomic<int> counter{0};
  const std::string base = RootFile("run" + std::to_string(++counter));
  WriteWholeFile(base + ".in", input);
  args.insert(args.begin(), program);
  Outcome run;
  const pid_t pid = Spawn(args, base + ".in", base + ".out", base + ".err");
  if (pid < 0) return run;
  run.status = WaitExit(pid, timeout);
  run.out = ReadWholeFile(base + ".out");
  run.err = ReadWholeFile(base + ".err");
  return run;
}
#ifdef QZWMI_PATH
// Runs the built `qzwmi args...`.
inline Outcome RunQzwmi(const std::vector<std::string>& args, const std::string& input = "",
                        std::chrono::seconds timeout = std::chrono::seconds(30)) {
  return RunProgram(QZWMI_PATH, args, input, timeout);
}

// Runs the built `qzwmi args...` and expects exactly this exit status and these two streams.
inline void ExpectRun(const std::vector<std::string>& args, int status, const std::string& out, const std::string& err,
                      const std::string& input = "") {
  const Outcome run = RunQzwmi(args, input);
  std::string command = "qzwmi";
  for (const std::string& arg : args) command += " " + arg.substr(0, 80);
  EXPECT_EQ(run.status, status) << command;
  EXPECT_EQ(run.out, out) << command;
  EXPECT_EQ(run.err, err) << command;
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
