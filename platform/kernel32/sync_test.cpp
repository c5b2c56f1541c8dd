// Mutexes and semaphores in one thread: recursion, names and namespaces, counts,
// the descriptor that keeps other users out, and what is refused.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <sddl.h>

#include <string>

#include "kernel32/namedobject.h"
#include "qzplatform.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PlatformTest.h"

namespace {

bool ObjectFileExists(const std::wstring& name) {
  struct stat st;
  return stat((qz::NamedObjectDir() + "/" + qz::EncodeObjectFileName(name)).c_str(), &st) == 0;
}

TEST(MutexOwnership, OwnerReentersAndReleasesAsOftenAsItWaited) {
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"Global\\Recursive"}) {
    SCOPED_TRACE(name ? "named" : "unnamed");
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(mutex, nullptr);
    for (DWORD timeout : {0u, 10u, INFINITE}) EXPECT_EQ(WaitForSingleObject(mutex, timeout), WAIT_OBJECT_0);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(mutex)) << i;
    QZ_EXPECT_LAST_ERROR(ReleaseMutex(mutex), FALSE, ERROR_NOT_OWNER);
    CloseHandle(mutex);
  }
}

TEST(MutexOwnership, InitialOwnerAppliesOnlyToANewMutex) {
  HANDLE first = CreateMutexW(nullptr, TRUE, L"Owned");
  ASSERT_NE(first, nullptr);
  HANDLE second = CreateMutexW(nullptr, TRUE, L"Owned");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(ReleaseMutex(second));  // the same mutex, owned once
  QZ_EXPECT_LAST_ERROR(ReleaseMutex(first), FALSE, ERROR_NOT_OWNER);
  CloseHandle(first);
  CloseHandle(second);
}

TEST(NamedObjects, CreateTellsWhetherTheNameExisted) {
  SetLastError(12345);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\Exists");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE again = CreateMutexW(nullptr, FALSE, L"Global\\Exists");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(again, mutex);

  SetLastError(12345);
  HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 5, L"Counted");
  ASSERT_NE(semaphore, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE existing = CreateSemaphoreW(nullptr, 4, 9, L"Counted");  // the counts of an existing one stay
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(existing, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  LONG previous = -1;
  QZ_EXPECT_LAST_ERROR(ReleaseSemaphore(existing, 6, &previous), FALSE, ERROR_TOO_MANY_POSTS);
  for (HANDLE handle : {mutex, again, semaphore, existing}) CloseHandle(handle);
}

TEST(NamedObjects, NamesAreCaseSensitiveAndNamespacesApart) {
  HANDLE global = CreateMutexW(nullptr, FALSE, L"Global\\Name");
  HANDLE local = CreateMutexW(nullptr, FALSE, L"Name");
  ASSERT_NE(global, nullptr);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(GetLastError(), 0u);  // "Name" is Local, not Global
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"Global\\Name", true}, {L"global\\Name", true}, {L"Local\\Name", true}, {L"Global\\name", false}};
  for (const auto& [name, found] : cases) {
    HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, name);
    EXPECT_EQ(opened != nullptr, found) << testing::PrintToString(std::wstring(name));
    if (opened) CloseHandle(opened);
  }
  CloseHandle(global);
  CloseHandle(local);
}

TEST(NamedObjects, UnusualNamesAreStoredApart) {
  const std::wstring longA = L"Global\\" + std::wstring(240, L'x') + L"a";
  const std::wstring longB = L"Global\\" + std::wstring(240, L'x') + L"b";
  const std::wstring names[] = {L"Global\\C:WINDOWS\\SYSTEM32\\LOG", L"Global\\C:WINDOWSSYSTEM32LOG", L"a/b",
                                L"a%2Fb", L"..", L"Gr\u00FC\u00DFe", longA, longB};
  std::vector<HANDLE> handles;
  for (const std::wstring& name : names) {
    SetLastError(12345);
    HANDLE handle = CreateSemaphoreW(nullptr, 1, 1, name.c_str());
    ASSERT_NE(handle, nullptr) << qz::EncodeObjectFileName(name);
    EXPECT_EQ(GetLastError(), 0u) << qz::EncodeObjectFileName(name);  // no two names meet
    EXPECT_TRUE(ObjectFileExists(name));
    EXPECT_LE(qz::EncodeObjectFileName(name).size(), 255u);
    handles.push_back(handle);
  }
  for (HANDLE handle : handles) CloseHandle(handle);
}

TEST(NamedObjects, MissingNamesAndMalformedDescriptorsAreRefused) {
  QZ_EXPECT_LAST_ERROR(OpenMutexW(SYNCHRONIZE, FALSE, L"Missing"), nullptr, ERROR_FILE_NOT_FOUND);
  QZ_EXPECT_LAST_ERROR(OpenMutexW(SYNCHRONIZE, FALSE, nullptr), nullptr, ERROR_INVALID_PARAMETER);
  BYTE garbage[32] = {7, 7, 7, 7};
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, garbage, FALSE};
  QZ_EXPECT_LAST_ERROR(CreateMutexW(&attributes, FALSE, L"Garbage"), nullptr, ERROR_INVALID_SECURITY_DESCR);
}

