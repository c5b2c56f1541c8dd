// The object-path grammar: [\\server\]namespace:class[.key=value,... | =value | =@], and its text.
#include <cwctype>

#include "wbem/path.h"

namespace qz {
namespace {

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool IsNameChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_' ||
         (c >= 0x80 && c != 0xFFFD && c <= 0x10FFFF && std::iswalnum(static_cast<wint_t>(c)));
}

class Parser {
 public:
  explicit Parser(std::wstring_view text) : m_Text(text) {}

  bool Parse(ObjectPath* path) {
    SkipSpace();
    if (AtEnd()) return true;  // an empty path
    if (m_Pos + 1 < m_Text.size() && IsSeparator(m_Text[m_Pos]) && IsSeparator(m_Text[m_Pos + 1])) {
      m_Pos += 2;
      size_t start = m_Pos;
      while (!AtEnd() && !IsSeparator(m_Text[m_Pos]) && m_Text[m_Pos] != L':') ++m_Pos;
      if (m_Pos == start) return false;
      path->server.assign(m_Text.substr(start, m_Pos - start));
      path->hasServer = path->hadServer = true;
      if (AtEnd()) return true;
      if (!IsSeparator(m_Text[m_Pos])) return false;
      ++m_Pos;
    }
    // A namespace runs to the first colon that comes before any key syntax.
    size_t colon = std::wstring_view::npos;
    for (size_t i = m_Pos; i < m_Text.size(); ++i) {
      wchar_t c = m_Text[i];
      if (c == L':') {
        colon = i;
        break;
      }
      if (c == L'.' || c == L'=' || c == L'"' || c == L'\'') break;
    }
    if (colon == std::wstring_view::npos && path->hasServer) colon = m_Text.size();  // server and namespace only
    if (colon != std::wstring_view::npos) {
      std::wstring_view ns = m_Text.substr(m_Pos, colon - m_Pos);
      size_t start = 0;
      for (size_t i = 0; i <= ns.size(); ++i) {
        if (i == ns.size() || IsSeparator(ns[i])) {
          std::wstring part(ns.substr(start, i - start));
          while (!part.empty() && IsSpace(part.back())) part.pop_back();
          while (!part.empty() && IsSpace(part.front())) part.erase(part.begin());
          if (part.empty()) return false;
          for (wchar_t c : part)
            if (!IsNameChar(c)) return false;
          path->namespaces.push_back(part);
          start = i + 1;
        }
      }
      m_Pos = colon < m_Text.size() ? colon + 1 : colon;
      SkipSpace();
      if (AtEnd()) return colon == m_Text.size();  // "ns:" names nothing
    }
    if (!ReadName(&path->className)) return false;
    path->hasClass = true;
    SkipSpace();
    if (AtEnd()) return true;
    if (m_Text[m_Pos] == L'=') {
      ++m_Pos;
      SkipSpace();
      if (!AtEnd() && m_Text[m_Pos] == L'@') {
        ++m_Pos;
        path->singleton = true;
      } else {
        PathKey key;
        if (!ReadValue(&key.value)) return false;
        path->keys.push_back(std::move(key));
      }
      SkipSpace();
      return AtEnd();
    }
    if (m_Text[m_Pos] != L'.') return false;
    ++m_Pos;
    for (;;) {
      SkipSpace();
      PathKey key;
      if (!ReadName(&key.name)) return false;
      SkipSpace();
      if (AtEnd() || m_Text[m_Pos] != L'=') return false;
      ++m_Pos;
      SkipSpace();
      if (!ReadValue(&key.value)) return false;
      path->keys.push_back(std::move(key));
      SkipSpace();
      if (AtEnd()) return true;
      if (m_Text[m_Pos] != L',') return false;
      ++m_Pos;
    }
  }

