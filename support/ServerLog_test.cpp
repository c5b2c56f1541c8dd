// The server log and CMutex: configuration, the single-byte line, trimming, and mutex failures.
#include "support/ServerLog.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/Mutex.h"
#include "tests/support/SystemFixture.h"

namespace {

using qztest::FileSize;
using qztest::ReadFileBytes;
using qztest::SetRegDword;
using qztest::SetRegString;

const std::wstring kDefaultPath = L"C:\\Windows\\system32\\wbem\\logs\\qzwbems.log";
const WCHAR* kConfigKey = L"Software\\Tarnwell\\WBEM\\ServerLOGGING";

class ServerLogTest : public qztest::SystemTest {};

TEST_F(ServerLogTest, MutexFailureLineBeginsWithABlank) {
  qztest::FixLocalTime(2026, 3, 4, 9, 5, 7, 42);
  CServerLog log;
  log.Configure();
  log.SetPrefix(L"Mutex::");
  EXPECT_EQ(log.Write(kServerLogError, 1, kMutexFailureFormat, 5), 0u);
  EXPECT_EQ(ReadFileBytes(kDefaultPath),
            " [03/04/2026 09:05:07:042] [Error] - Mutex::CreateSemaphore(Mutex) failed.  Last error:  5\r\n");
}

TEST_F(ServerLogTest, TextIsWrittenInTheAnsiCodePage) {
  CServerLog log;
  log.Configure();
  log.Write(kServerLogInformation, 1, L"%ls", L"caf\u00e9 \u20ac");
  std::string bytes = ReadFileBytes(kDefaultPath);
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(bytes.substr(bytes.size() - 8), "caf\xe9 \x80\r\n");
}

TEST_F(ServerLogTest, LevelAndTypeFiltering) {
  struct {
    DWORD level;
    DWORD type;
    DWORD lineType;
    DWORD lineLevel;
    bool written;
  } cases[] = {
      {1, 7, kServerLogError, 1, true},   {1, 3, kServerLogError, 1, false},  // TYPE 3 has no Error bit
      {1, 3, kServerLogWarning, 1, true}, {0, 7, kServerLogError, 1, false},  // LEVEL 0 drops level 1
      {2, 4, kServerLogError, 2, true},   {2, 4, kServerLogError, 3, false},
  };
  std::wstring path = L"C:\\filtered.log";
  SetRegString(kConfigKey, L"LOGFILENAME", path);
  for (const auto& c : cases) {
    SetRegDword(kConfigKey, L"LEVEL", c.level);
    SetRegDword(kConfigKey, L"TYPE", c.type);
    DeleteFileW(path.c_str());
    CServerLog log;
    log.Configure();
    EXPECT_EQ(log.Write(c.lineType, c.lineLevel, L"line"), 0u);
    EXPECT_EQ(FileSize(path) > 0, c.written) << c.level << " " << c.type << " " << c.lineType;
  }
}

TEST_F(ServerLogTest, LevelAndTypeAreReadOnlyWithAFileName) {
  SetRegDword(kConfigKey, L"LEVEL", 0);
  SetRegDword(kConfigKey, L"TYPE", 0);
  CServerLog log;
  log.Configure();
  EXPECT_EQ(log.Path(), kDefaultPath);
  EXPECT_EQ(log.MaxLevel(), 1u);
  EXPECT_EQ(log.TypeMask(), 7u);
}

TEST_F(ServerLogTest, EmptyPathIsRefused) {
  CServerLog log;
  EXPECT_EQ(log.SetupSemaphore(L"", 0, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(log.Path(), kDefaultPath);
  EXPECT_EQ(log.MaxLevel(), 1u);
  EXPECT_EQ(log.TypeMask(), 7u);
  // Nothing of the refused configuration is kept: the line goes to the default file, at the
  // default level, without a semaphore.
  SetRegString(kConfigKey, L"LOGFILENAME", L"");
  SetRegDword(kConfigKey, L"LEVEL", 0);
  CServerLog configured;
  configured.Configure();
  EXPECT_EQ(configured.Write(kServerLogError, 1, L"x"), 0u);
  EXPECT_GT(FileSize(kDefaultPath), 0);
}

TEST_F(ServerLogTest, FileIsCutToItsLastLinesPastTheThreshold) {
  // 250,000 bytes of 25-byte lines; the last 100,000 bytes start in the middle of a line.
  std::string content;
  for (int i = 0; content.size() < 250000; ++i) {
    char line[32];
    snprintf(line, sizeof line, "line %017d\r\n", i);
    content += line;
  }
  content.resize(250000 - 3);
  content += "z\r\n";
  qztest::WriteFileBytes(kDefaultPath, content);
  std::string tail = content.substr(content.size() - kServerLogKeep);
  std::string kept = tail.substr(tail.find("\r\n") + 2);

  qztest::FixLocalTime(2026, 3, 4, 9, 5, 7, 42);
  CServerLog log;
  log.Configure();
  EXPECT_EQ(log.Write(kServerLogError, 1, L"after trim"), 0u);
  EXPECT_EQ(ReadFileBytes(kDefaultPath), kept + " [03/04/2026 09:05:07:042] [Error] - after trim\r\n");
}

TEST_F(ServerLogTest, FileWithoutLineEndsKeepsItsLastByte) {
  qztest::WriteFileBytes(kDefaultPath, std::string(kServerLogTrimAt - 1, 'a') + "b");
  qztest::FixLocalTime(2026, 3, 4, 9, 5, 7, 42);
  CServerLog log;
  log.Configure();
  log.Write(kServerLogError, 1, L"x");
  EXPECT_EQ(ReadFileBytes(kDefaultPath), "b [03/04/2026 09:05:07:042] [Error] - x\r\n");
}

TEST_F(ServerLogTest, BusySemaphoreDropsTheLineAfterASecond) {
  CServerLog log;
  log.Configure();
  HANDLE semaphore = OpenSemaphoreW(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE,
                                    ServerLogSemaphoreName(kDefaultPath).c_str());
  ASSERT_NE(semaphore, nullptr);
  ASSERT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(log.Write(kServerLogError, 1, L"dropped"), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(FileSize(kDefaultPath), 0);
  ReleaseSemaphore(semaphore, 1, nullptr);
  EXPECT_EQ(log.Write(kServerLogError, 1, L"kept"), 0u);
  EXPECT_GT(FileSize(kDefaultPath), 0);
  CloseHandle(semaphore);
}

TEST_F(ServerLogTest, WithoutASemaphoreTheLineIsStillWritten) {
  // A mutex holds the semaphore's name, so the log gets no semaphore; only a time-out drops a line.
  HANDLE clash = CreateMutexW(nullptr, FALSE, ServerLogSemaphoreName(kDefaultPath).c_str());
  ASSERT_NE(clash, nullptr);
  qztest::FixLocalTime(2026, 3, 4, 9, 5, 7, 42);
  CServerLog log;
  log.Configure();
  EXPECT_EQ(log.Write(kServerLogError, 1, L"unguarded"), 0u);
  EXPECT_EQ(ReadFileBytes(kDefaultPath), " [03/04/2026 09:05:07:042] [Error] - unguarded\r\n");
  CloseHandle(clash);
}

class MutexTest : public qztest::SystemTest {};

TEST_F(MutexTest, NoOperatingSystemObjectUntilTheFirstLock) {
  CMutex mutex;
  mutex.SetName(L"Lazy");
  SetLastError(0);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\wmi_Lazy"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  mutex.Lock();
  HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\wmi_Lazy");
  EXPECT_NE(opened, nullptr);
  mutex.Unlock();
  CloseHandle(opened);
}

TEST_F(MutexTest, ReentrantForTheOwningThreadAndExclusiveForOthers) {
  CMutex mutex;
  mutex.SetName(L"Reentrant");
  mutex.Lock();
  mutex.Lock();
  auto otherThreadWait = [] {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
      HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\wmi_Reentrant");
      result = WaitForSingleObject(other, 0);
      if (result == WAIT_OBJECT_0) ReleaseMutex(other);
      CloseHandle(other);
    }).join();
    return result;
  };
  EXPECT_EQ(otherThreadWait(), static_cast<DWORD>(WAIT_TIMEOUT));
  mutex.Unlock();
  EXPECT_EQ(otherThreadWait(), static_cast<DWORD>(WAIT_TIMEOUT));  // still held once
  mutex.Unlock();
  EXPECT_EQ(otherThreadWait(), WAIT_OBJECT_0);
  EXPECT_EQ(FileSize(kDefaultPath), -1);  // no failure line was written
}

TEST_F(MutexTest, CreationFailureIsLoggedAndLockReturns) {
  qztest::FixLocalTime(2026, 3, 4, 9, 5, 7, 42);
  HANDLE clash = CreateSemaphoreW(nullptr, 1, 1, L"Global\\wmi_Clash");
  ASSERT_NE(clash, nullptr);
  CMutex mutex;
  mutex.SetName(L"Clash");
  mutex.Lock();
  mutex.Unlock();
  EXPECT_EQ(ReadFileBytes(kDefaultPath),
            " [03/04/2026 09:05:07:042] [Error] - Mutex::CreateSemaphore(Mutex) failed.  Last error:  6\r\n");
  CloseHandle(clash);
}

TEST_F(MutexTest, ReleaseByAThreadThatDoesNotOwnItIsLogged) {
  CMutex mutex;
  mutex.Lock();
  std::thread([&] { mutex.Unlock(); }).join();
  EXPECT_NE(ReadFileBytes(kDefaultPath).find("Last error:  288"), std::string::npos);
  mutex.Unlock();
}

}  // namespace
