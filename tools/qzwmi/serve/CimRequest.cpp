// Reads the headers and the CIM-XML body of a CIM operation request with pugixml, refusing what
// is not a single well-formed intrinsic or extrinsic method call.
#include "serve/CimRequest.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "serve/CimXml.h"

namespace qzwmi::serve {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

CimParse Refuse(int status, const char* cimError, std::string detail) {
  CimParse parse;
  parse.status = status;
  parse.cimError = cimError;
  parse.detail = std::move(detail);
  return parse;
}

// The deepest nesting of elements under `root`, walked without recursion; stops counting past
// `limit`.
int Depth(pugi::xml_node root, int limit) {
  int deepest = 0, depth = 0;
  pugi::xml_node node = root.first_child();
  if (!node) return 0;
  depth = 1;
  while (node) {
    if (node.type() == pugi::node_element) deepest = std::max(deepest, depth);
    if (deepest > limit) return deepest;
    if (node.first_child()) {
      node = node.first_child();
      ++depth;
      continue;
    }
    while (node && !node.next_sibling()) {
      node = node.parent();
      --depth;
      if (node == root) return deepest;
    }
    if (node) node = node.next_sibling();
  }
  return deepest;
}

// True when every '&' of `body` begins one of the five named entities or a reference to a
// character that XML can carry: pugixml keeps other references as text, but without a DTD they
// make the document ill-formed, and a reference to a surrogate or NUL would decode to text that
// is not UTF-8 or is cut short.
bool OnlyKnownEntities(std::string_view body) {
  for (size_t at = body.find('&'); at != std::string_view::npos; at = body.find('&', at + 1)) {
    std::string_view rest = body.substr(at + 1);
    const size_t end = rest.find(';');
    if (end == std::string_view::npos || end == 0 || end > 10) return false;
    std::string_view name = rest.substr(0, end);
    if (name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos") continue;
    const bool hex = name.size() > 2 && name[0] == '#' && (name[1] == 'x' || name[1] == 'X');
    const std::string_view digits = name.substr(std::min(name.size(), size_t{hex ? 2u : 1u}));
    if (name.size() < 2 || name[0] != '#' || digits.empty() ||
        !std::all_of(digits.begin(), digits.end(),
                     [&](char c) { return hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c)); }))
      return false;
    if (!IsXmlChar(static_cast<uint32_t>(std::strtoul(std::string(digits).c_str(), nullptr, hex ? 16 : 10))))
      return false;
  }
  return true;
}

bool IsNamed(pugi::xml_node node, const char* name) { return node.type() == pugi::node_element && !std::strcmp(node.name(), name); }

std::vector<std::string> NamespacePath(pugi::xml_node local) {
  std::vector<std::string> names;
  for (pugi::xml_node ns : local.children("NAMESPACE")) names.emplace_back(ns.attribute("NAME").value());
  return names;
}

bool ReadInstanceName(pugi::xml_node node, CimInstanceName* name, int depth);

// VALUE.REFERENCE: an INSTANCEPATH, LOCALINSTANCEPATH or a bare INSTANCENAME.
bool ReadReference(pugi::xml_node reference, CimInstanceName* name, int depth) {
  if (depth > 8) return false;
  pugi::xml_node path = reference.first_child();
  while (path && path.type() != pugi::node_element) path = path.next_sibling();
  if (!path) return false;
  if (IsNamed(path, "INSTANCEPATH")) {
    name->nameSpace = NamespacePath(path.child("NAMESPACEPATH").child("LOCALNAMESPACEPATH"));
    return ReadInstanceName(path.child("INSTANCENAME"), name, depth + 1);
  }
  if (IsNamed(path, "LOCALINSTANCEPATH")) {
    name->nameSpace = NamespacePath(path.child("LOCALNAMESPACEPATH"));
    return ReadInstanceName(path.child("INSTANCENAME"), name, depth + 1);
  }
  if (IsNamed(path, "INSTANCENAME")) return ReadInstanceName(path, name, depth + 1);
  return false;
}

bool ReadKeyValue(pugi::xml_node value, CimKey* key, int depth) {
  if (IsNamed(value, "KEYVALUE")) {
    const char* type = value.attribute("VALUETYPE").value();
    key->valueType = *type ? type : "string";
    if (key->valueType != "string" && key->valueType != "numeric" && key->valueType != "boolean") return false;
    key->value = value.text().get();
    return true;
  }
  if (IsNamed(value, "VALUE.REFERENCE")) {
    key->valueType = "reference";
    key->reference = std::make_shared<CimInstanceName>();
    return ReadReference(value, key->reference.get(), depth);
  }
  return false;
}

