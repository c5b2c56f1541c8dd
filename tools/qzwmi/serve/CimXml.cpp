// Builds the text of CIM-XML responses piece by piece; every value goes through XmlEscape.
#include "serve/CimXml.h"

#include <algorithm>

namespace qzwmi::serve {

std::string XmlEscape(std::string_view text) {
  // Most values (numbers, names) need nothing escaped.
  if (text.find_first_of("&<>\"'") == std::string_view::npos &&
      std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
    return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') break;
        out += c;
    }
  }
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
