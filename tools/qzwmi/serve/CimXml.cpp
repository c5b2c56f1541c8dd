// Builds the text of CIM-XML responses piece by piece; every value goes through XmlEscape.
#include "serve/CimXml.h"

#include <cstdint>
#include <cstring>

namespace qzwmi::serve {

namespace {

bool NeedsEscape(unsigned char c) {
  return c < 0x20 || c == '&' || c == '<' || c == '>' || c == '"' || c == '\'' || c >= 0x80;
}

constexpr uint32_t kReplacement = 0xFFFD;

// Text is escaped into a small buffer on the stack and appended from there in pieces: one append
// for many characters.
class EscapeBuffer {
 public:
  explicit EscapeBuffer(std::string& out) : m_Out(out) {}
  ~EscapeBuffer() { Flush(); }

  // One character, given as a code point, escaped; a control character XML cannot carry is
  // dropped.
  void Put(uint32_t c) {
    if (m_Size > sizeof m_Bytes - 8) Flush();
    if (!IsXmlChar(c) && c >= 0x20) c = kReplacement;
    if (c < 0x80) {
      switch (c) {
        case '&': Literal("&amp;"); return;
        case '<': Literal("&lt;"); return;
        case '>': Literal("&gt;"); return;
        case '"': Literal("&quot;"); return;
        case '\'': Literal("&apos;"); return;
        default:
          if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return;
          m_Bytes[m_Size++] = static_cast<char>(c);
          return;
      }
    }
    if (c < 0x800) {
      m_Bytes[m_Size++] = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      m_Bytes[m_Size++] = static_cast<char>(0xE0 | (c >> 12));
      m_Bytes[m_Size++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      m_Bytes[m_Size++] = static_cast<char>(0xF0 | (c >> 18));
      m_Bytes[m_Size++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      m_Bytes[m_Size++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    m_Bytes[m_Size++] = static_cast<char>(0x80 | (c & 0x3F));
  }

  void Flush() {
    m_Out.append(m_Bytes, m_Size);
    m_Size = 0;
  }

 private:
  template <size_t N>
  void Literal(const char (&text)[N]) {
    std::memcpy(m_Bytes + m_Size, text, N - 1);
    m_Size += N - 1;
  }

  std::string& m_Out;
  char m_Bytes[256];
  size_t m_Size = 0;
};

}  // namespace

bool IsXmlChar(uint32_t c) {
  return c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0xD800) || (c >= 0xE000 && c < 0xFFFE) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

size_t XmlCharLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return IsXmlChar(lead) ? 1 : 0;
  size_t length = 0;
  uint32_t c = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  return c >= kShortest[length] && IsXmlChar(c) ? length : 0;
}

bool IsXmlUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    const size_t length = XmlCharLength(text.substr(i));
    if (!length) return false;
    i += length;
  }
  return true;
}

void AppendXmlEscaped(std::string& out, std::string_view text) {
  // Runs that need nothing escaped (most values: numbers, names, well-formed UTF-8) are copied whole.
  size_t start = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!NeedsEscape(c)) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      if (const size_t length = XmlCharLength(text.substr(i))) {
        i += length;
        continue;
      }
    }
    out.append(text.data() + start, i - start);
    // A byte that begins no character XML can carry stands for one U+FFFD.
    EscapeBuffer(out).Put(c >= 0x80 ? kReplacement : c);
    start = ++i;
  }
  out.append(text.data() + start, text.size() - start);
}

void AppendXmlEscaped(std::string& out, std::wstring_view text) {
  EscapeBuffer buffer(out);
  for (wchar_t c : text) buffer.Put(static_cast<uint32_t>(c));
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendXmlEscaped(out, text);
  return out;
}

std::string ResponseHead(const std::string& messageId, const std::string& method) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"" +
         XmlEscape(messageId) + "\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP><IMETHODRESPONSE NAME=\"" + XmlEscape(method) +
         "\"><IRETURNVALUE>\n";
}

std::string ResponseTail() { return "</IRETURNVALUE></IMETHODRESPONSE></SIMPLERSP></MESSAGE></CIM>\n"; }

const char* CimStatusName(int code) {
  switch (code) {
    case kCimFailed: return "CIM_ERR_FAILED";
    case kCimAccessDenied: return "CIM_ERR_ACCESS_DENIED";
    case kCimInvalidNamespace: return "CIM_ERR_INVALID_NAMESPACE";
    case kCimInvalidParameter: return "CIM_ERR_INVALID_PARAMETER";
    case kCimInvalidClass: return "CIM_ERR_INVALID_CLASS";
    case kCimNotFound: return "CIM_ERR_NOT_FOUND";
    case kCimNotSupported: return "CIM_ERR_NOT_SUPPORTED";
    case kCimQueryLanguageNotSupported: return "CIM_ERR_QUERY_LANGUAGE_NOT_SUPPORTED";
    case kCimInvalidQuery: return "CIM_ERR_INVALID_QUERY";
    default: return "CIM_ERR_FAILED";
  }
}

std::string ErrorResponse(const std::string& messageId, const std::string& method, bool intrinsic, int code,
                          const std::string& description) {
  const char* element = intrinsic ? "IMETHODRESPONSE" : "METHODRESPONSE";
  return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"" +
         XmlEscape(messageId) + "\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP><" + element + " NAME=\"" + XmlEscape(method) +
         "\"><ERROR CODE=\"" + std::to_string(code) + "\" DESCRIPTION=\"" + XmlEscape(description) + "\"/></" +
         element + "></SIMPLERSP></MESSAGE></CIM>\n";
}

std::string LocalNamespaceXml(const std::vector<std::string>& nameSpace) {
  std::string out = "<LOCALNAMESPACEPATH>";
  for (const std::string& part : nameSpace) out += "<NAMESPACE NAME=\"" + XmlEscape(part) + "\"/>";
  return out + "</LOCALNAMESPACEPATH>";
}

std::string InstanceNameXml(const CimInstanceName& name) {
  std::string out = "<INSTANCENAME CLASSNAME=\"" + XmlEscape(name.className) + "\">";
  for (const CimKey& key : name.keys) {
    out += "<KEYBINDING NAME=\"" + XmlEscape(key.name) + "\">";
    if (key.reference) {
      // A local path: clients print it as namespace:Class.keys, which they read back as it is.
      out += "<VALUE.REFERENCE>" + LocalInstancePathXml(*key.reference, {}) + "</VALUE.REFERENCE>";
    } else {
      out += "<KEYVALUE VALUETYPE=\"" + XmlEscape(key.valueType) + "\">" + XmlEscape(key.value) + "</KEYVALUE>";
    }
    out += "</KEYBINDING>";
  }
  return out + "</INSTANCENAME>";
}

std::string LocalInstancePathXml(const CimInstanceName& name, const std::vector<std::string>& nameSpace) {
  return "<LOCALINSTANCEPATH>" + LocalNamespaceXml(name.nameSpace.empty() ? nameSpace : name.nameSpace) +
         InstanceNameXml(name) + "</LOCALINSTANCEPATH>";
}

std::string InstancePathXml(const std::string& host, const std::vector<std::string>& nameSpace,
                            const CimInstanceName& name) {
  return "<INSTANCEPATH><NAMESPACEPATH><HOST>" + XmlEscape(host) + "</HOST>" +
         LocalNamespaceXml(name.nameSpace.empty() ? nameSpace : name.nameSpace) + "</NAMESPACEPATH>" +
         InstanceNameXml(name) + "</INSTANCEPATH>";
}

}  // namespace qzwmi::serve
