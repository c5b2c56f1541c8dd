// Security descriptors inside the platform: their binary layout, and what a descriptor grants to
// the kinds of caller that a POSIX process can be.
#pragma once

#include <cstddef>
#include <cstdint>

#include "windows.h"

namespace qz {

// The self-relative layouts, byte for byte as Windows stores them.
struct SidHeader {
  BYTE Revision;  // 1
  BYTE SubAuthorityCount;
  BYTE IdentifierAuthority[6];  // big-endian
  // DWORD SubAuthority[SubAuthorityCount] follows
};

struct AclHeader {
  BYTE AclRevision;  // 2, or 4 with object ACEs
  BYTE Sbz1;
  WORD AclSize;  // header and ACEs
  WORD AceCount;
  WORD Sbz2;
};

struct AceHeader {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;  // header, mask and SID
  // ACCESS_MASK Mask, then the SID
};

struct SelfRelativeDescriptor {
  BYTE Revision;  // 1
  BYTE Sbz1;
  WORD Control;
  DWORD Owner;  // offsets from the start of the descriptor; 0 = absent
  DWORD Group;
  DWORD Sacl;
  DWORD Dacl;
};

constexpr BYTE kSidRevision = 1;
constexpr BYTE kAclRevision = 2;
constexpr BYTE kDescriptorRevision = 1;
constexpr int kMaxSubAuthorities = 15;

constexpr BYTE kAccessAllowedAceType = 0x0;
constexpr BYTE kAccessDeniedAceType = 0x1;
constexpr BYTE kSystemAuditAceType = 0x2;
constexpr BYTE kSystemAlarmAceType = 0x3;
constexpr BYTE kMandatoryLabelAceType = 0x11;

constexpr BYTE kInheritOnlyAce = 0x08;

constexpr WORD kSeDaclPresent = 0x0004;
constexpr WORD kSeSaclPresent = 0x0010;
constexpr WORD kSeDaclAutoInheritReq = 0x0100;
constexpr WORD kSeSaclAutoInheritReq = 0x0200;
constexpr WORD kSeDaclAutoInherited = 0x0400;
constexpr WORD kSeSaclAutoInherited = 0x0800;
constexpr WORD kSeDaclProtected = 0x1000;
constexpr WORD kSeSaclProtected = 0x2000;
constexpr WORD kSeSelfRelative = 0x8000;

constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

// How generic rights become the rights of one kind of object.
struct GenericMapping {
  ACCESS_MASK read;
  ACCESS_MASK write;
  ACCESS_MASK execute;
  ACCESS_MASK all;
};

// Replaces the generic bits of a mask by the object's specific rights.
ACCESS_MASK MapGenericMask(ACCESS_MASK mask, const GenericMapping& mapping);

// The kinds of caller that a descriptor is evaluated for. A POSIX process is root (which holds
// the local system and administrators identities), the unprivileged "nobody" account (a guest),
// or any other user. The creator of an object is not among them: its uid keeps full access.
enum CallerKind { kCallerRoot, kCallerUser, kCallerGuest, kCallerKinds };

// The kind of the calling process, from its effective uid.
CallerKind CurrentCallerKind();

// Whether a self-relative descriptor is well formed (revision, offsets, ACL and ACE sizes, SIDs).
bool IsValidSelfRelativeDescriptor(const void* descriptor);

// The rights (mapped through the object's generic mapping) that the descriptor's DACL grants to
// each kind of caller, evaluated in ACE order with deny ACEs taking effect where they come first.
// A null descriptor gives the default of a fresh object: root only. A descriptor without a DACL,
// or with a null one, grants everything to everybody. False for a malformed descriptor.
bool GrantedAccessByKind(const void* descriptor, const GenericMapping& mapping,
                         ACCESS_MASK granted[kCallerKinds]);

}  // namespace qz
