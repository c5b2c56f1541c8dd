// Windows paths, the Windows directory and files: mapping, dispositions, share modes across
// processes and seeks (renames are exercised by the log rotation tests).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kernel32/device.h"
#include "kernel32/path.h"
#include "kernel32/sysroot.h"
#include "kernel32/text.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PlatformTest.h"

namespace {

std::string Root() { return qz::SystemRoot(); }

using qztest::PathExists;

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string Trace(const wchar_t* path) { return ::testing::PrintToString(std::wstring(path)); }

TEST(WindowsPaths, MapIntoTheRootIgnoringCaseOfExistingComponents) {
  ASSERT_TRUE(qz::MakeDirs(Root() + "/drive_c/Program Files/Vendor", 0755));
  struct Case { const wchar_t* path; std::string expected; };  // relative to the root unless it starts with '/'
  const Case cases[] = {
      {L"c:\\WINDOWS\\System32\\WBEM\\Logs\\New.Log", "drive_c/windows/system32/wbem/logs/New.Log"},
      {L"C:/windows//system32/./x", "drive_c/windows/system32/x"},
      {L"C:\\program files\\VENDOR\\Sub\\File", "drive_c/Program Files/Vendor/Sub/File"},
      {L"C:\\Missing\\WINDOWS", "drive_c/Missing/WINDOWS"},
      {L"D:\\Data\\a.bin", "drive_d/Data/a.bin"},
      {L"C:\\Windows\\", "drive_c/windows"},
      {L"/tmp/Some/Linux/Path", "/tmp/Some/Linux/Path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(qz::MapWindowsPath(c.path), c.expected[0] == '/' ? c.expected : Root() + "/" + c.expected);
  }
}

// A folder found under another spelling is remembered; the paths still follow what is on disk
// when a file is missing from it, or when it goes away and comes back spelled otherwise.
TEST(WindowsPaths, RememberedFoldersFollowWhatIsOnDisk) {
  ASSERT_TRUE(qz::MakeDirs(Root() + "/drive_c/Data/Logs", 0755));
  WriteText(Root() + "/drive_c/Data/Logs/a.log", "x");
  const std::wstring file = L"C:\\DATA\\LOGS\\a.log";
  EXPECT_EQ(qz::MapWindowsPath(file), Root() + "/drive_c/Data/Logs/a.log");
  EXPECT_EQ(qz::MapWindowsPath(file), Root() + "/drive_c/Data/Logs/a.log");
  EXPECT_EQ(qz::MapWindowsPath(L"C:\\data\\logs\\A.LOG"), Root() + "/drive_c/Data/Logs/a.log");
  EXPECT_EQ(qz::MapWindowsPath(L"C:\\data\\logs\\New.log"), Root() + "/drive_c/Data/Logs/New.log");

  ASSERT_EQ(std::rename((Root() + "/drive_c/Data/Logs").c_str(), (Root() + "/drive_c/Data/Old").c_str()), 0);
  ASSERT_TRUE(qz::MakeDirs(Root() + "/drive_c/Data/LOGS", 0755));
  EXPECT_EQ(qz::MapWindowsPath(file), Root() + "/drive_c/Data/LOGS/a.log");
}

TEST(WindowsPaths, RefuseRelativeParentUncAndDevicePaths) {
  const std::pair<const wchar_t*, DWORD> cases[] = {
      {L"", ERROR_PATH_NOT_FOUND},          {L"relative\\file", ERROR_PATH_NOT_FOUND},
      {L"C:file", ERROR_PATH_NOT_FOUND},    {L"C:\\Windows\\..\\x", ERROR_INVALID_NAME},
      {L"\\\\server\\share\\x", ERROR_BAD_PATHNAME}, {L"\\\\.\\QZHEALTH", ERROR_FILE_NOT_FOUND},
      {L"C:\\a<b", ERROR_INVALID_NAME},
  };
  for (const auto& [path, error] : cases) {
    SCOPED_TRACE(Trace(path));
    QZ_EXPECT_LAST_ERROR(qz::MapWindowsPath(path).has_value(), FALSE, error);
  }
}

TEST(WindowsDirectory, FreshRootHasItAndSizesFollowWindows) {
  EXPECT_TRUE(PathExists(Root() + "/drive_c/windows/system32/wbem/logs"));
  wchar_t buffer[64];
  EXPECT_EQ(GetWindowsDirectoryW(buffer, 64), 10u);
  EXPECT_STREQ(buffer, L"C:\\Windows");
  wmemset(buffer, L'#', 64);
  EXPECT_EQ(GetWindowsDirectoryW(buffer, 10), 11u);  // no room for the terminator
  EXPECT_EQ(buffer[0], L'#');
  EXPECT_EQ(GetWindowsDirectoryW(buffer, 11), 10u);
  EXPECT_EQ(GetWindowsDirectoryW(nullptr, 0), 11u);
}

TEST(CreateFileDispositions, ResultsAndLastErrorsForExistingAndMissingFiles) {
  struct Case {
    DWORD disposition;
    bool exists, opens;
    DWORD error;
    const char* content;  // what the file holds afterwards (null: no file)
  };
  const Case cases[] = {
      {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
      {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index);
    std::wstring name = L"C:\\Windows\\Disposition" + std::to_wstring(index++) + L".txt";
    std::string path = *qz::MapWindowsPath(name);
    if (c.exists) WriteText(path, "old");
    SetLastError(12345);
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    EXPECT_EQ(PathExists(path), c.content != nullptr);
    EXPECT_EQ(qztest::ReadBytes(path), c.content ? c.content : "");
  }
}

TEST(CreateFileDispositions, MissingFolderDirectoryAndBadArguments) {
  struct Case { const wchar_t* path; DWORD access, disposition, error; };
  ASSERT_TRUE(CreateDirectoryW(L"C:\\Windows\\Folder", nullptr));
  const Case cases[] = {
      {L"C:\\Windows\\NoSuchFolder\\x.txt", GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {L"C:\\Windows\\Folder", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {L"C:\\Windows\\Folder", GENERIC_WRITE, CREATE_ALWAYS, ERROR_ACCESS_DENIED},
      {L"C:\\Windows\\x.txt", GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},
      {L"C:\\Windows\\x.txt", GENERIC_READ, 6, ERROR_INVALID_PARAMETER},
      {L"\\\\.\\NoSuchDevice", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Trace(c.path));
    QZ_EXPECT_LAST_ERROR(CreateFileW(c.path, c.access, 0, nullptr, c.disposition, 0, nullptr),
                         INVALID_HANDLE_VALUE, c.error);
  }
  QZ_EXPECT_LAST_ERROR(DeleteFileW(L"C:\\Windows\\Folder"), FALSE, ERROR_ACCESS_DENIED);
}

HANDLE OpenShared(const std::wstring& name, DWORD access, DWORD share) {
  return CreateFileW(name.c_str(), access, share, nullptr, OPEN_ALWAYS, 0, nullptr);
}

QZ_CHILD_MAIN(OpenShared) {
  HANDLE file = OpenShared(qz::FromUtf8(args[0]), std::stoul(args[1]), std::stoul(args[2]));
  if (file != INVALID_HANDLE_VALUE) return 0;
  return GetLastError() == ERROR_SHARING_VIOLATION ? 32 : 1;
}

// Each second open meets the first one's handle in the same process and from another process.
TEST(ShareModes, ConflictsWithinAndAcrossProcessesAndEndWithTheHolder) {
  constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
  constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
  struct Case { DWORD first_access, first_share, second_access, second_share; bool second_opens; };
  const Case cases[] = {
      {R, SR, R, SR, true},   {R, SR, W, SRW, false}, {R, SRW, W, SRW, true},  {W, SW, R, SRW, false},
      {RW, 0, R, SRW, false}, {R, SR, R, 0, false},   {RW, SRW, R, SR, false}, {0, 0, RW, 0, true},
  };
  const std::wstring name = L"C:\\Windows\\Shared.bin";
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index++);
    HANDLE first = OpenShared(name, c.first_access, c.first_share);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(0);
    HANDLE second = OpenShared(name, c.second_access, c.second_share);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second_opens);
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
      CloseHandle(second);
    }
    qztest::ChildProcess child = qztest::ChildProcess::Start(
        "OpenShared", {"C:\\Windows\\Shared.bin", std::to_string(c.second_access), std::to_string(c.second_share)});
    EXPECT_EQ(child.Wait(5000), c.second_opens ? 0 : 32);
    CloseHandle(first);
  }
  // A closed handle no longer holds anything: an exclusive open from another process succeeds.
  EXPECT_EQ(qztest::ChildProcess::Start("OpenShared", {"C:\\Windows\\Shared.bin", std::to_string(RW), "0"}).Wait(5000),
            0);
}

QZ_CHILD_MAIN(CreateNewRace) {
  HANDLE file = CreateFileW(L"C:\\Windows\\Race.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_NEW, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS ? 80 : 1;
  usleep(200000);  // hold it while the others try
  return 0;
}

TEST(CreateFileDispositions, ExactlyOneOfManyProcessesCreatesANewFile) {
  std::vector<qztest::ChildProcess> children;
  for (int i = 0; i < 6; ++i) children.push_back(qztest::ChildProcess::Start("CreateNewRace"));
  std::vector<int> statuses;
  for (qztest::ChildProcess& child : children) statuses.push_back(child.Wait(5000));
  std::sort(statuses.begin(), statuses.end());
  EXPECT_EQ(statuses, (std::vector<int>{0, 80, 80, 80, 80, 80}));
}

// A handle's share mode guards deletes and renames, its rights guard reads and writes, and a closed
// handle is refused.
TEST(ShareModes, DeleteRenameAndAccessFollowTheHandle) {
  const wchar_t* name = L"C:\\Windows\\Held.txt";
  HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  QZ_EXPECT_LAST_ERROR(DeleteFileW(name), FALSE, ERROR_SHARING_VIOLATION);
  QZ_EXPECT_LAST_ERROR(MoveFileW(name, L"C:\\Windows\\Held2.txt"), FALSE, ERROR_SHARING_VIOLATION);
  DWORD written = 5;
  QZ_EXPECT_LAST_ERROR(WriteFile(file, "x", 1, &written, nullptr), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_EQ(written, 0u);
  CloseHandle(file);
  char byte;
  DWORD read = 5;
  QZ_EXPECT_LAST_ERROR(ReadFile(file, &byte, 1, &read, nullptr), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_TRUE(DeleteFileW(name));
  QZ_EXPECT_LAST_ERROR(DeleteFileW(name), FALSE, ERROR_FILE_NOT_FOUND);
}

TEST(FilePointer, SeeksFromEachOriginAndRefusesNegativePositions) {
  HANDLE file = CreateFileW(L"C:\\Windows\\Seek.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_RANDOM_ACCESS, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "0123456789", 10, &written, nullptr));
  LARGE_INTEGER distance, position;
  struct Case { LONGLONG distance; DWORD method; LONGLONG expected; };  // -1: ERROR_NEGATIVE_SEEK, pointer kept
  const Case cases[] = {{0, FILE_CURRENT, 10}, {-4, FILE_END, 6},   {2, FILE_CURRENT, 8},
                        {-11, FILE_END, -1},   {20, FILE_BEGIN, 20}, {-10, FILE_END, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.distance);
    distance.QuadPart = c.distance;
    position.QuadPart = -7;
    QZ_EXPECT_LAST_ERROR(SetFilePointerEx(file, distance, &position, c.method), c.expected >= 0,
                         c.expected >= 0 ? 0 : ERROR_NEGATIVE_SEEK);
    if (c.expected >= 0) {
      EXPECT_EQ(position.QuadPart, c.expected);
    }
  }
  distance.QuadPart = 0;
  QZ_EXPECT_LAST_ERROR(SetFilePointerEx(file, distance, nullptr, 3), FALSE, ERROR_INVALID_PARAMETER);
  char buffer[256];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "0123456789") << "a refused seek leaves the pointer where it was";
  CloseHandle(file);
}

TEST(Directories, CreateAndRemoveReportWindowsErrors) {
  struct Case { bool create; const wchar_t* path; BOOL result; DWORD error; };
  const Case cases[] = {
      {true, L"C:\\Windows\\Dir", TRUE, 0},
      {true, L"C:\\WINDOWS\\DIR", FALSE, ERROR_ALREADY_EXISTS},
      {true, L"C:\\Windows\\NoParent\\Dir", FALSE, ERROR_PATH_NOT_FOUND},
      {true, L"C:\\Windows\\Dir\\Sub", TRUE, 0},
      {false, L"C:\\Windows\\Dir", FALSE, ERROR_DIR_NOT_EMPTY},
      {false, L"C:\\Windows\\dir\\sub", TRUE, 0},
      {false, L"C:\\Windows\\Dir\\Sub", FALSE, ERROR_FILE_NOT_FOUND},
      {false, L"C:\\Windows\\Dir", TRUE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Trace(c.path));
    QZ_EXPECT_LAST_ERROR(c.create ? CreateDirectoryW(c.path, nullptr) : RemoveDirectoryW(c.path), c.result, c.error);
  }
}

HANDLE OpenTestDevice(std::wstring_view name, DWORD, DWORD, DWORD) {
  SetLastError(name == L"qzTest" ? ERROR_NOT_READY : ERROR_GEN_FAILURE);
  return INVALID_HANDLE_VALUE;
}

TEST(Devices, RegisteredNamesOpenThroughTheirOpener) {
  const std::pair<qz::DeviceOpener, DWORD> cases[] = {{&OpenTestDevice, ERROR_NOT_READY},
                                                       {nullptr, ERROR_FILE_NOT_FOUND}};
  for (const auto& [opener, error] : cases) {
    qz::RegisterDevice(L"QZTEST", opener);
    QZ_EXPECT_LAST_ERROR(CreateFileW(L"\\\\.\\qzTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                         INVALID_HANDLE_VALUE, error);
  }
}

}  // namespace
