// The object-path grammar: [\\server\]namespace:class[.key=value,... | =value | =@], parsed into
// an ObjectPath and written back as text.
#include <limits>

#include "wbem/path.h"

namespace qz {
namespace {

constexpr ULONG kCreateModes = WBEMPATH_CREATE_ACCEPT_RELATIVE | WBEMPATH_CREATE_ACCEPT_ABSOLUTE |
                               WBEMPATH_CREATE_ACCEPT_ALL | WBEMPATH_TREAT_SINGLE_IDENT_AS_NS;
constexpr ULONGLONG kSyntaxInfo =
    WBEMPATH_INFO_V1_COMPLIANT | WBEMPATH_INFO_V2_COMPLIANT | WBEMPATH_INFO_CIM_COMPLIANT | WBEMPATH_INFO_WMI_PATH;

constexpr bool IsSpace(WCHAR c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
constexpr bool IsSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }
constexpr bool IsDigit(WCHAR c) { return c >= L'0' && c <= L'9'; }
constexpr bool IsAsciiLetter(WCHAR c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
constexpr bool IsWideNameChar(WCHAR c) { return c >= 0x100 && c <= 0xFFEF && !(c >= 0xD800 && c <= 0xDFFF); }

// Class, key and namespace names: letters, underscore and the characters 0x100 to 0xFFEF, with
// digits after the first character.
constexpr bool IsNameStart(WCHAR c) { return IsAsciiLetter(c) || c == L'_' || IsWideNameChar(c); }
constexpr bool IsNameChar(WCHAR c) { return IsNameStart(c) || IsDigit(c); }

// Server names are more liberal (dots, dashes, addresses) but never hold a separator or a quote.
constexpr bool IsServerChar(WCHAR c) {
  if (c >= 0x80) return IsWideNameChar(c);
  return c > L' ' && c < 0x7F && c != L'\\' && c != L'/' && c != L':' && c != L'"' && c != L'\'';
}

constexpr int HexValue(WCHAR c) {
  if (IsDigit(c)) return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

constexpr WCHAR FoldAscii(WCHAR c) { return (c >= L'a' && c <= L'z') ? static_cast<WCHAR>(c - 32) : c; }

}  // namespace

bool EqualNamesNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

bool IsValidPathName(std::wstring_view name) {
  if (name.empty() || !IsNameStart(name[0])) return false;
  for (WCHAR c : name)
    if (!IsNameChar(c)) return false;
  return true;
}

bool IsValidServerName(std::wstring_view name) {
  if (name.empty()) return false;
  for (WCHAR c : name)
    if (!IsServerChar(c)) return false;
  return true;
}

namespace {

class Parser {
 public:
  explicit Parser(std::wstring_view text) : m_Text(text) {}

  // The whole text is one number.
  bool ParseNumber(PathKeyValue* value) { return ReadNumber(value) && AtEnd(); }

  bool Parse(ULONG mode, ObjectPath* out) {
    SkipSpace();
    if (AtEnd()) return true;
    if ((Peek() == L'\\' && Peek(1) == L'\\') || (Peek() == L'/' && Peek(1) == L'/')) {
      if (!ReadServer(out)) return false;
      if (!ReadNamespaces(&out->namespaces)) return false;
      if (Peek() != L':') {
        SkipSpace();
        return AtEnd();
      }
      ++m_Pos;
    } else {
      // Without a server, names and separators up to a colon are the namespace; a run of names
      // with a separator and nothing after it is a namespace alone.
      size_t end = m_Pos;
      bool separated = false;
      while (end < m_Text.size() && (IsNameChar(m_Text[end]) || IsSeparator(m_Text[end]))) {
        separated |= IsSeparator(m_Text[end]);
        ++end;
      }
      size_t rest = end;
      while (rest < m_Text.size() && IsSpace(m_Text[rest])) ++rest;
      bool namespaceOnly = rest == m_Text.size() && (separated || (mode & WBEMPATH_TREAT_SINGLE_IDENT_AS_NS) != 0);
      if (namespaceOnly || (end < m_Text.size() && m_Text[end] == L':')) {
        if (!ReadNamespaces(&out->namespaces)) return false;
        if (namespaceOnly) {
          SkipSpace();
          return AtEnd();
        }
        ++m_Pos;
      }
    }
    if (!ReadClassPart(out)) return false;
    SkipSpace();
    return AtEnd();
  }

 private:
  bool AtEnd() const { return m_Pos >= m_Text.size(); }
  WCHAR Peek(size_t ahead = 0) const { return m_Pos + ahead < m_Text.size() ? m_Text[m_Pos + ahead] : L'\0'; }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(m_Text[m_Pos])) ++m_Pos;
  }

  bool ReadServer(ObjectPath* out) {
    m_Pos += 2;
    size_t start = m_Pos;
    while (!AtEnd() && IsServerChar(Peek())) ++m_Pos;
    if (m_Pos == start || !IsSeparator(Peek())) return false;
    out->server.assign(m_Text.substr(start, m_Pos - start));
    out->hasServer = out->hadServer = true;
    ++m_Pos;
    return true;
  }

  bool ReadName(std::wstring* name) {
    size_t start = m_Pos;
    if (!IsNameStart(Peek())) return false;
    while (!AtEnd() && IsNameChar(Peek())) ++m_Pos;
    name->assign(m_Text.substr(start, m_Pos - start));
    return true;
  }

  bool ReadNamespaces(std::vector<std::wstring>* namespaces) {
    for (;;) {
      std::wstring name;
      if (!ReadName(&name)) return false;
      namespaces->push_back(std::move(name));
      if (!IsSeparator(Peek())) return true;
      ++m_Pos;
    }
  }

  bool ReadClassPart(ObjectPath* out) {
    SkipSpace();
    if (!ReadName(&out->className)) return false;
    out->hasClass = true;
    SkipSpace();
    if (Peek() == L'.') {
      ++m_Pos;
      return ReadKeyList(out);
    }
    if (Peek() != L'=') return true;
    ++m_Pos;
    SkipSpace();
    if (Peek() == L'@') {
      ++m_Pos;
      out->singleton = true;
      return true;
    }
    PathKey key;
    if (!ReadValue(&key.value)) return false;
    out->keys.push_back(std::move(key));
    return true;
  }

  bool ReadKeyList(ObjectPath* out) {
    for (;;) {
      SkipSpace();
      PathKey key;
      if (!ReadName(&key.name)) return false;
      SkipSpace();
      if (Peek() != L'=') return false;
      ++m_Pos;
      SkipSpace();
      if (!ReadValue(&key.value)) return false;
      out->keys.push_back(std::move(key));
      SkipSpace();
      if (Peek() != L',') return true;
      ++m_Pos;
    }
  }

  bool ReadValue(PathKeyValue* value) {
    WCHAR c = Peek();
    if (c == L'"' || c == L'\'') {
      ++m_Pos;
      value->kind = PathKeyValue::Kind::String;
      return ReadQuoted(c, &value->text);
    }
    if (c == L'-' || IsDigit(c)) return ReadNumber(value);
    if (!IsAsciiLetter(c)) return false;
    size_t start = m_Pos;
    while (!AtEnd() && IsNameChar(Peek())) ++m_Pos;
    std::wstring_view word = m_Text.substr(start, m_Pos - start);
    value->kind = PathKeyValue::Kind::Boolean;
    if (EqualNamesNoCase(word, L"TRUE")) {
      value->boolean = true;
      return true;
    }
    value->boolean = false;
    return EqualNamesNoCase(word, L"FALSE");
  }

  // A quoted string; a backslash escapes the quote and itself and stands for itself elsewhere.
  bool ReadQuoted(WCHAR quote, std::wstring* text) {
    while (!AtEnd()) {
      WCHAR c = m_Text[m_Pos++];
      if (c == quote) return true;
      if (c == L'\0') return false;
      if (c == L'\\' && (Peek() == quote || Peek() == L'\\')) c = m_Text[m_Pos++];
      text->push_back(c);
    }
    return false;
  }

  // Decimal or 0x hexadecimal, optionally negative, within 64 bits.
  bool ReadNumber(PathKeyValue* value) {
    bool negative = Peek() == L'-';
    if (negative) ++m_Pos;
    constexpr ULONGLONG kMax = std::numeric_limits<ULONGLONG>::max();
    ULONGLONG magnitude = 0;
    size_t digits = 0;
    if (Peek() == L'0' && (Peek(1) == L'x' || Peek(1) == L'X')) {
      m_Pos += 2;
      for (int d; (d = HexValue(Peek())) >= 0; ++m_Pos, ++digits) {
        if (magnitude > (kMax >> 4)) return false;
        magnitude = (magnitude << 4) | static_cast<ULONGLONG>(d);
      }
    } else {
      for (; IsDigit(Peek()); ++m_Pos, ++digits) {
        ULONGLONG d = static_cast<ULONGLONG>(Peek() - L'0');
        if (magnitude > (kMax - d) / 10) return false;
        magnitude = magnitude * 10 + d;
      }
    }
    if (digits == 0) return false;
    constexpr ULONGLONG kSignedMax = static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max());
    if (negative) {
      if (magnitude > kSignedMax + 1) return false;
      value->kind = PathKeyValue::Kind::Integer;
      value->integer =
          magnitude == kSignedMax + 1 ? std::numeric_limits<LONGLONG>::min() : -static_cast<LONGLONG>(magnitude);
      return true;
    }
    if (magnitude <= kSignedMax) {
      value->kind = PathKeyValue::Kind::Integer;
      value->integer = static_cast<LONGLONG>(magnitude);
      return true;
    }
    value->kind = PathKeyValue::Kind::Unsigned;
    value->unsignedValue = magnitude;
    return true;
  }

