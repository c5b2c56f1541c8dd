// Tests that need several processes start copies of their own executable in a child mode.
//
//   QZ_CHILD_MAIN(IncrementCounter) { ... return 0; }   // runs in the child, argv after the name
//   ChildProcess child = ChildProcess::Start("IncrementCounter", {"5000"});
//   EXPECT_EQ(child.Wait(), 0);
//
// Children inherit the environment, and so the test's system root.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qztest {

using ChildMain = int (*)(const std::vector<std::string>& args);

// Waits up to `timeout` for the child `pid` to end: its exit status, 128 + signal when a signal
// ended it, or -1 when it did not end in time (it is then killed).
int WaitExit(pid_t pid, std::chrono::milliseconds timeout);

// Registers a child entry point; used through QZ_CHILD_MAIN.
bool RegisterChildMain(const char* name, ChildMain main);

// Runs the child entry point named in argv when argv asks for one; returns -1 otherwise.
int RunChildIfRequested(int argc, char** argv);

class ChildProcess {
 public:
  static ChildProcess Start(const std::string& name, const std::vector<std::string>& args = {});
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess();

  pid_t Pid() const { return m_Pid; }
  // WaitExit for this child.
  int Wait(int timeout_ms = 60000);
  void Kill(int signal);

 private:
  explicit ChildProcess(pid_t pid) : m_Pid(pid) {}
  pid_t m_Pid;
};

}  // namespace qztest

#define QZ_CHILD_MAIN(name)                                                                  \
  static int QzChild_##name(const std::vector<std::string>& args);                           \
  [[maybe_unused]] static const bool QzChildRegistered_##name =                             \
      ::qztest::RegisterChildMain(#name, &QzChild_##name);                                   \
  static int QzChild_##name([[maybe_unused]] const std::vector<std::string>& args)
