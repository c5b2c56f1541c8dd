// Security descriptors: the SDDL text parser that builds self-relative descriptors, and the
// evaluation of a descriptor's DACL for the kinds of caller that kernel objects meet.
#include "advapi32/security.h"

#include <string.h>
#include <unistd.h>

#include <new>
#include <string_view>
#include <vector>

#include "sddl.h"

namespace qz {
namespace {

// ---- Tables ------------------------------------------------------------------------------------

struct WellKnownSid {
  const wchar_t* alias;
  uint64_t authority;
  BYTE count;
  DWORD sub[6];
};

// The SID aliases of SDDL that do not depend on a domain.
constexpr WellKnownSid kWellKnownSids[] = {
    {L"AA", 5, 2, {32, 579}},  // access control assistance operators
    {L"AC", 15, 2, {2, 1}},    // all application packages
    {L"AN", 5, 1, {7}},        // anonymous logon
    {L"AO", 5, 2, {32, 548}},  // account operators
    {L"AS", 18, 1, {1}},       // authentication authority asserted identity
    {L"AU", 5, 1, {11}},       // authenticated users
    {L"BA", 5, 2, {32, 544}},  // built-in administrators
    {L"BG", 5, 2, {32, 546}},  // built-in guests
    {L"BO", 5, 2, {32, 551}},  // backup operators
    {L"BU", 5, 2, {32, 545}},  // built-in users
    {L"CD", 5, 2, {32, 574}},  // certificate service DCOM access
    {L"CG", 3, 1, {1}},        // creator group
    {L"CO", 3, 1, {0}},        // creator owner
    {L"CY", 5, 2, {32, 569}},  // cryptographic operators
    {L"ED", 5, 1, {9}},        // enterprise domain controllers
    {L"ER", 5, 2, {32, 573}},  // event log readers
    {L"ES", 5, 2, {32, 576}},  // RDS endpoint servers
    {L"HA", 5, 2, {32, 578}},  // Hyper-V administrators
    {L"HI", 16, 1, {12288}},   // high integrity level
    {L"IS", 5, 2, {32, 568}},  // IIS users
    {L"IU", 5, 1, {4}},        // interactive users
    {L"LS", 5, 1, {19}},       // local service
    {L"LU", 5, 2, {32, 559}},  // performance log users
    {L"LW", 16, 1, {4096}},    // low integrity level
    {L"ME", 16, 1, {8192}},    // medium integrity level
    {L"MP", 16, 1, {8448}},    // medium plus integrity level
    {L"MS", 5, 2, {32, 577}},  // RDS management servers
    {L"MU", 5, 2, {32, 558}},  // performance monitor users
    {L"NO", 5, 2, {32, 556}},  // network configuration operators
    {L"NS", 5, 1, {20}},       // network service
    {L"NU", 5, 1, {2}},        // network logon users
    {L"OW", 3, 1, {4}},        // owner rights
    {L"PO", 5, 2, {32, 550}},  // printer operators
    {L"PS", 5, 1, {10}},       // principal self
    {L"PU", 5, 2, {32, 547}},  // power users
    {L"RA", 5, 2, {32, 575}},  // RDS remote access servers
    {L"RC", 5, 1, {12}},       // restricted code
    {L"RD", 5, 2, {32, 555}},  // remote desktop users
    {L"RE", 5, 2, {32, 552}},  // replicator
    {L"RM", 5, 2, {32, 580}},  // remote management users
    {L"RU", 5, 2, {32, 554}},  // pre-Windows 2000 compatible access
    {L"SI", 16, 1, {16384}},   // system integrity level
    {L"SO", 5, 2, {32, 549}},  // server operators
    {L"SS", 18, 1, {2}},       // service asserted identity
    {L"SU", 5, 1, {6}},        // service logon users
    {L"SY", 5, 1, {18}},       // local system
    {L"UD", 5, 6, {84, 0, 0, 0, 0, 0}},  // user-mode drivers
    {L"WD", 1, 1, {0}},        // everyone
    {L"WR", 5, 1, {33}},       // write restricted code
};

struct Code {
  const wchar_t* text;
  DWORD value;
};

constexpr Code kAceTypes[] = {
    {L"A", kAccessAllowedAceType}, {L"D", kAccessDeniedAceType},   {L"AU", kSystemAuditAceType},
    {L"AL", kSystemAlarmAceType},  {L"ML", kMandatoryLabelAceType},
};

constexpr Code kAceFlags[] = {
    {L"OI", 0x01}, {L"CI", 0x02}, {L"NP", 0x04}, {L"IO", 0x08},
    {L"ID", 0x10}, {L"SA", 0x40}, {L"FA", 0x80},
};

constexpr Code kAccessRights[] = {
    {L"GA", 0x10000000}, {L"GR", 0x80000000}, {L"GW", 0x40000000}, {L"GX", 0x20000000},
    {L"RC", 0x00020000}, {L"SD", 0x00010000}, {L"WD", 0x00040000}, {L"WO", 0x00080000},
    {L"RP", 0x00000010}, {L"WP", 0x00000020}, {L"CC", 0x00000001}, {L"DC", 0x00000002},
    {L"LC", 0x00000004}, {L"SW", 0x00000008}, {L"LO", 0x00000080}, {L"DT", 0x00000040},
    {L"CR", 0x00000100}, {L"FA", 0x001F01FF}, {L"FR", 0x00120089}, {L"FW", 0x00120116},
    {L"FX", 0x001200A0}, {L"KA", 0x000F003F}, {L"KR", 0x00020019}, {L"KW", 0x00020006},
    {L"KX", 0x00020019}, {L"NW", 0x00000001}, {L"NR", 0x00000002}, {L"NX", 0x00000004},
};

constexpr Code kAclFlags[] = {
    {L"NO_ACCESS_CONTROL", 0}, {L"AI", 1}, {L"AR", 2}, {L"P", 3},
};

// The identities that each kind of caller holds, in CallerKind order.
constexpr const wchar_t* kCallerSids[kCallerKinds][5] = {
    {L"WD", L"AU", L"BU", L"BA", L"SY"},  // root: local system and administrator
    {L"WD", L"AU", L"BU", L"IU", nullptr},
    {L"WD", L"BG", nullptr, nullptr, nullptr},
};

constexpr uid_t kGuestUid = 65534;

template <size_t N>
const Code* FindCode(const Code (&table)[N], std::wstring_view text) {
  for (const Code& code : table)
    if (text == code.text) return &code;
  return nullptr;
}

const WellKnownSid* FindAlias(std::wstring_view alias) {
  for (const WellKnownSid& sid : kWellKnownSids)
    if (alias == sid.alias) return &sid;
  return nullptr;
}

// ---- SIDs --------------------------------------------------------------------------------------

struct Sid {
  uint64_t authority = 0;
  BYTE count = 0;
  DWORD sub[kMaxSubAuthorities] = {};

