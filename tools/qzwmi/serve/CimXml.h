// Writes CIM-XML responses in the forms that strict hand-written client parsers accept: the XML
// declaration always, open and close tags for every element that may carry a value, only the
// five named entities, and no attributes beyond the standard ones.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serve/CimRequest.h"

namespace qzwmi::serve {

// CIM status codes of the responses.
enum CimStatus : int {
  kCimFailed = 1,
  kCimAccessDenied = 2,
  kCimInvalidNamespace = 3,
  kCimInvalidParameter = 4,
  kCimInvalidClass = 5,
  kCimNotFound = 6,
  kCimNotSupported = 7,
  kCimQueryLanguageNotSupported = 14,
  kCimInvalidQuery = 15,
};

// Text and attribute values with & < > " ' written as the named entities; control characters
// other than tab, line feed and carriage return (which XML 1.0 cannot carry) are dropped, and
// what is not a character XML can carry (bytes that are not UTF-8, surrogates, U+FFFE, U+FFFF)
// is written as U+FFFD, so that no text makes the answer ill-formed.
std::string XmlEscape(std::string_view text);
// The same, appended to `out`; wide text is written as UTF-8.
void AppendXmlEscaped(std::string& out, std::string_view text);
void AppendXmlEscaped(std::string& out, std::wstring_view text);

// The length of the UTF-8 sequence at the start of `text` when it encodes a character that XML
// can carry (shortest form, no surrogate, at most U+10FFFF, not U+FFFE or U+FFFF), else 0.
size_t XmlCharLength(std::string_view text);
// Whether `text` is UTF-8 of characters that XML can carry (control characters aside).
bool IsXmlUtf8(std::string_view text);
// Whether the code point is a character XML 1.0 can carry.
bool IsXmlChar(uint32_t c);

// The start of a method response, up to and including <IRETURNVALUE> (intrinsic) or
// <RETURNVALUE> (extrinsic), and its end.
std::string ResponseHead(const std::string& messageId, const std::string& method);
std::string ResponseTail();

// A whole response that carries a CIM error in place of a return value.
std::string ErrorResponse(const std::string& messageId, const std::string& method, bool intrinsic, int code,
                          const std::string& description);

// <INSTANCENAME CLASSNAME="C"><KEYBINDING ...>...</KEYBINDING>...</INSTANCENAME>; reference keys
// as VALUE.REFERENCE with a LOCALINSTANCEPATH.
std::string InstanceNameXml(const CimInstanceName& name);

// <LOCALINSTANCEPATH>: the name's own namespace, else `nameSpace`.
std::string LocalInstancePathXml(const CimInstanceName& name, const std::vector<std::string>& nameSpace);

// <INSTANCEPATH> with <NAMESPACEPATH><HOST>host</HOST>...
std::string InstancePathXml(const std::string& host, const std::vector<std::string>& nameSpace,
                            const CimInstanceName& name);

// <LOCALNAMESPACEPATH><NAMESPACE NAME="root"/>...</LOCALNAMESPACEPATH>
std::string LocalNamespaceXml(const std::vector<std::string>& nameSpace);

// The name of the CIM-XML status code, as the error description begins.
const char* CimStatusName(int code);

}  // namespace qzwmi::serve