bool ReadInstanceName(pugi::xml_node node, CimInstanceName* name, int depth) {
  if (!IsNamed(node, "INSTANCENAME")) return false;
  name->className = node.attribute("CLASSNAME").value();
  if (name->className.empty()) return false;
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    CimKey key;
    if (IsNamed(child, "KEYBINDING")) {
      key.name = child.attribute("NAME").value();
      pugi::xml_node value = child.first_child();
      while (value && value.type() != pugi::node_element) value = value.next_sibling();
      if (key.name.empty() || !ReadKeyValue(value, &key, depth)) return false;
    } else if (!ReadKeyValue(child, &key, depth)) {  // a single unnamed key
      return false;
    }
    name->keys.push_back(std::move(key));
  }
  return true;
}

std::optional<bool> ReadBoolean(pugi::xml_node param) {
  std::string_view text = Trim(param.child("VALUE").text().get());
  if (EqualNoCase(text, "true")) return true;
  if (EqualNoCase(text, "false")) return false;
  return std::nullopt;
}

// Reads one IPARAMVALUE into the request; false when a known parameter has a malformed value.
bool ReadParameter(pugi::xml_node param, CimRequest* request) {
  const std::string name = param.attribute("NAME").value();
  pugi::xml_node value = param.first_child();
  while (value && value.type() != pugi::node_element) value = value.next_sibling();
  auto text = [&]() -> std::optional<std::string> {
    if (!value) return std::nullopt;  // an absent value is the default
    if (!IsNamed(value, "VALUE")) return std::nullopt;
    return std::string(value.text().get());
  };
  if (name == "ClassName" || name == "AssocClass" || name == "ResultClass") {
    if (!value) return true;
    if (!IsNamed(value, "CLASSNAME") || !*value.attribute("NAME").value()) return false;
    std::string cls = value.attribute("NAME").value();
    (name == "ClassName" ? request->className : name == "AssocClass" ? request->assocClass : request->resultClass) = cls;
  } else if (name == "InstanceName" || name == "ObjectName") {
    CimInstanceName instance;
    if (IsNamed(value, "CLASSNAME")) {  // the class itself
      instance.className = value.attribute("NAME").value();
      if (instance.className.empty()) return false;
    } else if (!ReadInstanceName(value, &instance, 0)) {
      return false;
    }
    request->instanceName = std::move(instance);
  } else if (name == "Role" || name == "ResultRole" || name == "QueryLanguage" || name == "Query") {
    std::optional<std::string> given = text();
    if (value && !given) return false;
    if (name == "Role") request->role = given;
    else if (name == "ResultRole") request->resultRole = given;
    else if (name == "QueryLanguage") request->queryLanguage = given;
    else request->query = given;
  } else if (name == "PropertyList") {
    if (!value) return true;
    if (!IsNamed(value, "VALUE.ARRAY")) return false;
    std::vector<std::string> names;
    for (pugi::xml_node item : value.children("VALUE")) {
      if (names.size() == kMaxPropertyList) return false;
      names.emplace_back(Trim(item.text().get()));
    }
    request->propertyList = std::move(names);
  } else if (name == "DeepInheritance" || name == "LocalOnly" || name == "IncludeQualifiers" ||
             name == "IncludeClassOrigin") {
    if (!value) return true;
    std::optional<bool> flag = ReadBoolean(param);
    if (!flag) return false;
    (name == "DeepInheritance"     ? request->deepInheritance
     : name == "LocalOnly"         ? request->localOnly
     : name == "IncludeQualifiers" ? request->includeQualifiers
                                   : request->includeClassOrigin) = flag;
  }
  return true;
}

// Checks the CIM headers that come before the body is looked at.
std::optional<CimParse> CheckHeaders(const HeaderLookup& header) {
  std::optional<std::string> operation = header("CIMOperation");
  if (!operation || !EqualNoCase(Trim(*operation), "MethodCall"))
    return Refuse(400, "unsupported-operation", "CIMOperation is not MethodCall");
  if (std::optional<std::string> version = header("CIMProtocolVersion")) {
    std::string_view v = Trim(*version);
    if (v.size() < 2 || v.substr(0, 2) != "1.") return Refuse(501, "unsupported-protocol-version", "CIMProtocolVersion " + *version);
  }
  std::optional<std::string> type = header("Content-Type");
  std::string_view media = type ? Trim(std::string_view(*type).substr(0, type->find(';'))) : std::string_view();
  if (!EqualNoCase(media, "application/xml") && !EqualNoCase(media, "text/xml"))
    return Refuse(400, "request-not-valid", "Content-Type is not XML");
  return std::nullopt;
}

bool SameNamespace(std::string_view object, const std::vector<std::string>& nameSpace) {
  std::string joined;
  for (const std::string& part : nameSpace) joined += (joined.empty() ? "" : "/") + part;
  std::string decoded = UrlDecode(Trim(object));
  std::string_view given = decoded;
  while (!given.empty() && given.front() == '/') given.remove_prefix(1);
  while (!given.empty() && given.back() == '/') given.remove_suffix(1);
  return EqualNoCase(given, joined);
}