  size_t Size() const { return sizeof(SidHeader) + count * sizeof(DWORD); }

  void WriteTo(BYTE* out) const {
    SidHeader header{kSidRevision, count, {}};
    for (int i = 0; i < 6; ++i) header.IdentifierAuthority[i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
    memcpy(out, &header, sizeof header);
    memcpy(out + sizeof header, sub, count * sizeof(DWORD));
  }
};

Sid FromWellKnown(const WellKnownSid& known) {
  Sid sid;
  sid.authority = known.authority;
  sid.count = known.count;
  for (int i = 0; i < known.count; ++i) sid.sub[i] = known.sub[i];
  return sid;
}

// A decimal number, or hexadecimal after "0x"; false when empty, malformed or above the limit.
bool ParseNumber(std::wstring_view text, uint64_t limit, uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t result = 0;
  for (wchar_t c : text) {
    int digit;
    if (c >= L'0' && c <= L'9') {
      digit = c - L'0';
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = c - L'a' + 10;
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = c - L'A' + 10;
    } else {
      return false;
    }
    if (result > (limit - digit) / base) return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

// "S-1-<authority>-<sub>..." or a two-letter alias.
bool ParseSid(std::wstring_view text, Sid* sid) {
  if (const WellKnownSid* known = FindAlias(text)) {
    *sid = FromWellKnown(*known);
    return true;
  }
  if (text.size() < 4 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return false;
  text.remove_prefix(2);
  std::vector<std::wstring_view> parts;
  while (true) {
    size_t dash = text.find(L'-');
    parts.push_back(text.substr(0, dash));
    if (dash == std::wstring_view::npos) break;
    text.remove_prefix(dash + 1);
  }
  if (parts.size() < 2 || parts.size() - 2 > static_cast<size_t>(kMaxSubAuthorities)) return false;
  uint64_t revision = 0;
  if (!ParseNumber(parts[0], 255, &revision) || revision != kSidRevision) return false;
  if (!ParseNumber(parts[1], 0xFFFFFFFFFFFFull, &sid->authority)) return false;
  sid->count = static_cast<BYTE>(parts.size() - 2);
  for (size_t i = 2; i < parts.size(); ++i) {
    uint64_t value = 0;
    if (!ParseNumber(parts[i], 0xFFFFFFFFu, &value)) return false;
    sid->sub[i - 2] = static_cast<DWORD>(value);
  }
  return true;
}

bool SidEquals(const Sid& sid, const BYTE* bytes) {
  SidHeader header;
  memcpy(&header, bytes, sizeof header);
  if (header.SubAuthorityCount != sid.count) return false;
  Sid other;
  other.count = header.SubAuthorityCount;
  for (int i = 0; i < 6; ++i) other.authority = (other.authority << 8) | header.IdentifierAuthority[i];
  if (other.authority != sid.authority) return false;
  return memcmp(bytes + sizeof header, sid.sub, sid.count * sizeof(DWORD)) == 0;
}

// ---- The parser --------------------------------------------------------------------------------

struct Ace {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  Sid sid;
};

struct Acl {
  bool present = false;
  bool null = false;  // NO_ACCESS_CONTROL
  WORD control = 0;
  std::vector<Ace> aces;

  size_t Size() const {
    size_t size = sizeof(AclHeader);
    for (const Ace& ace : aces) size += sizeof(AceHeader) + sizeof(ACCESS_MASK) + ace.sid.Size();
    return size;
  }
};

struct Descriptor {
  bool hasOwner = false;
  bool hasGroup = false;
  Sid owner;
  Sid group;
  Acl dacl;
  Acl sacl;
};

bool IsComponentStart(std::wstring_view text, size_t pos) {
  if (pos + 1 >= text.size() || text[pos + 1] != L':') return false;
  wchar_t c = text[pos];
  return c == L'O' || c == L'G' || c == L'D' || c == L'S';
}

// Two-letter codes run together ("OICI", "GRGW"); 0 when one of them is unknown.
template <size_t N>
bool ParseCodes(std::wstring_view text, const Code (&table)[N], DWORD* value) {
  *value = 0;
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    const Code* code = FindCode(table, text.substr(i, 2));
    if (!code) return false;
    *value |= code->value;
  }
  return true;
}

// One ACE between its parentheses: "type;flags;rights;object;inherited object;sid".
bool ParseAce(std::wstring_view text, Ace* ace) {
  std::wstring_view fields[6];
  for (int i = 0; i < 6; ++i) {
    size_t semicolon = text.find(L';');
    if ((i < 5) != (semicolon != std::wstring_view::npos)) return false;
    fields[i] = text.substr(0, semicolon);
    if (i < 5) text.remove_prefix(semicolon + 1);
  }
  const Code* type = FindCode(kAceTypes, fields[0]);
  if (!type) return false;
  ace->type = static_cast<BYTE>(type->value);
  DWORD flags = 0;
  if (!ParseCodes(fields[1], kAceFlags, &flags)) return false;
  ace->flags = static_cast<BYTE>(flags);
  uint64_t number = 0;
  if (fields[2].size() > 0 && fields[2][0] >= L'0' && fields[2][0] <= L'9') {
    if (!ParseNumber(fields[2], 0xFFFFFFFFu, &number)) return false;
    ace->mask = static_cast<ACCESS_MASK>(number);
  } else if (!ParseCodes(fields[2], kAccessRights, &ace->mask)) {
    return false;
  }
  // Object ACEs (with GUIDs) are not supported: these ACE types carry none.
  if (!fields[3].empty() || !fields[4].empty()) return false;
  return ParseSid(fields[5], &ace->sid);
}

class SddlParser {
 public:
  explicit SddlParser(std::wstring_view text) : m_Text(text) {}

  // 0 or the Win32 error of the first fault.
  DWORD Parse(Descriptor* out) {
    while (true) {
      SkipSpaces();
      if (m_Pos == m_Text.size()) return ERROR_SUCCESS;
      if (!IsComponentStart(m_Text, m_Pos)) return ERROR_INVALID_PARAMETER;
      wchar_t which = m_Text[m_Pos];
      m_Pos += 2;
      DWORD error = ERROR_SUCCESS;
      switch (which) {
        case L'O':
          error = ParseOwner(&out->hasOwner, &out->owner);
          break;
        case L'G':
          error = ParseOwner(&out->hasGroup, &out->group);
          break;
        case L'D':
          error = ParseAcl(&out->dacl);
          break;
        default:
          error = ParseAcl(&out->sacl);
          break;
      }
      if (error != ERROR_SUCCESS) return error;
    }
  }

 private:
  void SkipSpaces() {
    while (m_Pos < m_Text.size() && m_Text[m_Pos] == L' ') ++m_Pos;
  }

  // The owner or group SID runs up to the next component.
  DWORD ParseOwner(bool* seen, Sid* sid) {
    if (*seen) return ERROR_INVALID_PARAMETER;
    *seen = true;
    size_t end = m_Pos;
    while (end < m_Text.size() && !IsComponentStart(m_Text, end)) ++end;
    std::wstring_view token = m_Text.substr(m_Pos, end - m_Pos);
    while (!token.empty() && token.back() == L' ') token.remove_suffix(1);
    m_Pos = end;
    return ParseSid(token, sid) ? ERROR_SUCCESS : ERROR_INVALID_SID;
  }

  DWORD ParseAcl(Acl* acl) {
    if (acl->present) return ERROR_INVALID_PARAMETER;
    acl->present = true;
    // Flags up to the first ACE or the next component.
    size_t end = m_Pos;
    while (end < m_Text.size() && m_Text[end] != L'(' && !IsComponentStart(m_Text, end)) ++end;
    std::wstring_view flags = m_Text.substr(m_Pos, end - m_Pos);
    m_Pos = end;
    while (!flags.empty()) {
      const Code* flag = nullptr;
      for (const Code& code : kAclFlags)
        if (flags.substr(0, wcslen(code.text)) == code.text) flag = &code;
      if (!flag) return ERROR_INVALID_PARAMETER;
      flags.remove_prefix(wcslen(flag->text));
      switch (flag->value) {
        case 0:
          acl->null = true;
          break;
        case 1:
          acl->control |= kSeDaclAutoInherited;
          break;
        case 2:
          acl->control |= kSeDaclAutoInheritReq;
          break;
        default:
          acl->control |= kSeDaclProtected;
          break;
      }
    }
    while (true) {
      SkipSpaces();
      if (m_Pos >= m_Text.size() || m_Text[m_Pos] != L'(') break;
      size_t close = m_Text.find(L')', m_Pos);
      if (close == std::wstring_view::npos) return ERROR_INVALID_PARAMETER;
      Ace ace;
      if (!ParseAce(m_Text.substr(m_Pos + 1, close - m_Pos - 1), &ace)) return ERROR_INVALID_ACL;
      acl->aces.push_back(ace);
      m_Pos = close + 1;
    }
    if (acl->null && !acl->aces.empty()) return ERROR_INVALID_ACL;
    if (acl->Size() > 0xFFFF) return ERROR_INVALID_ACL;
    return ERROR_SUCCESS;
  }

  std::wstring_view m_Text;
  size_t m_Pos = 0;
};

// ---- The binary descriptor ---------------------------------------------------------------------

void WriteAcl(const Acl& acl, BYTE* out) {
  AclHeader header{kAclRevision, 0, static_cast<WORD>(acl.Size()), static_cast<WORD>(acl.aces.size()), 0};
  memcpy(out, &header, sizeof header);
  BYTE* p = out + sizeof header;
  for (const Ace& ace : acl.aces) {
    AceHeader aceHeader{ace.type, ace.flags,
                        static_cast<WORD>(sizeof(AceHeader) + sizeof(ACCESS_MASK) + ace.sid.Size())};
    memcpy(p, &aceHeader, sizeof aceHeader);
    memcpy(p + sizeof aceHeader, &ace.mask, sizeof ace.mask);
    ace.sid.WriteTo(p + sizeof aceHeader + sizeof ace.mask);
    p += aceHeader.AceSize;
  }
}

// Lays the parts out as Windows does in a self-relative descriptor: SACL, DACL, owner, group.
BYTE* BuildDescriptor(const Descriptor& parsed, ULONG* size) {
  SelfRelativeDescriptor header{kDescriptorRevision, 0, kSeSelfRelative, 0, 0, 0, 0};
  size_t total = sizeof header;
  auto place = [&total](size_t bytes) {
    DWORD offset = static_cast<DWORD>(total);
    total += bytes;
    return offset;
  };
  if (parsed.sacl.present) {
    header.Control |= kSeSaclPresent;
    // The ACL flags were collected with the DACL's bit values; the SACL's sit one bit higher.
    header.Control |= static_cast<WORD>(parsed.sacl.control << 1);
    if (!parsed.sacl.null) header.Sacl = place(parsed.sacl.Size());
  }
  if (parsed.dacl.present) {
    header.Control |= kSeDaclPresent | parsed.dacl.control;
    if (!parsed.dacl.null) header.Dacl = place(parsed.dacl.Size());
  }
  if (parsed.hasOwner) header.Owner = place(parsed.owner.Size());
  if (parsed.hasGroup) header.Group = place(parsed.group.Size());

  BYTE* out = static_cast<BYTE*>(LocalAlloc(LPTR, total));
  if (!out) return nullptr;
  memcpy(out, &header, sizeof header);
  if (header.Sacl) WriteAcl(parsed.sacl, out + header.Sacl);
  if (header.Dacl) WriteAcl(parsed.dacl, out + header.Dacl);
  if (header.Owner) parsed.owner.WriteTo(out + header.Owner);
  if (header.Group) parsed.group.WriteTo(out + header.Group);
  *size = static_cast<ULONG>(total);
  return out;
}

// ---- Validation and evaluation -----------------------------------------------------------------

bool IsValidSid(const BYTE* bytes, size_t room) {
  if (room < sizeof(SidHeader)) return false;
  SidHeader header;
  memcpy(&header, bytes, sizeof header);
  return header.Revision == kSidRevision && header.SubAuthorityCount <= kMaxSubAuthorities &&
         sizeof header + header.SubAuthorityCount * sizeof(DWORD) <= room;
}

bool IsValidAcl(const BYTE* bytes) {
  AclHeader header;
  memcpy(&header, bytes, sizeof header);
  if ((header.AclRevision != kAclRevision && header.AclRevision != 4) || header.AclSize < sizeof header)
    return false;
  size_t offset = sizeof header;
  for (WORD i = 0; i < header.AceCount; ++i) {
    AceHeader ace;
    if (offset + sizeof ace > header.AclSize) return false;
    memcpy(&ace, bytes + offset, sizeof ace);
    if (ace.AceSize < sizeof ace + sizeof(ACCESS_MASK) || offset + ace.AceSize > header.AclSize) return false;
    size_t sidAt = offset + sizeof ace + sizeof(ACCESS_MASK);
    if (!IsValidSid(bytes + sidAt, offset + ace.AceSize - sidAt)) return false;
    offset += ace.AceSize;
  }
  return true;
}

}  // namespace

ACCESS_MASK MapGenericMask(ACCESS_MASK mask, const GenericMapping& mapping) {
  if (mask & GENERIC_READ) mask |= mapping.read;
  if (mask & GENERIC_WRITE) mask |= mapping.write;
  if (mask & GENERIC_EXECUTE) mask |= mapping.execute;
  if (mask & GENERIC_ALL) mask |= mapping.all;
  return mask & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

CallerKind CurrentCallerKind() {
  uid_t uid = geteuid();
  if (uid == 0) return kCallerRoot;
  if (uid == kGuestUid) return kCallerGuest;
  return kCallerUser;
}

bool IsValidSelfRelativeDescriptor(const void* descriptor) {
  if (!descriptor) return false;
  const BYTE* bytes = static_cast<const BYTE*>(descriptor);
  SelfRelativeDescriptor header;
  memcpy(&header, bytes, sizeof header);
  if (header.Revision != kDescriptorRevision || !(header.Control & kSeSelfRelative)) return false;
  // Offsets are bounded by the largest descriptor the parser makes: four ACLs' worth.
  constexpr DWORD kMaxOffset = 4 * 0x10000;
  for (DWORD sidAt : {header.Owner, header.Group})
    if (sidAt && (sidAt < sizeof header || sidAt > kMaxOffset || !IsValidSid(bytes + sidAt, sizeof(SidHeader) + 60)))
      return false;
  if ((header.Control & kSeSaclPresent) && header.Sacl &&
      (header.Sacl < sizeof header || header.Sacl > kMaxOffset || !IsValidAcl(bytes + header.Sacl)))
    return false;
  if ((header.Control & kSeDaclPresent) && header.Dacl &&
      (header.Dacl < sizeof header || header.Dacl > kMaxOffset || !IsValidAcl(bytes + header.Dacl)))
    return false;
  return true;
}

bool GrantedAccessByKind(const void* descriptor, const GenericMapping& mapping,
                         ACCESS_MASK granted[kCallerKinds]) {
  if (!descriptor) {
    granted[kCallerRoot] = mapping.all;
    granted[kCallerUser] = 0;
    granted[kCallerGuest] = 0;
    return true;
  }
  if (!IsValidSelfRelativeDescriptor(descriptor)) return false;
  const BYTE* bytes = static_cast<const BYTE*>(descriptor);
  SelfRelativeDescriptor header;
  memcpy(&header, bytes, sizeof header);
  if (!(header.Control & kSeDaclPresent) || header.Dacl == 0) {
    for (int kind = 0; kind < kCallerKinds; ++kind) granted[kind] = mapping.all;
    return true;
  }
  const BYTE* acl = bytes + header.Dacl;
  AclHeader aclHeader;
  memcpy(&aclHeader, acl, sizeof aclHeader);
  for (int kind = 0; kind < kCallerKinds; ++kind) {
    ACCESS_MASK allowed = 0;
    ACCESS_MASK denied = 0;
    size_t offset = sizeof aclHeader;
    for (WORD i = 0; i < aclHeader.AceCount; ++i) {
      AceHeader ace;
      memcpy(&ace, acl + offset, sizeof ace);
      ACCESS_MASK mask;
      memcpy(&mask, acl + offset + sizeof ace, sizeof mask);
      const BYTE* sid = acl + offset + sizeof ace + sizeof mask;
      offset += ace.AceSize;
      if (ace.AceFlags & kInheritOnlyAce) continue;
      if (ace.AceType != kAccessAllowedAceType && ace.AceType != kAccessDeniedAceType) continue;
      bool member = false;
      for (const wchar_t* alias : kCallerSids[kind])
        if (alias && SidEquals(FromWellKnown(*FindAlias(alias)), sid)) member = true;
      if (!member) continue;
      mask = MapGenericMask(mask, mapping);
      if (ace.AceType == kAccessAllowedAceType) {
        allowed |= mask & ~denied;
      } else {
        denied |= mask & ~allowed;
      }
    }
    granted[kind] = allowed;
  }
  return true;
}

}  // namespace qz

extern "C" BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision, PSECURITY_DESCRIPTOR* SecurityDescriptor,
    PULONG SecurityDescriptorSize) {
  if (!StringSecurityDescriptor || !SecurityDescriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (StringSDRevision != SDDL_REVISION_1) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  try {
    qz::Descriptor parsed;
    DWORD error = qz::SddlParser(StringSecurityDescriptor).Parse(&parsed);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    ULONG size = 0;
    BYTE* built = qz::BuildDescriptor(parsed, &size);
    if (!built) return FALSE;  // LocalAlloc set the error
    *SecurityDescriptor = built;
    if (SecurityDescriptorSize) *SecurityDescriptorSize = size;
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}