  std::wstring_view m_Text;
  size_t m_Pos = 0;
};

void AppendQuoted(std::wstring* out, std::wstring_view text) {
  out->push_back(L'"');
  for (WCHAR c : text) {
    if (c == L'"' || c == L'\\') out->push_back(L'\\');
    out->push_back(c);
  }
  out->push_back(L'"');
}

std::wstring FormatRelative(const ObjectPath& path) {
  if (!path.hasClass) return {};
  std::wstring text = path.className;
  if (path.singleton || HasImpliedKey(path))
    text.push_back(L'=');
  else if (!path.keys.empty())
    text.push_back(L'.');
  text.append(FormatKeyList(path));
  return text;
}

std::wstring FormatNamespace(const ObjectPath& path) {
  std::wstring text;
  for (const std::wstring& name : path.namespaces) {
    if (!text.empty()) text.push_back(L'\\');
    text.append(name);
  }
  return text;
}

}  // namespace

void AppendKeyValue(std::wstring* out, const PathKeyValue& value, bool quoted) {
  switch (value.kind) {
    case PathKeyValue::Kind::String:
      if (quoted)
        AppendQuoted(out, value.text);
      else
        out->append(value.text);
      return;
    case PathKeyValue::Kind::Integer:
      out->append(std::to_wstring(value.integer));
      return;
    case PathKeyValue::Kind::Unsigned:
      out->append(std::to_wstring(value.unsignedValue));
      return;
    case PathKeyValue::Kind::Boolean:
      out->append(value.boolean ? L"TRUE" : L"FALSE");
      return;
  }
}

