// The main of every test executable: each test process gets a system root of its own, removed
// (with its runtime area) when the process ends, so tests never see each other's state.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "qzplatform.h"
#include "tests/support/ChildProcess.h"

int main(int argc, char** argv) {
  int child = qztest::RunChildIfRequested(argc, argv);
  if (child >= 0) return child;

  bool own_root = false;
  std::string root;
  const char* keep = getenv("QZWMI_TEST_KEEP_ROOT");
  if (!keep || !*keep) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qzwmi-test-XXXXXX";
    if (!mkdtemp(pattern.data())) return 2;
    root = pattern;
    setenv("QZWMI_ROOT", root.c_str(), 1);
    own_root = true;
  }

  setenv("QZWMI_MACHINE", QZ_TEST_DEFAULT_MACHINE, 0);
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();

  if (own_root) {
    QzRemoveRuntimeArea();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  return result;
}
