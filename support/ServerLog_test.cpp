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

using ServerLogTest = qztest::SystemTest;

// The file after one line at a fixed time: each line begins with a blank and is written in the
// ANSI code page; a file past the threshold is cut to its last whole lines (or its last byte when it
// has none); a semaphore name held by a mutex leaves the line unguarded but written; a mutex name
// held by a semaphore logs the failure and Lock still returns.
TEST_F(ServerLogTest, LineAsTheFileHoldsItAfterwards) {
  // 250,000 bytes of 25-byte lines; the last 100,000 bytes start in the middle of a line.
  std::string lines;
  for (int i = 0; lines.size() < 250000; ++i) {
    char line[32];
    snprintf(line, sizeof line, "line %017d\r\n", i);
    lines += line;
  }
  lines.resize(250000 - 3);
  lines += "z\r\n";
  const std::string tail = lines.substr(lines.size() - kServerLogKeep);
  const std::string kept = tail.substr(tail.find("\r\n") + 2);
  const std::string stamp = " [03/04/2026 09:05:07:042] ";
  enum Write { kAnsi, kPlain, kMutexClash };
  struct Case {
    const char* name;
    std::string before;  // the file's content first
    bool clash;          // the log's semaphore name taken by a mutex
    Write write;
    std::string after;
  } cases[] = {
      {"text in the ANSI code page", "", false, kAnsi, stamp + "[Information] - caf\xe9 \x80\r\n"},
      {"cut to the last whole lines", lines, false, kPlain, kept + stamp + "[Error] - x\r\n"},
      {"no line end: the last byte stays", std::string(kServerLogTrimAt - 1, 'a') + "b", false, kPlain,
       "b" + stamp + "[Error] - x\r\n"},
      {"a semaphore name taken: written unguarded", "", true, kPlain, stamp + "[Error] - x\r\n"},
      {"a mutex name taken: logged, Lock returns", "", false, kMutexClash,
       stamp + "[Error] - Mutex::CreateSemaphore(Mutex) failed.  Last error:  6\r\n"},
  };
  qztest::FixLocalTime(2026, 3, 4, 9, 5, 7, 42);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qztest::WriteFileBytes(kDefaultPath, c.before);
    HANDLE clash = c.clash ? CreateMutexW(nullptr, FALSE, ServerLogSemaphoreName(kDefaultPath).c_str()) : nullptr;
    ASSERT_EQ(clash != nullptr, c.clash);
    CServerLog log;
    log.Configure();
    if (c.write == kAnsi) {
      EXPECT_EQ(log.Write(kServerLogInformation, 1, L"%ls", L"caf\u00e9 \u20ac"), 0u);
    } else if (c.write == kPlain) {
      EXPECT_EQ(log.Write(kServerLogError, 1, L"x"), 0u);
    } else {
      HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, L"Global\\wmi_Clash");
      ASSERT_NE(semaphore, nullptr);
      CMutex mutex;
      mutex.SetName(L"Clash");
      mutex.Lock();
      mutex.Unlock();
      CloseHandle(semaphore);
    }
    EXPECT_EQ(ReadFileBytes(kDefaultPath), c.after);
    if (clash) CloseHandle(clash);
  }
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

// Level and type are read only with a file name, and an empty name is refused: nothing of such a
// configuration is kept, and the line goes to the default file at the default level.
TEST_F(ServerLogTest, WithoutAFileNameTheDefaultsStay) {
  CServerLog refused, unnamed, empty;
  EXPECT_EQ(refused.SetupSemaphore(L"", 0, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetRegDword(kConfigKey, L"LEVEL", 0);
  SetRegDword(kConfigKey, L"TYPE", 0);
  unnamed.Configure();
  SetRegString(kConfigKey, L"LOGFILENAME", L"");
  empty.Configure();
  for (const CServerLog* log : {&refused, &unnamed, &empty}) {
    EXPECT_EQ(log->Path(), kDefaultPath);
    EXPECT_EQ(log->MaxLevel(), 1u);
    EXPECT_EQ(log->TypeMask(), 7u);
  }
  EXPECT_EQ(empty.Write(kServerLogError, 1, L"x"), 0u);
  EXPECT_GT(FileSize(kDefaultPath), 0);
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

using MutexTest = qztest::SystemTest;

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

TEST_F(MutexTest, ReleaseByAThreadThatDoesNotOwnItIsLogged) {
  CMutex mutex;
  mutex.Lock();
  std::thread([&] { mutex.Unlock(); }).join();
  EXPECT_NE(ReadFileBytes(kDefaultPath).find("Last error:  288"), std::string::npos);
  mutex.Unlock();
}

}  // namespace
