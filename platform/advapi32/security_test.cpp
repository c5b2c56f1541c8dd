// The SDDL parser's errors, and what a descriptor grants to each kind of caller.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <string>
#include <tuple>

#include "advapi32/security.h"
#include "tests/support/PlatformTest.h"

namespace {

struct InvalidCase { const wchar_t* sddl; DWORD error; };

constexpr InvalidCase kInvalid[] = {
    {L"D:(A;;GA;;;XX)", ERROR_INVALID_ACL},
    {L"D:(Z;;GA;;;WD)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;WD)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16)", ERROR_INVALID_ACL},
    {L"D:NO_ACCESS_CONTROL(A;;GA;;;WD)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;WD", ERROR_INVALID_PARAMETER},
    {L"X:(A;;GA;;;WD)", ERROR_INVALID_PARAMETER},
    {L"D:(A;;GA;;;WD)D:(A;;GA;;;BA)", ERROR_INVALID_PARAMETER},
    {L"O:XX", ERROR_INVALID_SID},
    {L"O:S-2-5-18", ERROR_INVALID_SID},
};

TEST(SddlConversion, MalformedTextsFailWithTheWindowsError) {
  for (const InvalidCase& c : kInvalid) {
    SCOPED_TRACE(testing::Message() << c.sddl);
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1234);
    ULONG size = 77;
    QZ_EXPECT_LAST_ERROR(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, &size), FALSE,
        c.error);
    EXPECT_EQ(descriptor, reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1234));
    EXPECT_EQ(size, 77u);
  }
}

struct GrantCase {
  const wchar_t* sddl;  // null: no descriptor
  ACCESS_MASK root, user, guest;
};

constexpr qz::GenericMapping kMutexMapping = {0x20001, 0x20000, 0x120000, MUTEX_ALL_ACCESS};

constexpr GrantCase kGrants[] = {
    {nullptr, MUTEX_ALL_ACCESS, 0, 0},
    {L"D:(D;OICI;GA;;;BG)(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;NS)", MUTEX_ALL_ACCESS, 0, 0},
    {L"D:(D;;GA;;;BG)(A;;GA;;;WD)", MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS, 0},
    {L"D:(A;;GA;;;WD)(D;;GA;;;BG)", MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS},  // allowed first
    {L"D:(A;;GX;;;AU)(A;;0x1;;;BU)", 0x120001, 0x120001, 0},
    {L"D:(D;;SD;;;WD)(A;;GA;;;WD)", MUTEX_ALL_ACCESS & ~DELETE, MUTEX_ALL_ACCESS & ~DELETE, MUTEX_ALL_ACCESS & ~DELETE},
    {L"D:(A;IO;GA;;;WD)", 0, 0, 0},  // inherit-only ACEs do not apply to the object
    {L"D:", 0, 0, 0},
    {L"O:SY", MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS},  // no DACL at all
};

TEST(DescriptorEvaluation, GrantsFollowTheDaclInOrder) {
  for (const GrantCase& c : kGrants) {
    SCOPED_TRACE(testing::Message() << (c.sddl ? c.sddl : L"(none)"));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (c.sddl) {
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, nullptr));
    }
    ACCESS_MASK granted[qz::kCallerKinds] = {1, 1, 1};
    ASSERT_TRUE(qz::GrantedAccessByKind(descriptor, kMutexMapping, granted));
    EXPECT_EQ(std::tuple(granted[qz::kCallerRoot], granted[qz::kCallerUser], granted[qz::kCallerGuest]),
              std::tuple(c.root, c.user, c.guest));
    LocalFree(descriptor);
  }
}

}  // namespace