 private:
  bool AtEnd() const { return m_Pos >= m_Text.size(); }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(m_Text[m_Pos])) ++m_Pos;
  }

  bool ReadName(std::wstring* name) {
    size_t start = m_Pos;
    while (!AtEnd() && IsNameChar(m_Text[m_Pos])) ++m_Pos;
    if (m_Pos == start) return false;
    name->assign(m_Text.substr(start, m_Pos - start));
    return true;
  }

  bool ReadValue(PathKeyValue* value) {
    if (AtEnd()) return false;
    wchar_t c = m_Text[m_Pos];
    if (c == L'"' || c == L'\'') {
      wchar_t quote = c;
      ++m_Pos;
      std::wstring text;
      for (;;) {
        if (AtEnd()) return false;  // unterminated
        wchar_t d = m_Text[m_Pos++];
        if (d == quote) break;
        if (d == L'\\' && !AtEnd() && (m_Text[m_Pos] == L'\\' || m_Text[m_Pos] == L'"' || m_Text[m_Pos] == L'\'')) {
          text += m_Text[m_Pos++];
          continue;
        }
        text += d;
      }
      value->kind = PathKeyValue::Kind::String;
      value->text = std::move(text);
      return true;
    }
    size_t start = m_Pos;
    while (!AtEnd() && !IsSpace(m_Text[m_Pos]) && m_Text[m_Pos] != L',') ++m_Pos;
    std::wstring word(m_Text.substr(start, m_Pos - start));
    if (word.empty()) return false;
    std::wstring upper;
    for (wchar_t w : word) upper += static_cast<wchar_t>(std::towupper(static_cast<wint_t>(w)));
    if (upper == L"TRUE" || upper == L"FALSE") {
      value->kind = PathKeyValue::Kind::Boolean;
      value->boolean = upper == L"TRUE";
      return true;
    }
    return ParseNumber(word, value);
  }

  static bool ParseNumber(const std::wstring& word, PathKeyValue* value) {
    size_t i = 0;
    bool negative = false;
    if (word[i] == L'-' || word[i] == L'+') {
      negative = word[i] == L'-';
      ++i;
    }
    unsigned base = 10;
    if (i + 1 < word.size() && word[i] == L'0' && (word[i + 1] == L'x' || word[i + 1] == L'X')) {
      base = 16;
      i += 2;
    }
    if (i >= word.size()) return false;
    ULONGLONG magnitude = 0;
    for (; i < word.size(); ++i) {
      wchar_t d = word[i];
      unsigned digit;
      if (d >= L'0' && d <= L'9')
        digit = static_cast<unsigned>(d - L'0');
      else if (base == 16 && d >= L'a' && d <= L'f')
        digit = static_cast<unsigned>(d - L'a' + 10);
      else if (base == 16 && d >= L'A' && d <= L'F')
        digit = static_cast<unsigned>(d - L'A' + 10);
      else
        return false;
      if (magnitude > (~0ULL - digit) / base) return false;  // beyond 64 bits
      magnitude = magnitude * base + digit;
    }
    if (negative) {
      if (magnitude > (1ULL << 63)) return false;
      value->kind = PathKeyValue::Kind::Integer;
      value->integer = magnitude == (1ULL << 63) ? INT64_MIN : -static_cast<LONGLONG>(magnitude);
    } else if (magnitude > static_cast<ULONGLONG>(INT64_MAX)) {
      value->kind = PathKeyValue::Kind::Unsigned;
      value->unsignedValue = magnitude;
    } else {
      value->kind = PathKeyValue::Kind::Integer;
      value->integer = static_cast<LONGLONG>(magnitude);
    }
    return true;
  }

  std::wstring_view m_Text;
  size_t m_Pos = 0;
};

std::wstring FormatValue(const PathKeyValue& value) {
  switch (value.kind) {
    case PathKeyValue::Kind::String: {
      std::wstring out = L"\"";
      for (wchar_t c : value.text) {
        if (c == L'\\' || c == L'"') out += L'\\';
        out += c;
      }
      return out + L"\"";
    }
    case PathKeyValue::Kind::Integer:
      return std::to_wstring(value.integer);
    case PathKeyValue::Kind::Unsigned:
      return std::to_wstring(value.unsignedValue);
    case PathKeyValue::Kind::Boolean:
      return value.boolean ? L"TRUE" : L"FALSE";
  }
  return {};
}

}  // namespace

bool ParseObjectPath(std::wstring_view text, ULONG mode, ObjectPath* path) {
  constexpr ULONG kKnownModes = WBEMPATH_CREATE_ACCEPT_RELATIVE | WBEMPATH_CREATE_ACCEPT_ABSOLUTE |
                                WBEMPATH_CREATE_ACCEPT_ALL | WBEMPATH_TREAT_SINGLE_IDENT_AS_NS;
  if (mode & ~kKnownModes) return false;
  ObjectPath parsed;
  if (!Parser(text).Parse(&parsed)) return false;
  bool absolute = parsed.hasServer || !parsed.namespaces.empty();
  if (!(mode & WBEMPATH_CREATE_ACCEPT_ALL)) {
    if (absolute && !(mode & WBEMPATH_CREATE_ACCEPT_ABSOLUTE) && (mode & WBEMPATH_CREATE_ACCEPT_RELATIVE)) return false;
    if (!absolute && !(mode & WBEMPATH_CREATE_ACCEPT_RELATIVE) && (mode & WBEMPATH_CREATE_ACCEPT_ABSOLUTE)) return false;
  }
  // A lone identifier may name a namespace rather than a class.
  if ((mode & WBEMPATH_TREAT_SINGLE_IDENT_AS_NS) && !absolute && parsed.hasClass && parsed.keys.empty() &&
      !parsed.singleton) {
    parsed.namespaces.push_back(parsed.className);
    parsed.className.clear();
    parsed.hasClass = false;
  }
  *path = std::move(parsed);
  return true;
}

