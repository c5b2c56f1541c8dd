// Where state goes on a Linux system, and when a runtime area may be removed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <tuple>

#include "kernel32/runtimearea.h"
#include "kernel32/sysroot.h"
#include "tests/support/PlatformTest.h"

namespace {

TEST(StatePlaces, FollowTheUserAndTheEnvironment) {
  const std::string noRuntime =
      "no place for volatile state: XDG_RUNTIME_DIR is not set (a login session sets it; else set it to a folder "
      "of your own, mode 0700, that is emptied at boot)";
  const std::string noRoot = "no place for the system root: set QZWMI_ROOT, XDG_STATE_HOME or HOME to an absolute folder";
  struct Case { unsigned euid; std::map<std::string, std::string> env; qz::StatePlaces expected; };
  const Case cases[] = {
      {0, {}, {"/var/lib/qzwmi", "/run/qzwmi", ""}},
      {0, {{"HOME", "/root"}, {"XDG_RUNTIME_DIR", "/run/user/0"}}, {"/var/lib/qzwmi", "/run/qzwmi", ""}},
      {0, {{"QZWMI_ROOT", "/srv/r"}}, {"/srv/r", "/run/qzwmi", ""}},
      {1000,
       {{"XDG_STATE_HOME", "/s"}, {"HOME", "/h"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}},
       {"/s/qzwmi", "/run/user/1000/qzwmi", ""}},
      {1000, {{"HOME", "/h"}, {"XDG_RUNTIME_DIR", "/r"}}, {"/h/.local/state/qzwmi", "/r/qzwmi", ""}},
      {1000, {{"XDG_STATE_HOME", "s"}, {"HOME", "/h"}, {"XDG_RUNTIME_DIR", "/r"}}, {"/h/.local/state/qzwmi", "/r/qzwmi", ""}},
      {1000, {{"QZWMI_ROOT", "rel"}, {"XDG_RUNTIME_DIR", "/r"}}, {"rel", "/r/qzwmi", ""}},
      {1000, {{"HOME", "/h"}}, {"/h/.local/state/qzwmi", "", noRuntime}},
      {1000, {{"HOME", "/h"}, {"XDG_RUNTIME_DIR", "run"}}, {"/h/.local/state/qzwmi", "", noRuntime}},
      {1000, {{"HOME", ""}, {"XDG_RUNTIME_DIR", "/r"}}, {"", "", noRoot}},
      {1000, {{"QZWMI_ROOT", ""}, {"HOME", "h"}, {"XDG_RUNTIME_DIR", "/r"}}, {"", "", noRoot}},
  };
  for (const Case& c : cases) {
    const qz::StatePlaces places = qz::DecideStatePlaces(c.euid, [&](const char* name) -> const char* {
      auto found = c.env.find(name);
      return found == c.env.end() ? nullptr : found->second.c_str();
    });
    EXPECT_EQ(std::tie(places.root, places.runtimeBase, places.error),
              std::tie(c.expected.root, c.expected.runtimeBase, c.expected.error))
        << c.euid << " " << testing::PrintToString(c.env);
  }
}

TEST(RuntimeArea, IsNamedAfterItsRoot) {
  EXPECT_EQ(qz::RuntimeAreaOf("/run/qzwmi", "/var/lib/qzwmi"), "/run/qzwmi/d70649e4ac704eca");
  EXPECT_NE(qz::RuntimeAreaOf("/b", "/var/lib/qzwmi"), qz::RuntimeAreaOf("/b", "/var/lib/qzwmj"));
}

using qztest::PathExists;

TEST(RuntimeArea, IsRemovedOnlyWhenNoProcessHoldsIt) {
  const std::string base = qz::SystemRoot() + "/runtime";
  const std::string area = qz::RuntimeAreaOf(base, "/some/root");
  const std::string lock = area + "/" + qz::kRuntimeAreaLock;
  ASSERT_TRUE(qz::MakeDirs(area + "/objects", 0700));
  std::ofstream(area + "/registry-volatile.db") << "keys";

  const int holder = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);
  EXPECT_FALSE(qz::RemoveIdleArea(area));
  EXPECT_TRUE(PathExists(area + "/registry-volatile.db") && PathExists(area + "/objects"));

  close(holder);
  EXPECT_TRUE(qz::RemoveIdleArea(area));
  EXPECT_FALSE(PathExists(area));
  EXPECT_TRUE(PathExists(base));

  // Without a lock file no process can be using it: whoever creates an area locks the file first.
  ASSERT_TRUE(qz::MakeDirs(area + "/objects", 0700));
  EXPECT_TRUE(qz::RemoveIdleArea(area));
  EXPECT_FALSE(PathExists(area));
}

TEST(MakeDirs, GivesTheModeAndLeavesAFolderThatHasItUntouched) {
  const std::string base = qz::SystemRoot() + "/made";
  const mode_t oldMask = umask(077);
  struct Case {
    const char* name;
    const char* path;
    int before;  // -1: nothing there; -2: a file; else a folder of this mode
    unsigned mode;
    bool made;
  } cases[] = {
      {"new, with its parents, through the umask", "/a/b/c", -1, 0755, true},
      {"there with another mode", "/d", 0700, 0711, true},
      {"there with its mode", "/e", 0711, 0711, true},
      {"a file in the way", "/f", -2, 0755, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = base + c.path;
    if (c.before == -2) {
      ASSERT_TRUE(qz::MakeDirs(base, 0755));
      std::ofstream(path) << "x";
    } else if (c.before >= 0) {
      ASSERT_TRUE(qz::MakeDirs(path, static_cast<unsigned>(c.before)));
    }
    struct stat was = {};
    stat(path.c_str(), &was);
    usleep(2000);  // a change would show in the folder's change time
    EXPECT_EQ(qz::MakeDirs(path, c.mode), c.made);
    struct stat now = {};
    ASSERT_EQ(stat(path.c_str(), &now), 0);
    if (!c.made) continue;
    EXPECT_EQ(now.st_mode & 07777, c.mode);
    const bool touched = was.st_ctim.tv_sec != now.st_ctim.tv_sec || was.st_ctim.tv_nsec != now.st_ctim.tv_nsec;
    EXPECT_EQ(touched, c.before != static_cast<int>(c.mode));
  }
  umask(oldMask);
}

}  // namespace
