// The runtime area as many short runs of the command use it: each root keeps one area while any of
// its processes runs, the last one to end removes it, and none removes it from under another.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <windows.h>
#include <winreg.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kernel32/sysroot.h"
#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::RootFile;
using qzwmitest::RunQzwmi;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// `qzwmi enum QZ_MemoryModule` with the system root `root` (threads may not change the environment).
qzwmitest::Outcome EnumIn(const std::string& root) {
  return qzwmitest::RunProgram("env", {"QZWMI_ROOT=" + root, QZWMI_PATH, "enum", "QZ_MemoryModule"});
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
  const qzwmitest::Outcome first = EnumIn(held);
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_NE(first.out.find("Tag = VXN:QZ_MemoryModule:1-1\n"), std::string::npos);
  const qzwmitest::Outcome idleFirst = EnumIn(idle);
  ASSERT_EQ(idleFirst.status, 0) << idleFirst.err;
  EXPECT_FALSE(Exists(idleArea));
  EXPECT_EQ(idleFirst.out, first.out);

  constexpr int kRunners = 4, kRunsEach = 50;
  std::vector<std::thread> runners;
  std::vector<std::string> failures(kRunners);
  for (int r = 0; r < kRunners; ++r) {
    runners.emplace_back([&, r] {
      const std::string root = r % 2 ? idle : held;
      for (int i = 0; i < kRunsEach && failures[r].empty(); ++i) {
        const qzwmitest::Outcome run = EnumIn(root);
        if (run.status != 0 || run.out != first.out)
          failures[r] = "run " + std::to_string(i) + " in " + root + " exited " + std::to_string(run.status);
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
