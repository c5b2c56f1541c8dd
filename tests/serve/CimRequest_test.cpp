// The request readers on their own: everything the client sends is bounded before it is taken whole,
// however the body comes (announced, chunked or not at all); what the CIM reader takes out of a
// well-formed call, and the HTTP status and CIMError with which it refuses every kind of malformed
// request; and the escaping of answers.
#include "serve/CimRequest.h"
#include "serve/CimXml.h"
#include "serve/HttpRead.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using qzwmi::serve::CimParse;
using qzwmi::serve::HttpLimits;
using qzwmi::serve::HttpRequest;
using qzwmi::serve::ParseCimRequest;

using Headers = std::map<std::string, std::string>;

const Headers kHeaders = {{"Content-Type", "application/xml; charset=\"utf-8\""},
                          {"CIMOperation", "MethodCall"},
                          {"CIMProtocolVersion", "1.0"},
                          {"CIMMethod", "GetInstance"},
                          {"CIMObject", "root%2FVXN"}};

CimParse Parse(const Headers& headers, const std::string& body) {
  return ParseCimRequest(
      [&](std::string_view name) -> std::optional<std::string> {
        auto found = headers.find(std::string(name));
        if (found == headers.end()) return std::nullopt;
        return found->second;
      },
      body);
}

std::string Call(const std::string& method, const std::string& params) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">"
         "<MESSAGE ID=\"4711\" PROTOCOLVERSION=\"1.0\"><SIMPLEREQ><IMETHODCALL NAME=\"" + method +
         "\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"></NAMESPACE><NAMESPACE NAME=\"VXN\"></NAMESPACE>"
         "</LOCALNAMESPACEPATH>" + params + "</IMETHODCALL></SIMPLEREQ></MESSAGE></CIM>";
}

const std::string kAssociationName =
    "<IPARAMVALUE NAME=\"InstanceName\"><INSTANCENAME CLASSNAME=\"QZ_WinSystemMemory\">"
    "<KEYBINDING NAME=\"PartComponent\"><VALUE.REFERENCE><INSTANCEPATH><NAMESPACEPATH><HOST>client.example</HOST>"
    "<LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"/><NAMESPACE NAME=\"VXN\"/></LOCALNAMESPACEPATH></NAMESPACEPATH>"
    "<INSTANCENAME CLASSNAME=\"QZ_WinMemory\"><KEYBINDING NAME=\"DeviceID\"><KEYVALUE VALUETYPE=\"string\">"
    "a&amp;b&lt;</KEYVALUE></KEYBINDING></INSTANCENAME></INSTANCEPATH></VALUE.REFERENCE></KEYBINDING>"
    "<KEYBINDING NAME=\"Count\"><KEYVALUE VALUETYPE=\"numeric\">12</KEYVALUE></KEYBINDING>"
    "</INSTANCENAME></IPARAMVALUE>";

TEST(CimRequest, ReadsReferenceKeysWithTheirNamespaceAndDecodedText) {
  CimParse parse = Parse(kHeaders, Call("GetInstance", kAssociationName +
                                                           "<IPARAMVALUE NAME=\"PropertyList\"><VALUE.ARRAY>"
                                                           "<VALUE>Capacity</VALUE><VALUE> Tag </VALUE></VALUE.ARRAY></IPARAMVALUE>"));
  ASSERT_EQ(parse.status, 0) << parse.detail;
  const auto& request = parse.request;
  EXPECT_EQ(request.messageId, "4711");
  EXPECT_EQ(request.nameSpace, (std::vector<std::string>{"root", "VXN"}));
  ASSERT_TRUE(request.instanceName);
  ASSERT_EQ(request.instanceName->keys.size(), 2u);
  const auto& reference = request.instanceName->keys[0];
  EXPECT_EQ(reference.valueType, "reference");
  ASSERT_TRUE(reference.reference);
  EXPECT_EQ(reference.reference->className, "QZ_WinMemory");
  EXPECT_EQ(reference.reference->nameSpace, (std::vector<std::string>{"root", "VXN"}));
  EXPECT_EQ(reference.reference->keys.at(0).value, "a&b<");
  EXPECT_EQ(request.instanceName->keys[1].valueType, "numeric");
  EXPECT_EQ(request.propertyList, (std::vector<std::string>{"Capacity", "Tag"}));
}