// The key part as it follows the class name's "." or "=": Key1="v",Key2=5 or "v" or @.
std::wstring FormatKeyList(const ObjectPath& path) {
  if (path.singleton) return L"@";
  std::wstring text;
  for (const PathKey& key : path.keys) {
    if (!text.empty()) text.push_back(L',');
    if (!key.name.empty()) {
      text.append(key.name);
      text.push_back(L'=');
    }
    AppendKeyValue(&text, key.value, true);
  }
  return text;
}

bool HasImpliedKey(const ObjectPath& path) {
  for (const PathKey& key : path.keys)
    if (key.name.empty()) return true;
  return false;
}

bool ParseKeyNumber(std::wstring_view text, PathKeyValue* value) { return Parser(text).ParseNumber(value); }

bool ParseObjectPath(std::wstring_view text, ULONG mode, ObjectPath* path) {
  if (mode & ~kCreateModes) return false;
  ObjectPath parsed;
  if (!Parser(text).Parse(mode, &parsed)) return false;
  // Absolute means named by server; a mode of 0 accepts everything, like WBEMPATH_CREATE_ACCEPT_ALL.
  ULONG accept =
      mode & (WBEMPATH_CREATE_ACCEPT_RELATIVE | WBEMPATH_CREATE_ACCEPT_ABSOLUTE | WBEMPATH_CREATE_ACCEPT_ALL);
  if (accept == WBEMPATH_CREATE_ACCEPT_RELATIVE && parsed.hasServer) return false;
  if (accept == WBEMPATH_CREATE_ACCEPT_ABSOLUTE && !parsed.hasServer) return false;
  *path = std::move(parsed);
  return true;
}