TEST(NamedObjects, ObjectEndsWithItsLastHandle) {
  HANDLE first = CreateSemaphoreW(nullptr, 2, 2, L"Global\\Lifetime");
  HANDLE second = OpenSemaphoreW(SYNCHRONIZE, FALSE, L"Global\\Lifetime");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  CloseHandle(first);
  EXPECT_TRUE(ObjectFileExists(L"Global\\Lifetime"));
  CloseHandle(second);
  EXPECT_FALSE(ObjectFileExists(L"Global\\Lifetime"));
  QZ_EXPECT_LAST_ERROR(OpenSemaphoreW(SYNCHRONIZE, FALSE, L"Global\\Lifetime"), nullptr, ERROR_FILE_NOT_FOUND);
  HANDLE fresh = CreateSemaphoreW(nullptr, 2, 2, L"Global\\Lifetime");
  EXPECT_EQ(GetLastError(), 0u);
  LONG previous = -1;
  EXPECT_FALSE(ReleaseSemaphore(fresh, 1, &previous));  // full again: 2 of 2
  CloseHandle(fresh);
}

TEST(Semaphores, CountsStayWithinTheirLimits) {
  QZ_EXPECT_LAST_ERROR(CreateSemaphoreW(nullptr, 2, 1, L"Bad"), nullptr, ERROR_INVALID_PARAMETER);
  QZ_EXPECT_LAST_ERROR(CreateSemaphoreW(nullptr, 0, 0, L"Bad"), nullptr, ERROR_INVALID_PARAMETER);
  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 3, nullptr);
  ASSERT_NE(semaphore, nullptr);
  struct Release { LONG count; BOOL ok; DWORD error; LONG previous; };  // previous -7: left untouched
  const Release steps[] = {{0, FALSE, ERROR_INVALID_PARAMETER, -7}, {3, FALSE, ERROR_TOO_MANY_POSTS, -7},
                           {2, TRUE, 0, 1},                         {1, FALSE, ERROR_TOO_MANY_POSTS, -7}};
  for (const Release& step : steps) {
    SCOPED_TRACE(step.count);
    LONG previous = -7;
    QZ_EXPECT_LAST_ERROR(ReleaseSemaphore(semaphore, step.count, &previous), step.ok, step.error);
    EXPECT_EQ(previous, step.previous);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0) << i;
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  LONG previous = -7;
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 3, &previous));
  EXPECT_EQ(previous, 0);
  CloseHandle(semaphore);
}

// Opens a mutex as the unprivileged "nobody" account; exits with 0 when it opened, else the error.
QZ_CHILD_MAIN(OpenMutexAsNobody) {
  // Resolve root's runtime area first and let others pass through it, so that only the object
  // itself can turn the caller away.
  chmod(QzGetRuntimeDir(), 0711);
  if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
    return 254;
  std::wstring name(args[0].begin(), args[0].end());
  HANDLE mutex = OpenMutexW(static_cast<DWORD>(std::stoul(args[1], nullptr, 16)), FALSE, name.c_str());
  if (mutex) return WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(mutex) ? 0 : 253;
  return GetLastError() < 250 ? static_cast<int>(GetLastError()) : 252;
}

TEST(NamedObjectSecurity, DescriptorDecidesWhetherOtherUsersMayOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // sddl null: default security; expected: the child's exit, 0 opened, 5 ERROR_ACCESS_DENIED.
  struct Case { const wchar_t* sddl; const char* access; int expected; };
  const Case cases[] = {
      {L"D:(D;OICI;GA;;;BG)(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;NS)", "100000", 5},
      {nullptr, "100000", 5},
      {L"D:(A;;GA;;;WD)", "1F0001", 0},
      {L"D:NO_ACCESS_CONTROL", "100000", 0},
      {L"D:(D;;GA;;;BG)(A;;GA;;;WD)", "100000", 5},  // the file is open to all, the object is not
      {L"D:(A;;GX;;;WD)", "100000", 0},
      {L"D:(A;;GX;;;WD)", "1F0001", 5},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string name = "Global\\Guarded" + std::to_string(index++);
    SCOPED_TRACE(name);
    const std::wstring wide(name.begin(), name.end());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (c.sddl) {
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, nullptr));
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE mutex = CreateMutexW(&attributes, FALSE, wide.c_str());
    LocalFree(descriptor);
    ASSERT_NE(mutex, nullptr);
    qztest::ChildProcess child = qztest::ChildProcess::Start("OpenMutexAsNobody", {name, c.access});
    EXPECT_EQ(child.Wait(10000), c.expected);
    // The creator itself is never shut out.
    HANDLE own = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, wide.c_str());
    EXPECT_NE(own, nullptr);
    CloseHandle(own);
    CloseHandle(mutex);
  }
}

}  // namespace