TEST(CimRequest, AcceptsSelfClosingNamespacesWhitespaceAndBooleanParameters) {
  Headers headers = kHeaders;
  headers["CIMMethod"] = "GetClass";
  headers["CIMObject"] = "/root/vxn/";
  headers["Content-Type"] = "text/xml";
  CimParse parse = Parse(headers,
                         "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
                         "<MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\">\n<SIMPLEREQ>\n<IMETHODCALL NAME=\"GetClass\">\n"
                         "<LOCALNAMESPACEPATH>\n<NAMESPACE NAME=\"root\"/>\n<NAMESPACE NAME=\"VXN\"/>\n"
                         "</LOCALNAMESPACEPATH>\n<IPARAMVALUE NAME=\"ClassName\"><CLASSNAME NAME=\"QZ_MemoryModule\"/>"
                         "</IPARAMVALUE>\n<IPARAMVALUE NAME=\"LocalOnly\"><VALUE>false</VALUE></IPARAMVALUE>\n"
                         "</IMETHODCALL>\n</SIMPLEREQ>\n</MESSAGE>\n</CIM>\n");
  ASSERT_EQ(parse.status, 0) << parse.detail;
  EXPECT_EQ(parse.request.className, "QZ_MemoryModule");
  EXPECT_EQ(parse.request.localOnly, false);
}

std::string Nested(int depth) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += "<X>";
    close += "</X>";
  }
  return open + close;
}

std::string RoleValue(const std::string& text) {
  return "<IPARAMVALUE NAME=\"Role\"><VALUE>" + text + "</VALUE></IPARAMVALUE>" + kAssociationName;
}