bool FormatObjectPath(const ObjectPath& path, LONG flags, std::wstring* text) {
  // The grammar has a place for the server only in front of a namespace.
  std::wstring server;
  if (path.hasServer && !path.namespaces.empty()) server = L"\\\\" + path.server + L"\\";
  std::wstring nameSpace = FormatNamespace(path);
  std::wstring relative = FormatRelative(path);
  std::wstring full = nameSpace;
  if (path.hasClass) full = nameSpace.empty() ? relative : nameSpace + L":" + relative;
  switch (flags & ~WBEMPATH_COMPRESSED) {
    case 0:
      *text = std::move(full);
      return true;
    case WBEMPATH_GET_RELATIVE_ONLY:
      *text = std::move(relative);
      return true;
    case WBEMPATH_GET_SERVER_TOO:
      *text = server + full;
      return true;
    case WBEMPATH_GET_SERVER_AND_NAMESPACE_ONLY:
      *text = server + nameSpace;
      return true;
    case WBEMPATH_GET_NAMESPACE_ONLY:
      *text = std::move(nameSpace);
      return true;
    default:
      return false;
  }
}

ULONGLONG ObjectPathInfo(const ObjectPath& path) {
  ULONGLONG info = 0;
  // "." is the local machine without a name; any other server is a machine name.
  if (path.hasServer) info |= path.server == L"." ? WBEMPATH_INFO_ANON_LOCAL_MACHINE : WBEMPATH_INFO_HAS_MACHINE_NAME;
  if (path.hadServer) info |= WBEMPATH_INFO_PATH_HAD_SERVER;
  if (path.hasClass || !path.namespaces.empty()) info |= kSyntaxInfo;
  if (!path.hasClass) {
    if (path.hasServer || !path.namespaces.empty()) info |= WBEMPATH_INFO_SERVER_NAMESPACE_ONLY;
    return info;
  }
  if (path.singleton)
    return info | WBEMPATH_INFO_IS_INST_REF | WBEMPATH_INFO_IS_SINGLETON | WBEMPATH_INFO_CONTAINS_SINGLETON;
  if (path.keys.empty()) return info | WBEMPATH_INFO_IS_CLASS_REF;
  info |= WBEMPATH_INFO_IS_INST_REF;
  if (path.keys.size() > 1) info |= WBEMPATH_INFO_IS_COMPOUND;
  if (HasImpliedKey(path)) info |= WBEMPATH_INFO_HAS_IMPLIED_KEY;
  return info;
}

}  // namespace qz
