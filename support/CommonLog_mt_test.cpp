// The common log written by several processes at once, with rotation.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/CommonLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SystemFixture.h"

namespace {

const std::wstring kLogBase = L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer";

QZ_CHILD_MAIN(AppendLines) {
  int writer = std::stoi(args.at(0));
  int lines = std::stoi(args.at(1));
  CCommonLog log;
  log.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
  for (int i = 0; i < lines; ++i) {
    log.Lock();
    log.SetFunctionName(L"Writer::Append");
    log.LogError(L"writer %d line %d of a message long enough to fill the file quickly", writer, i);
    log.Unlock();
  }
  return 0;
}

// Every line of a file is whole: the exact format, nothing interleaved.
void ExpectWellFormed(const std::wstring& text, size_t* count) {
  static const std::wregex line(
      L"\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[Error\\] QZWmiMemory\\.DLL!Writer::Append\\| writer [0-3] "
      L"line \\d+ of a message long enough to fill the file quickly");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    ASSERT_NE(end, std::wstring::npos) << "a line without its end";
    std::wstring one = text.substr(start, end - start);
    ASSERT_TRUE(std::regex_match(one, line)) << std::string(one.begin(), one.end());
    ++*count;
    start = end + 2;
  }
}

TEST(CommonLogAcrossProcesses, FourWritersNeverInterleaveAndRotateOnce) {
  qztest::SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogMaxSize", 0x80000);
  std::vector<qztest::ChildProcess> children;
  for (int i = 0; i < 4; ++i) children.push_back(qztest::ChildProcess::Start("AppendLines", {std::to_string(i), "5000"}));
  for (auto& child : children) EXPECT_EQ(child.Wait(300000), 0);

  size_t current = 0;
  size_t previous = 0;
  ExpectWellFormed(qztest::ReadUtf16File(kLogBase + L".log"), &current);
  ExpectWellFormed(qztest::ReadUtf16File(kLogBase + L".lo_"), &previous);
  // Lines are about 260 bytes: 20,000 of them fill 0x80000 several times over, so both files
  // exist, the old one reached the limit, and the current one holds less than the limit.
  long long oldSize = qztest::FileSize(kLogBase + L".lo_");
  long long newSize = qztest::FileSize(kLogBase + L".log");
  EXPECT_GE(oldSize, 0x80000);
  EXPECT_LT(oldSize, 0x80000 + 400);
  EXPECT_LT(newSize, 0x80000 + 400);
  EXPECT_GT(current, 0u);
  EXPECT_GT(previous, 0u);
}

}  // namespace
