// Kept MOF files: compiled into this process and again into every later process of the root.
#include "wbem/autorecover.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <fstream>
#include <string>

#include "kernel32/sysroot.h"
#include "tests/support/ChildProcess.h"
#include "wbem/repository.h"

namespace {

constexpr char kGoodMof[] =
    "#pragma namespace(\"\\\\\\\\.\\\\root\\\\VXN\")\n"
    "class QZ_Kept\n{\n  [key] string Tag;\n  uint32 Count;\n};\n";

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = qz::SystemRoot() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

bool HasKeptClass() { return qz::wbem::Repository::Instance().FindClass(L"root\\VXN", L"QZ_Kept") != nullptr; }

QZ_CHILD_MAIN(ExpectKeptClass) { return HasKeptClass() == (args.at(0) == "yes") ? 0 : 1; }

TEST(KeptMof, AKeptFileReachesLaterProcesses) {
  const std::string path = WriteFile("kept.mof", kGoodMof);
  EXPECT_EQ(qztest::ChildProcess::Start("ExpectKeptClass", {"no"}).Wait(), 0);
  char error[256] = "poison";
  ASSERT_EQ(QzCompileMofFile(path.c_str(), TRUE, error, sizeof error), WBEM_S_NO_ERROR);
  EXPECT_STREQ(error, "");
  EXPECT_TRUE(HasKeptClass());
  EXPECT_EQ(qztest::ChildProcess::Start("ExpectKeptClass", {"yes"}).Wait(), 0);
}

TEST(KeptMof, AFileCompiledWithoutKeepingStaysInThisProcess) {
  const std::string path = WriteFile("once.mof", kGoodMof);
  ASSERT_EQ(QzCompileMofFile(path.c_str(), FALSE, nullptr, 0), WBEM_S_NO_ERROR);
  EXPECT_TRUE(HasKeptClass());
  EXPECT_EQ(qztest::ChildProcess::Start("ExpectKeptClass", {"no"}).Wait(), 0);
}

TEST(KeptMof, AFileThatFailsIsNotKeptAndSaysWhere) {
  const std::string path = WriteFile("broken.mof", "class QZ_Kept\n{\n  [key] string Tag\n};\n");
  char error[256] = {};
  EXPECT_NE(QzCompileMofFile(path.c_str(), TRUE, error, sizeof error), WBEM_S_NO_ERROR);
  EXPECT_EQ(std::string(error).rfind("broken.mof:4:", 0), 0u) << error;
  EXPECT_EQ(qztest::ChildProcess::Start("ExpectKeptClass", {"no"}).Wait(), 0);
  EXPECT_EQ(QzCompileMofFile((qz::SystemRoot() + "/missing.mof").c_str(), TRUE, error, sizeof error), WBEM_E_NOT_FOUND);
  EXPECT_NE(std::string(error).find("missing.mof: cannot be read"), std::string::npos) << error;
}

TEST(KeptMof, Utf16TextWithItsMarkCompiles) {
  std::string bytes = "\xFF\xFE";
  for (char c : std::string(kGoodMof)) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  const std::string path = WriteFile("wide.mof", bytes);
  ASSERT_EQ(QzCompileMofFile(path.c_str(), FALSE, nullptr, 0), WBEM_S_NO_ERROR);
  EXPECT_TRUE(HasKeptClass());
}

}  // namespace
