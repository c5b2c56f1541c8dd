// A kept MOF file that fails is not kept and says where (a kept file reaching later processes is
// run through the command-line tool's own tests).
#include "wbem/autorecover.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <fstream>
#include <string>

#include "kernel32/sysroot.h"
#include "tests/support/ChildProcess.h"
#include "wbem/repository.h"

namespace {

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = qz::SystemRoot() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

bool HasKeptClass() { return qz::wbem::Repository::Instance().FindClass(L"root\\VXN", L"QZ_Kept") != nullptr; }

QZ_CHILD_MAIN(ExpectKeptClass) { return HasKeptClass() == (args.at(0) == "yes") ? 0 : 1; }

TEST(KeptMof, AFileThatFailsIsNotKeptAndSaysWhere) {
  const std::string path = WriteFile("broken.mof", "class QZ_Kept\n{\n  [key] string Tag\n};\n");
  char error[256] = {};
  EXPECT_NE(QzCompileMofFile(path.c_str(), TRUE, error, sizeof error), WBEM_S_NO_ERROR);
  EXPECT_EQ(std::string(error).rfind("broken.mof:4:", 0), 0u) << error;
  EXPECT_EQ(qztest::ChildProcess::Start("ExpectKeptClass", {"no"}).Wait(), 0);
  EXPECT_EQ(QzCompileMofFile((qz::SystemRoot() + "/missing.mof").c_str(), TRUE, error, sizeof error), WBEM_E_NOT_FOUND);
  EXPECT_NE(std::string(error).find("missing.mof: cannot be read"), std::string::npos) << error;
}

}  // namespace