bool FormatObjectPath(const ObjectPath& path, LONG flags, std::wstring* text) {
  constexpr LONG kKnown = WBEMPATH_COMPRESSED | WBEMPATH_GET_RELATIVE_ONLY | WBEMPATH_GET_SERVER_TOO |
                          WBEMPATH_GET_SERVER_AND_NAMESPACE_ONLY | WBEMPATH_GET_NAMESPACE_ONLY;
  if (flags & ~kKnown) return false;
  LONG selection = flags & ~WBEMPATH_COMPRESSED;
  if (selection & (selection - 1)) return false;  // at most one selection

  std::wstring relative;
  if (path.hasClass) {
    relative = path.className;
    if (path.singleton) {
      relative += L"=@";
    } else if (path.keys.size() == 1 && path.keys[0].name.empty()) {
      relative += L"=" + FormatValue(path.keys[0].value);
    } else {
      for (size_t i = 0; i < path.keys.size(); ++i) {
        relative += i == 0 ? L"." : L",";
        relative += path.keys[i].name + L"=" + FormatValue(path.keys[i].value);
      }
    }
  }
  std::wstring ns;
  for (size_t i = 0; i < path.namespaces.size(); ++i) ns += (i ? L"\\" : L"") + path.namespaces[i];
  std::wstring server = path.hasServer ? L"\\\\" + path.server : L"";

  switch (selection) {
    case WBEMPATH_GET_RELATIVE_ONLY:
      *text = relative;
      return true;
    case WBEMPATH_GET_NAMESPACE_ONLY:
      *text = ns;
      return true;
    case WBEMPATH_GET_SERVER_AND_NAMESPACE_ONLY:
      *text = server.empty() ? ns : server + (ns.empty() ? L"" : L"\\" + ns);
      return true;
    case WBEMPATH_GET_SERVER_TOO: {
      std::wstring out = server;
      if (!ns.empty()) out += (out.empty() ? L"" : L"\\") + ns;
      if (!relative.empty()) out += (ns.empty() && server.empty() ? L"" : L":") + relative;
      *text = out;
      return true;
    }
    default:
      *text = ns.empty() ? relative : (relative.empty() ? ns : ns + L":" + relative);
      return true;
  }
}

ULONGLONG ObjectPathInfo(const ObjectPath& path) {
  ULONGLONG info = WBEMPATH_INFO_WMI_PATH;
  if (path.hasServer) {
    info |= path.server == L"." ? WBEMPATH_INFO_ANON_LOCAL_MACHINE : WBEMPATH_INFO_HAS_MACHINE_NAME;
  }
  if (path.hadServer) info |= WBEMPATH_INFO_PATH_HAD_SERVER;
  if (!path.hasClass) {
    if (path.hasServer || !path.namespaces.empty()) info |= WBEMPATH_INFO_SERVER_NAMESPACE_ONLY;
    return info;
  }
  if (path.singleton) {
    info |= WBEMPATH_INFO_IS_INST_REF | WBEMPATH_INFO_IS_SINGLETON | WBEMPATH_INFO_CONTAINS_SINGLETON;
  } else if (path.keys.empty()) {
    info |= WBEMPATH_INFO_IS_CLASS_REF;
  } else {
    info |= WBEMPATH_INFO_IS_INST_REF;
    if (path.keys.size() > 1) info |= WBEMPATH_INFO_IS_COMPOUND;
    if (path.keys.size() == 1 && path.keys[0].name.empty()) info |= WBEMPATH_INFO_HAS_IMPLIED_KEY;
  }
  info |= WBEMPATH_INFO_V2_COMPLIANT | WBEMPATH_INFO_CIM_COMPLIANT;
  return info;
}

}  // namespace qz
