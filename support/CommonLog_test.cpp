// The common log: configuration from the registry, the exact line format, rotation and failures.
#include "support/CommonLog.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "qzplatform.h"
#include "tests/support/SystemFixture.h"

namespace {

using qztest::ReadFileBytes;
using qztest::SetRegDword;
using qztest::SetRegString;
using qztest::Utf16Le;

const std::wstring kDefaultFolder = L"C:\\Windows\\system32\\wbem\\logs\\";

// A log started as the module starts it, from the registry as it stands.
struct StartedLog : CCommonLog {
  StartedLog() { LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL"); }
};

class CommonLogTest : public qztest::SystemTest {
 protected:
  std::wstring LogPath(const WCHAR* extension = L".log") { return kDefaultFolder + L"QZWBEMServer" + extension; }
};

TEST_F(CommonLogTest, WithoutConfigurationWritesInformationButNotVerbose) {
  StartedLog log;
  log.Lock();
  log.SetFunctionName(L"C::M");
  log.LogVerbose(L"Entering");
  log.LogInformation(L"Returning %d instances", 12);
  log.Unlock();
  std::wstring text = qztest::ReadUtf16File(LogPath());
  EXPECT_EQ(text.find(L"Entering"), std::wstring::npos);
  EXPECT_NE(text.find(L"[Information] QZWmiMemory.DLL!C::M| Returning 12 instances\r\n"), std::wstring::npos);
}

TEST_F(CommonLogTest, NothingIsWrittenBeforeLogInit) {
  CCommonLog log;
  EXPECT_EQ(log.LogError(L"lost"), 0u);
  EXPECT_FALSE(qztest::FileExists(LogPath()));
}

struct LevelCase {
  const char* name;
  int level;        // -1: absent, -2: REG_SZ "2", -3: a 2-byte REG_DWORD
  int groupLevel;   // -1: absent
  int moduleLevel;  // -1: absent
  DWORD expected;
};

class CommonLogLevelTest : public CommonLogTest, public testing::WithParamInterface<LevelCase> {};

TEST_P(CommonLogLevelTest, OverridesApplyOnlyBeneathAValidValue) {
  const LevelCase& c = GetParam();
  const WCHAR* key = L"Software\\Tarnwell\\WBEM";
  if (c.level >= 0) SetRegDword(key, L"LogLevel", static_cast<DWORD>(c.level));
  if (c.level == -2) SetRegString(key, L"LogLevel", L"2");
  if (c.level == -3) qztest::SetRegBinary(key, L"LogLevel", REG_DWORD, {2, 0});
  if (c.groupLevel >= 0) SetRegDword(key, L"LogLevel (QZWBEMSERVER)", static_cast<DWORD>(c.groupLevel));
  if (c.moduleLevel >= 0)
    SetRegDword(key, L"LogLevel (QZWBEMSERVER:QZWMIMEMORY.DLL)", static_cast<DWORD>(c.moduleLevel));
  StartedLog log;
  EXPECT_EQ(log.Level(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, CommonLogLevelTest,
    testing::Values(LevelCase{"Absent", -1, -1, -1, 3}, LevelCase{"Plain", 2, -1, -1, 2},
                    LevelCase{"GroupOverride", 4, 2, -1, 2}, LevelCase{"ModuleUnderGroup", 4, 5, 2, 2},
                    LevelCase{"ModuleWithoutGroup", 4, -1, 2, 4}, LevelCase{"GroupOutOfRange", 4, 7, 2, 4},
                    LevelCase{"ModuleOutOfRange", 4, 5, 0, 5}, LevelCase{"ZeroUsedAsRead", 0, 2, 2, 0},
                    LevelCase{"SixUsedAsRead", 6, 2, -1, 6}, LevelCase{"GroupWithoutLevel", -1, 2, 2, 3},
                    LevelCase{"StringIsUnreadable", -2, 2, -1, 3}, LevelCase{"ShortDwordIsUnreadable", -3, -1, -1, 3}),
    [](const testing::TestParamInfo<LevelCase>& info) { return std::string(info.param.name); });

TEST_F(CommonLogTest, MaxSizeGroupOverrideOnlyInRange) {
  const WCHAR* key = L"Software\\Tarnwell\\WBEM";
  struct {
    DWORD size;
    DWORD group;
    DWORD expected;
  } cases[] = {
      {0x80000, 0x100000, 0x100000},     // both in range: the group wins
      {0x80000, 0x3000000, 0x80000},     // group beyond 32 MiB
      {0x1000, 0x100000, 0x1000},        // below 512 KiB: used as read, no override
      {0x2000000, 0x80000, 0x80000},     // upper bound included
  };
  for (const auto& c : cases) {
    SetRegDword(key, L"LogMaxSize", c.size);
    SetRegDword(key, L"LogMaxSize (QZWBEMSERVER)", c.group);
    StartedLog log;
    EXPECT_EQ(log.MaxSize(), c.expected) << c.size << " " << c.group;
  }
}

TEST_F(CommonLogTest, VerboseLevelWritesTheInitialisationLine) {
  qztest::FixLocalTime(2026, 12, 5, 14, 0, 1, 2);
  // The size is printed as a signed 32-bit number: sizes of 2 GiB and above come out negative.
  struct {
    DWORD maxSize;  // 0: LogMaxSize absent
    const WCHAR* printed;
  } cases[] = {{0, L"2097152"}, {0x7FFFFFFF, L"2147483647"}, {0x80000000, L"-2147483648"}, {0xFFFFFFFF, L"-1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.maxSize);
    qztest::WriteFileBytes(LogPath(), "");
    SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogLevel", 2);
    if (c.maxSize != 0) SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogMaxSize", c.maxSize);
    StartedLog log;
    EXPECT_EQ(qztest::ReadUtf16File(LogPath()),
              std::wstring(L"12/05/2026 14:00:01.002 [Verbose] QZWmiMemory.DLL!CCommonLog::LogInit| A logging "
                           L"interface is initialized (Module=\"QZWmiMemory.DLL\", Level=Verbose, size=") +
                  c.printed + L")\r\n");
  }
}

// A folder without its trailing backslash gets one; a missing folder or a file falls back to the default.
TEST_F(CommonLogTest, LogFolderIsUsedWhenItIsAFolder) {
  ASSERT_TRUE(CreateDirectoryW(L"D:\\", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CreateDirectoryW(L"D:\\logs", nullptr));
  qztest::WriteFileBytes(L"C:\\afile", "");
  const std::pair<const WCHAR*, std::wstring> cases[] = {{L"D:\\logs", L"D:\\logs\\QZWBEMServer"},
                                                         {L"C:\\does\\not\\exist\\", kDefaultFolder + L"QZWBEMServer"},
                                                         {L"C:\\afile", kDefaultFolder + L"QZWBEMServer"}};
  for (const auto& [folder, base] : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(folder)));
    SetRegString(L"Software\\Tarnwell\\WBEM", L"LogFolder", folder);
    StartedLog log;
    EXPECT_EQ(log.FileBase(), base);
    EXPECT_EQ(log.Level(), 3u);
    EXPECT_EQ(log.LogError(L"x"), 0u);
    EXPECT_TRUE(qztest::FileExists(base + L".log"));
  }
}

TEST_F(CommonLogTest, NoUsableFolderLeavesTheLogOff) {
  SetRegString(L"Software\\Tarnwell\\WBEM", L"LogFolder", L"C:\\missing\\");
  ASSERT_TRUE(RemoveDirectoryW(L"C:\\Windows\\system32\\wbem\\logs"));
  StartedLog log;
  EXPECT_EQ(log.Level(), 6u);
  EXPECT_EQ(log.LogError(L"nowhere"), 0u);
}

TEST_F(CommonLogTest, LogFileReplacedByAFolderFailsTheWriteOnly) {
  StartedLog log;
  ASSERT_TRUE(DeleteFileW((kDefaultFolder + L"QZWBEMServer.log").c_str()));
  ASSERT_TRUE(CreateDirectoryW((kDefaultFolder + L"QZWBEMServer.log").c_str(), nullptr));
  log.Lock();
  log.SetFunctionName(L"C::M");
  EXPECT_EQ(log.LogError(L"into a folder"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  log.Unlock();
}

// The file is checked before each line: one at the maximum size or above becomes the old copy,
// replacing an earlier one, and the line starts the new file.
TEST_F(CommonLogTest, RotationStartsAtExactlyTheMaximumSizeAndReplacesTheOldCopy) {
  SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogMaxSize", 0x80000);
  StartedLog log;
  const std::pair<std::string, bool> cases[] = {
      {std::string(0x80000 - 2, 'a'), false}, {std::string(0x80000, 'b'), true}, {std::string(0x80001, 'c'), true}};
  for (const auto& [before, rotates] : cases) {
    SCOPED_TRACE(before.size());
    qztest::WriteFileBytes(LogPath(), before);
    log.WriteLine(L"S", 5, L"next");
    EXPECT_EQ(ReadFileBytes(LogPath(L".lo_")), rotates ? before : "");
    const std::string now = ReadFileBytes(LogPath());
    ASSERT_EQ(now.size(), (rotates ? 0 : before.size()) + 82);
    EXPECT_EQ(now.substr(now.size() - 34), Utf16Le(L"[Error] S| next\r\n"));
  }
}

TEST_F(CommonLogTest, FailedRenameReportsOnStandardErrorAndKeepsAppending) {
  SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogMaxSize", 0x80000);
  StartedLog log;
  // An old copy that is a folder with contents can be neither deleted nor replaced.
  ASSERT_TRUE(CreateDirectoryW((kDefaultFolder + L"QZWBEMServer.lo_").c_str(), nullptr));
  qztest::WriteFileBytes(kDefaultFolder + L"QZWBEMServer.lo_\\keep", "");
  qztest::WriteFileBytes(LogPath(), std::string(0x80000, 'x'));
  testing::internal::CaptureStderr();
  EXPECT_EQ(log.WriteLine(L"", 5, L"still here"), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "logging: Failed to replace old log file: C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log\n");
  EXPECT_GT(qztest::FileSize(LogPath()), 0x80000);
}

TEST(CommonLogNames, MutexNameDropsBackslashesAndIsUpperCase) {
  EXPECT_EQ(CommonLogMutexName(L"C:\\Windows\\system32\\wbem\\logs\\", L"QZWBEMServer"),
            L"Global\\C:WINDOWSSYSTEM32WBEMLOGSQZWBEMSERVER");
  // Of two adjacent backslashes, the second stays.
  EXPECT_EQ(RemoveBackslashes(L"\\\\srv\\share\\\\x"), L"\\srvshare\\x");
  EXPECT_EQ(RemoveBackslashes(L""), L"");
}

}  // namespace