TEST(CimRequest, RefusesMalformedRequestsWithStatusAndCimError) {
  const std::string good = Call("GetInstance", kAssociationName);
  auto without = [](const char* name) {
    Headers headers = kHeaders;
    headers.erase(name);
    return headers;
  };
  auto with = [](const char* name, const char* value) {
    Headers headers = kHeaders;
    headers[name] = value;
    return headers;
  };
  // CIM, MESSAGE, SIMPLEREQ, IMETHODCALL and IPARAMVALUE are five levels.
  const std::string deepest = Call("GetInstance", "<IPARAMVALUE NAME=\"Other\">" + Nested(64 - 5) + "</IPARAMVALUE>");
  const std::string tooDeep = Call("GetInstance", "<IPARAMVALUE NAME=\"Other\">" + Nested(65 - 5) + "</IPARAMVALUE>");
  const auto properties = [&](size_t count) {
    std::string values;
    for (size_t i = 0; i < count; ++i) values += "<VALUE>P" + std::to_string(i) + "</VALUE>";
    return Call("GetInstance", kAssociationName + "<IPARAMVALUE NAME=\"PropertyList\"><VALUE.ARRAY>" + values +
                                   "</VALUE.ARRAY></IPARAMVALUE>");
  };
  const struct {
    const char* what;
    Headers headers;
    std::string body;
    int status;
    const char* cimError;
  } cases[] = {
      {"good", kHeaders, good, 0, ""},
      {"64 levels", kHeaders, deepest, 0, ""},
      {"65 levels", kHeaders, tooDeep, 400, "request-not-valid"},
      {"256 properties", kHeaders, properties(256), 0, ""},
      {"257 properties", kHeaders, properties(257), 400, "request-not-valid"},
      {"no CIMOperation", without("CIMOperation"), good, 400, "unsupported-operation"},
      {"CIMOperation not a call", with("CIMOperation", "MethodResponse"), good, 400, "unsupported-operation"},
      {"protocol 2.0", with("CIMProtocolVersion", "2.0"), good, 501, "unsupported-protocol-version"},
      {"not XML", with("Content-Type", "text/plain"), good, 400, "request-not-valid"},
      {"no Content-Type", without("Content-Type"), good, 400, "request-not-valid"},
      {"no CIMMethod", without("CIMMethod"), good, 400, "header-mismatch"},
      {"CIMMethod differs", with("CIMMethod", "EnumerateInstances"), good, 400, "header-mismatch"},
      {"no CIMObject", without("CIMObject"), good, 400, "header-mismatch"},
      {"CIMObject differs", with("CIMObject", "root%2Fcimv2"), good, 400, "header-mismatch"},
      {"truncated", kHeaders, good.substr(0, good.size() / 2), 400, "request-not-well-formed"},
      {"empty", kHeaders, "", 400, "request-not-well-formed"},
      {"raw ampersand in a key", kHeaders, Call("GetInstance", "<KEYVALUE>A&B<</KEYVALUE>"), 400, "request-not-well-formed"},
      {"DTD with an entity", kHeaders,
       "<?xml version=\"1.0\"?><!DOCTYPE CIM [<!ENTITY x \"boom\">]>" + good.substr(good.find("<CIM ")), 400,
       "request-not-well-formed"},
      {"undeclared entity", kHeaders, Call("GetInstance", "<IPARAMVALUE NAME=\"Role\"><VALUE>&x;</VALUE></IPARAMVALUE>"), 400,
       "request-not-well-formed"},
      {"no MESSAGE", kHeaders, "<CIM><SIMPLEREQ/></CIM>", 400, "request-not-valid"},
      {"multiple requests", kHeaders, "<CIM><MESSAGE ID=\"1\"><MULTIREQ/></MESSAGE></CIM>", 501, "multiple-requests-unsupported"},
      {"no namespace", kHeaders,
       "<CIM><MESSAGE ID=\"1\"><SIMPLEREQ><IMETHODCALL NAME=\"GetInstance\"/></SIMPLEREQ></MESSAGE></CIM>", 400,
       "request-not-valid"},
      {"key without a value", kHeaders,
       Call("GetInstance", "<IPARAMVALUE NAME=\"InstanceName\"><INSTANCENAME CLASSNAME=\"C\"><KEYBINDING NAME=\"K\"/>"
                           "</INSTANCENAME></IPARAMVALUE>"),
       400, "request-not-valid"},
      {"unknown value type", kHeaders,
       Call("GetInstance", "<IPARAMVALUE NAME=\"InstanceName\"><INSTANCENAME CLASSNAME=\"C\"><KEYBINDING NAME=\"K\">"
                           "<KEYVALUE VALUETYPE=\"float\">1</KEYVALUE></KEYBINDING></INSTANCENAME></IPARAMVALUE>"),
       400, "request-not-valid"},
      {"UTF-8 text", kHeaders, Call("GetInstance", RoleValue("Gr\xC3\xB6\xC3\x9F\xE2\x82\xAC\xF0\x9F\x92\xBE")), 0, ""},
      {"byte that is not UTF-8", kHeaders, Call("GetInstance", RoleValue("a\xFF")), 400, "request-not-well-formed"},
      {"sequence cut short", kHeaders, Call("GetInstance", RoleValue("a\xE2\x82")), 400, "request-not-well-formed"},
      {"overlong form", kHeaders, Call("GetInstance", RoleValue("\xC0\xBC")), 400, "request-not-well-formed"},
      {"surrogate", kHeaders, Call("GetInstance", RoleValue("\xED\xA0\x80")), 400, "request-not-well-formed"},
      {"beyond U+10FFFF", kHeaders, Call("GetInstance", RoleValue("\xF4\x90\x80\x80")), 400, "request-not-well-formed"},
      {"reference to a surrogate", kHeaders, Call("GetInstance", RoleValue("&#xD800;")), 400, "request-not-well-formed"},
      {"reference to NUL", kHeaders, Call("GetInstance", RoleValue("&#0;")), 400, "request-not-well-formed"},
      {"flag not a boolean", kHeaders,
       Call("GetInstance", "<IPARAMVALUE NAME=\"LocalOnly\"><VALUE>maybe</VALUE></IPARAMVALUE>"), 400, "request-not-valid"},
  };
  for (const auto& c : cases) {
    CimParse parse = Parse(c.headers, c.body);
    EXPECT_EQ(parse.status, c.status) << c.what << ": " << parse.detail;
    EXPECT_EQ(parse.cimError, c.cimError) << c.what;
  }
}

