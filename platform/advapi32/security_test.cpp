// The SDDL parser's descriptors and errors, and what a descriptor grants to each kind of caller.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <string>

#include "advapi32/security.h"
#include "tests/support/PlatformTest.h"

namespace {

std::string SidText(const BYTE* sid) {
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) {
    DWORD sub;
    memcpy(&sub, sid + 8 + 4 * i, 4);
    text += "-" + std::to_string(sub);
  }
  return text;
}

// "(type;flags;mask;sid)" for each ACE of the ACL at the offset, read back from the bytes.
std::string AclText(const BYTE* descriptor, DWORD offset) {
  if (offset == 0) return "null";
  const BYTE* acl = descriptor + offset;
  qz::AclHeader header;
  memcpy(&header, acl, sizeof header);
  std::string text;
  size_t at = sizeof header;
  for (int i = 0; i < header.AceCount; ++i) {
    qz::AceHeader ace;
    memcpy(&ace, acl + at, sizeof ace);
    DWORD mask;
    memcpy(&mask, acl + at + 4, 4);
    char line[64];
    snprintf(line, sizeof line, "(%u;0x%X;0x%X;", ace.AceType, ace.AceFlags, mask);
    text += line + SidText(acl + at + 8) + ")";
    at += ace.AceSize;
  }
  EXPECT_EQ(at, header.AclSize);
  return text;
}

struct ValidCase {
  const wchar_t* sddl;
  ULONG size;
  WORD control;
  const char* owner;
  const char* dacl;
  const char* sacl;
};

constexpr ValidCase kValid[] = {
    {L"D:(D;OICI;GA;;;BG)(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;NS)", 116, 0x8004, "",
     "(1;0x3;0x10000000;S-1-5-32-546)(0;0x3;0x10000000;S-1-5-18)(0;0x3;0x10000000;S-1-5-32-544)"
     "(0;0x3;0x10000000;S-1-5-20)",
     ""},
    {L"O:BAG:SYD:P(A;;0x1F0001;;;S-1-5-21-1-2-3-500)", 20 + 8 + 36 + 16 + 12, 0x9004, "S-1-5-32-544",
     "(0;0x0;0x1F0001;S-1-5-21-1-2-3-500)", ""},
    {L"D:", 28, 0x8004, "", "", ""},
    {L"D:NO_ACCESS_CONTROL", 20, 0x8004, "", "null", ""},
    {L"D:AI(A;ID;FA;;;AU) S:P(AU;SAFA;GA;;;WD)", 20 + 8 + 20 + 8 + 20, 0xA414, "",
     "(0;0x10;0x1F01FF;S-1-5-11)", "(2;0xC0;0x10000000;S-1-1-0)"},
};

TEST(SddlConversion, ValidTextsBuildSelfRelativeDescriptors) {
  for (const ValidCase& c : kValid) {
    SCOPED_TRACE(testing::Message() << c.sddl);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0xDEADBEEF;
    SetLastError(0xBAD);
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, &size))
        << GetLastError();
    EXPECT_EQ(size, c.size);
    const BYTE* bytes = static_cast<const BYTE*>(descriptor);
    qz::SelfRelativeDescriptor header;
    memcpy(&header, bytes, sizeof header);
    EXPECT_EQ(header.Revision, 1);
    EXPECT_EQ(header.Control, c.control);
    EXPECT_EQ(header.Owner ? SidText(bytes + header.Owner) : "", c.owner);
    EXPECT_EQ((header.Control & qz::kSeDaclPresent) ? AclText(bytes, header.Dacl) : "", c.dacl);
    EXPECT_EQ((header.Control & qz::kSeSaclPresent) ? AclText(bytes, header.Sacl) : "", c.sacl);
    EXPECT_TRUE(qz::IsValidSelfRelativeDescriptor(descriptor));
    EXPECT_EQ(LocalFree(descriptor), nullptr);
  }
}

struct InvalidCase {
  const wchar_t* sddl;
  DWORD error;
};

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
    EXPECT_EQ(granted[qz::kCallerRoot], c.root);
    EXPECT_EQ(granted[qz::kCallerUser], c.user);
    EXPECT_EQ(granted[qz::kCallerGuest], c.guest);
    LocalFree(descriptor);
  }
}

}  // namespace
