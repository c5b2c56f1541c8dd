// The runtime area as many short runs of the command use it: each root keeps one area while any of
// its processes runs, the last one to end removes it, and none removes it from under another.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <windows.h>
#include <winreg.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kernel32/sysroot.h"
#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::ReadWholeFile;
using qzwmitest::RootFile;
using qzwmitest::RunQzwmi;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs `qzwmi enum QZ_MemoryModule` with the system root `root`; its exit status, and its output in `out`.
int EnumIn(const std::string& root, const std::string& out) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("QZWMI_ROOT=", 0) != 0) env_text.push_back(*e);
  env_text.push_back("QZWMI_ROOT=" + root);
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string program = QZWMI_PATH, command = "enum", cls = "QZ_MemoryModule";
  char* argv[] = {program.data(), command.data(), cls.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(QzwmiRuntimeArea, TwoHundredRunsLeaveOnlyTheAreaStillHeld) {
  // This process holds its root's area, with a volatile key in it; the other root has no holder.
  const std::string held = QzGetSystemRoot();
  const std::string heldArea = QzGetRuntimeDir();
  const std::string idle = RootFile("idle");
  const std::string idleArea = qz::RuntimeAreaOf(std::filesystem::path(heldArea).parent_path(), idle);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Held", 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  // Fresh roots set themselves up once, alone; then 4 runs at a time, half in each root.
  ASSERT_EQ(EnumIn(held, RootFile("first-held.out")), 0);
  ASSERT_EQ(EnumIn(idle, RootFile("first-idle.out")), 0);
  EXPECT_FALSE(Exists(idleArea));
  const std::string expected = ReadWholeFile(RootFile("first-held.out"));
  ASSERT_NE(expected.find("Tag = VXN:QZ_MemoryModule:1-1\n"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(RootFile("first-idle.out")), expected);

  constexpr int kRunners = 4, kRunsEach = 50;
  std::vector<std::thread> runners;
  std::vector<std::string> failures(kRunners);
  for (int r = 0; r < kRunners; ++r) {
    runners.emplace_back([&, r] {
      const std::string root = r % 2 ? idle : held;
      const std::string out = RootFile("run-" + std::to_string(r) + ".out");
      for (int i = 0; i < kRunsEach && failures[r].empty(); ++i) {
        const int status = EnumIn(root, out);
        if (status != 0 || ReadWholeFile(out) != expected)
          failures[r] = "run " + std::to_string(i) + " in " + root + " exited " + std::to_string(status);
      }
    });
  }
  for (std::thread& runner : runners) runner.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");

  EXPECT_FALSE(Exists(idleArea));
  ASSERT_TRUE(Exists(heldArea));
  const auto query = RunQzwmi({"reg", "query", "HKLM\\SOFTWARE\\Held"});
  EXPECT_EQ(query.status, 0) << query.err;
  QzRemoveRuntimeArea();
  EXPECT_FALSE(Exists(heldArea));
}

}  // namespace
