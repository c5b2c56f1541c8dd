// A CIM operation request as it arrives over HTTP: its headers and its CIM-XML body read into a
// plain structure, or the protocol failure (HTTP status and CIMError header) that refuses it.
// The reader is a pure function of its input bytes: no service, no socket, no global state.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qzwmi::serve {

struct CimInstanceName;

// One key of an instance name: a plain value with its VALUETYPE ("string", "numeric" or
// "boolean"), or a reference to another instance.
struct CimKey {
  std::string name;
  std::string valueType = "string";
  std::string value;
  std::shared_ptr<CimInstanceName> reference;
};

// A class and its keys; `nameSpace` is set when the name came with a namespace path (a reference
// key), empty otherwise. A name without keys stands for the class itself.
struct CimInstanceName {
  std::string className;
  std::vector<std::string> nameSpace;
  std::vector<CimKey> keys;
};

// The parameters of an intrinsic method call that the endpoint understands; the others are
// passed over.
struct CimRequest {
  std::string messageId;
  std::string method;            // the IMETHODCALL (or METHODCALL) name
  bool intrinsic = true;         // false for an extrinsic METHODCALL
  std::vector<std::string> nameSpace;
  std::optional<std::string> className;
  std::optional<CimInstanceName> instanceName;  // InstanceName, or ObjectName of the association calls
  std::optional<std::string> assocClass, resultClass, role, resultRole;
  std::optional<std::string> queryLanguage, query;
  std::optional<std::vector<std::string>> propertyList;
  std::optional<bool> deepInheritance, localOnly, includeQualifiers, includeClassOrigin;
};

// The outcome: status 0 with the request, or the HTTP status (400, 501) and the CIMError value.
struct CimParse {
  int status = 0;
  std::string cimError;
  std::string detail;  // for the server's log
  CimRequest request;
};

// Looks up a request header by name (names compare without regard to case).
using HeaderLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The deepest element nesting a request body may have.
constexpr int kMaxXmlDepth = 64;

// The most names a PropertyList may give (no class has nearly as many properties).
constexpr size_t kMaxPropertyList = 256;

// Reads a request: checks the CIM headers, then parses the body (no DTD, no entities beyond the
// five named ones, at most kMaxXmlDepth levels) and checks that the headers agree with it.
CimParse ParseCimRequest(const HeaderLookup& header, std::string_view body);

// ASCII letters compared without regard to case, as CIM names are.
bool EqualNoCase(std::string_view a, std::string_view b);

// Decodes %XX escapes (a '+' stays a '+'); malformed escapes are kept as they are.
std::string UrlDecode(std::string_view text);

}  // namespace qzwmi::serve