// Whatever text an answer carries, the answer stays well-formed XML: what is not a character XML
// can carry becomes U+FFFD, one for each byte that begins none.
TEST(CimXml, EscapesTextIntoCharactersXmlCarries) {
  const struct {
    std::string text, escaped;
  } cases[] = {
      {"<a & 'b'>\"", "&lt;a &amp; &apos;b&apos;&gt;&quot;"},
      {"Gr\xC3\xB6\xC3\x9F \xF0\x9F\x92\xBE", "Gr\xC3\xB6\xC3\x9F \xF0\x9F\x92\xBE"},
      {"a\x01\tb", "a\tb"},
      {"a\xFF<", "a\xEF\xBF\xBD&lt;"},
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xBC", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) EXPECT_EQ(qzwmi::serve::XmlEscape(c.text), c.escaped) << c.text;
  std::string wide;
  qzwmi::serve::AppendXmlEscaped(wide, std::wstring_view(L"a\xD800\xFFFF\x10FFFF\x110000\xE9"));
  EXPECT_EQ(wide, "a\xEF\xBF\xBD\xEF\xBF\xBD\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xC3\xA9");
}

std::string Chunked(size_t chunks, size_t size) {
  std::string body;
  char line[32];
  for (size_t i = 0; i < chunks; ++i) {
    std::snprintf(line, sizeof line, "%zx\r\n", size);
    body += line + std::string(size, 'b') + "\r\n";
  }
  return body + "0\r\n\r\n";
}

TEST(ReadHttpRequest, BoundsHeadAndBodyHoweverTheyCome) {
  HttpLimits limits;
  limits.headerBytes = 1024;
  limits.headerLine = 256;
  limits.headerCount = 10;
  limits.body = 1000;
  const std::string post = "POST /cimom HTTP/1.1\r\nHost: h\r\n";
  std::string nineFields;  // with Host, as many as the limit allows
  for (int i = 0; i < 9; ++i) nineFields += "X-" + std::to_string(i) + ": v\r\n";
  const struct {
    const char* what;
    std::string bytes;
    int status;
    std::string body;
  } cases[] = {
      {"announced body", post + "Content-Length: 5\r\n\r\nhello", 0, "hello"},
      {"no body", post + "\r\n", 0, ""},
      {"body without a length is none", post + "\r\nhello", 0, ""},
      {"pipelined: the first only", post + "Content-Length: 2\r\n\r\nabPOST / HTTP/1.1\r\n\r\n", 0, "ab"},
      {"chunked within the limit", post + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(4, 250), 0, std::string(1000, 'b')},
      {"chunked beyond it", post + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(5, 250), 413, ""},
      {"one chunk beyond it", post + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(1, 1001), 413, ""},
      {"announced beyond it", post + "Content-Length: 1001\r\n\r\n", 413, ""},
      {"head beyond its bytes", post + "X-A: " + std::string(250, 'a') + "\r\nX-B: " + std::string(250, 'a') +
                                    "\r\nX-C: " + std::string(250, 'a') + "\r\nX-D: " + std::string(250, 'a') + "\r\n\r\n",
       431, ""},
      {"as many fields as allowed", post + nineFields + "\r\n", 0, ""},
      {"one field too many", post + nineFields + "X-9: v\r\n\r\n", 431, ""},
      {"a long value", post + "X-A: " + std::string(257, 'a') + "\r\n\r\n", 400, ""},
      {"a long target", "GET /" + std::string(256, 't') + " HTTP/1.1\r\n\r\n", 414, ""},
      {"not HTTP", "HELLO\r\n\r\n", 400, ""},
      {"a bad chunk size", post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 400, ""},
      {"head cut short", post, -1, ""},
      {"body cut short", post + "Content-Length: 5\r\n\r\nhel", -1, ""},
      {"chunks cut short", post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", -1, ""},
  };
  for (const auto& c : cases) {
    HttpRequest request;
    EXPECT_EQ(qzwmi::serve::ReadHttpRequest(c.bytes, limits, &request), c.status) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(request.body, c.body) << c.what;
    }
  }
  HttpRequest request;
  ASSERT_EQ(qzwmi::serve::ReadHttpRequest(post + "content-length: 0\r\nX-Multi: a\r\n\r\n", limits, &request), 0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/cimom");
  EXPECT_EQ(request.Header("CONTENT-LENGTH"), "0");
  EXPECT_EQ(request.Header("x-multi"), "a");
  EXPECT_EQ(request.Header("Expect"), std::nullopt);
}

}  // namespace
