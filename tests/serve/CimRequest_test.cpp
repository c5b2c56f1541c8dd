// The request reader on its own: what it takes out of a well-formed call, and the HTTP status and
// CIMError with which it refuses every kind of malformed request.
#include "serve/CimRequest.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using qzwmi::serve::CimParse;
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
      {"flag not a boolean", kHeaders,
       Call("GetInstance", "<IPARAMVALUE NAME=\"LocalOnly\"><VALUE>maybe</VALUE></IPARAMVALUE>"), 400, "request-not-valid"},
  };
  for (const auto& c : cases) {
    CimParse parse = Parse(c.headers, c.body);
    EXPECT_EQ(parse.status, c.status) << c.what << ": " << parse.detail;
    EXPECT_EQ(parse.cimError, c.cimError) << c.what;
  }
}

}  // namespace
