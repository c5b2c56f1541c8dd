// Child processes that run an entry point of the test executable itself.
#include "tests/support/ChildProcess.h"

#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

namespace qztest {
namespace {

constexpr const char* kChildFlag = "--qz-child";

std::map<std::string, ChildMain>& Registry() {
  static std::map<std::string, ChildMain> registry;
  return registry;
}

std::string SelfPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = 0;
  return path;
}

}  // namespace

bool RegisterChildMain(const char* name, ChildMain main) {
  Registry()[name] = main;
  return true;
}

int RunChildIfRequested(int argc, char** argv) {
  if (argc < 3 || strcmp(argv[1], kChildFlag) != 0) return -1;
  auto it = Registry().find(argv[2]);
  if (it == Registry().end()) {
    fprintf(stderr, "no child entry point named %s\n", argv[2]);
    return 127;
  }
  std::vector<std::string> args(argv + 3, argv + argc);
  return it->second(args);
}

ChildProcess ChildProcess::Start(const std::string& name, const std::vector<std::string>& args) {
  std::string self = SelfPath();
  std::vector<std::string> words = {self, kChildFlag, name};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execv(self.c_str(), argv.data());
    _exit(126);
  }
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : m_Pid(other.m_Pid) { other.m_Pid = -1; }

ChildProcess::~ChildProcess() {
  if (m_Pid > 0) {
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
  }
}

void ChildProcess::Kill(int signal) {
  if (m_Pid > 0) kill(m_Pid, signal);
}

int ChildProcess::Wait(int timeout_ms) {
  const int status = m_Pid > 0 ? WaitExit(m_Pid, std::chrono::milliseconds(timeout_ms)) : -1;
  m_Pid = -1;
  return status;
}

int WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() > deadline) break;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace qztest