// Parses the body into `document`. No DTD is processed: a document type declaration is read only
// to be refused, and pugixml knows no entities beyond the five named ones and character references.
std::optional<CimParse> LoadBody(std::string_view body, pugi::xml_document* document) {
  // The XML reader takes bytes that are not UTF-8 as they are, and they would come back in answers.
  if (!IsXmlUtf8(body)) return Refuse(400, "request-not-well-formed", "the body is not UTF-8");
  const unsigned options = pugi::parse_default | pugi::parse_doctype | pugi::parse_declaration;
  pugi::xml_parse_result parsed = document->load_buffer(body.data(), body.size(), options, pugi::encoding_utf8);
  if (!parsed) return Refuse(400, "request-not-well-formed", std::string("XML: ") + parsed.description());
  if (!OnlyKnownEntities(body)) return Refuse(400, "request-not-well-formed", "an entity that is not declared");
  for (pugi::xml_node node : document->children())
    if (node.type() == pugi::node_doctype) return Refuse(400, "request-not-well-formed", "document type declaration");
  if (Depth(*document, kMaxXmlDepth) > kMaxXmlDepth)
    return Refuse(400, "request-not-valid", "elements nested too deep");
  return std::nullopt;
}

// Finds the one method call of the message: sets the message id, the method's name and whether it
// is intrinsic, and `call` to its element.
std::optional<CimParse> FindCall(const pugi::xml_document& document, CimRequest* request, pugi::xml_node* call) {
  pugi::xml_node cim = document.child("CIM");
  pugi::xml_node message = cim.child("MESSAGE");
  if (!cim || !message || !*message.attribute("ID").value())
    return Refuse(400, "request-not-valid", "no CIM MESSAGE with an ID");
  if (message.child("MULTIREQ")) return Refuse(501, "multiple-requests-unsupported", "MULTIREQ");
  pugi::xml_node simple = message.child("SIMPLEREQ");
  if (!simple) return Refuse(400, "request-not-valid", "no SIMPLEREQ");
  request->messageId = message.attribute("ID").value();
  *call = simple.child("IMETHODCALL");
  if (!*call) {
    *call = simple.child("METHODCALL");
    if (!*call) return Refuse(400, "request-not-valid", "no IMETHODCALL or METHODCALL");
    request->intrinsic = false;
  }
  request->method = call->attribute("NAME").value();
  if (request->method.empty()) return Refuse(400, "request-not-valid", "method without a NAME");
  return std::nullopt;
}

// Reads the namespace and the parameters of an intrinsic call; the namespace must be the one that
// the CIMObject header names.
std::optional<CimParse> ReadIntrinsicCall(pugi::xml_node call, std::string_view object, CimRequest* request) {
  request->nameSpace = NamespacePath(call.child("LOCALNAMESPACEPATH"));
  if (request->nameSpace.empty()) return Refuse(400, "request-not-valid", "no LOCALNAMESPACEPATH");
  if (!SameNamespace(object, request->nameSpace))
    return Refuse(400, "header-mismatch", "CIMObject differs from the body");
  for (pugi::xml_node param : call.children()) {
    if (param.type() != pugi::node_element) continue;
    if (IsNamed(param, "LOCALNAMESPACEPATH")) continue;
    if (!IsNamed(param, "IPARAMVALUE") || !ReadParameter(param, request))
      return Refuse(400, "request-not-valid", std::string("bad parameter ") + param.attribute("NAME").value());
  }
  return std::nullopt;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

CimParse ParseCimRequest(const HeaderLookup& header, std::string_view body) {
  if (std::optional<CimParse> refused = CheckHeaders(header)) return *refused;
  pugi::xml_document document;
  if (std::optional<CimParse> refused = LoadBody(body, &document)) return *refused;
  CimParse parse;
  CimRequest& request = parse.request;
  pugi::xml_node call;
  if (std::optional<CimParse> refused = FindCall(document, &request, &call)) return *refused;

  std::optional<std::string> method = header("CIMMethod");
  if (!method) return Refuse(400, "header-mismatch", "no CIMMethod header");
  if (UrlDecode(Trim(*method)) != request.method) return Refuse(400, "header-mismatch", "CIMMethod differs from the body");
  std::optional<std::string> object = header("CIMObject");
  if (!object) return Refuse(400, "header-mismatch", "no CIMObject header");
  if (request.intrinsic) {
    if (std::optional<CimParse> refused = ReadIntrinsicCall(call, *object, &request)) return *refused;
  }
  return parse;
}

}  // namespace qzwmi::serve
