// The MOF compiler: what it accepts and stores (types, qualifiers and their flavors, namespaces,
// instances and aliases), what it refuses with which code and message, the static
// instance store, the module's own MOF with its 22 classes and provider registrations, and a kept
// MOF file that fails (a kept file reaching later processes is run through the command-line tool's
// own tests).
#include <gtest/gtest.h>
#include <qzplatform.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "kernel32/sysroot.h"
#include "kernel32/text.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PlatformTest.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/mof.h"
#include "wbem/repository.h"

namespace {

using qz::wbem::ClassDef;
using qz::wbem::CompileMof;
using qz::wbem::FindQualifier;
using qz::wbem::MofResult;
using qz::wbem::PropertyDef;
using qz::wbem::Qualifier;
using qz::wbem::Repository;
constexpr auto Text = qztest::GetString;

constexpr const wchar_t* kTestNamespace = L"root\\Test";

const PropertyDef* Property(const ClassDef& cls, const wchar_t* name) {
  const int index = cls.FindProperty(name);
  return index < 0 ? nullptr : &cls.properties[static_cast<size_t>(index)];
}

std::wstring CimTypeText(const PropertyDef& property) {
  const Qualifier* type = FindQualifier(property.qualifiers, L"CIMTYPE");
  return type && type->value.vt == VT_BSTR ? type->value.bstrVal : L"";
}

// A repository of its own, into which texts compile as "t.mof" in root\Test.
class MofCompiler : public testing::Test {
 protected:
  HRESULT Compile(const wchar_t* text, const wchar_t* space = kTestNamespace) {
    return CompileMof(text, L"t.mof", space, &result, repository);
  }
  Repository repository;
  MofResult result;
};

TEST_F(MofCompiler, PropertyDeclarationsGiveTheirCimTypes) {
  const wchar_t* text =
      L"class QZ_Other { [key] string Name; };\n"
      L"class QZ_Types {\n"
      L"  boolean A; uint8 B; uint16 D; uint32 F; sint32 G; uint64 H; real64 K; string L; datetime M;\n"
      L"  uint8 P[]; string Q[]; uint16 R[4]; QZ_Other ref S; QZ_Missing REF T;\n"
      L"};";
  ASSERT_EQ(Compile(text), WBEM_S_NO_ERROR) << result.message;
  auto cls = repository.FindClass(kTestNamespace, L"QZ_Types");
  ASSERT_TRUE(cls);
  struct Case { const wchar_t* property; CIMTYPE type; const wchar_t* cimType; };
  const Case cases[] = {
      {L"A", CIM_BOOLEAN, L"boolean"}, {L"B", CIM_UINT8, L"uint8"},   {L"D", CIM_UINT16, L"uint16"},
      {L"F", CIM_UINT32, L"uint32"},   {L"G", CIM_SINT32, L"sint32"}, {L"H", CIM_UINT64, L"uint64"},
      {L"K", CIM_REAL64, L"real64"},   {L"L", CIM_STRING, L"string"}, {L"M", CIM_DATETIME, L"datetime"},
      {L"P", CIM_UINT8 | CIM_FLAG_ARRAY, L"uint8"}, {L"Q", CIM_STRING | CIM_FLAG_ARRAY, L"string"},
      {L"R", CIM_UINT16 | CIM_FLAG_ARRAY, L"uint16"}, {L"S", CIM_REFERENCE, L"ref:QZ_Other"},
      {L"T", CIM_REFERENCE, L"ref:QZ_Missing"},
  };
  ASSERT_EQ(cls->properties.size(), std::size(cases));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.property);
    const PropertyDef* property = Property(*cls, c.property);
    ASSERT_NE(property, nullptr);
    EXPECT_EQ(property->type, c.type);
    EXPECT_EQ(CimTypeText(*property), c.cimType);
    EXPECT_FALSE(property->IsKey());
  }
  EXPECT_EQ(result.classes, (std::vector<std::wstring>{L"root\\Test:QZ_Other", L"root\\Test:QZ_Types"}));
}

TEST_F(MofCompiler, QualifiersKeepTheirValuesAndFlavors) {
  const wchar_t* text =
      L"/* block\n comment */ [abstract, Description(\"base\")] class QZ_Base { [key] string Tag; };\n"
      L"// line comment\n"
      L"[dynamic: ToInstance, provider(\"CQZProv\") : DisableOverride Restricted,\n"
      L" Description(\"one \" \"two\\\" \\\\ \\x41\\n\"), Weight(-2.5), Weights{1, 2.5}]\n"
      L"class QZ_Derived : QZ_Base {\n"
      L"  [read, MaxLen(64), ValueMap{\"1\", \"2\"}, Values{\"One\", \"Two\"} : Amended] uint16 Kind;\n"
      L"};";
  ASSERT_EQ(Compile(text), WBEM_S_NO_ERROR) << result.message;
  auto base = repository.FindClass(kTestNamespace, L"QZ_Base");
  auto derived = repository.FindClass(kTestNamespace, L"QZ_Derived");
  ASSERT_TRUE(base && derived);
  EXPECT_EQ(derived->superclass, L"QZ_Base");
  ASSERT_NE(FindQualifier(base->qualifiers, L"abstract"), nullptr);
  EXPECT_EQ(FindQualifier(derived->qualifiers, L"abstract"), nullptr) << "abstract stays with its own class";

  constexpr LONG kToSubclass = WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;
  constexpr LONG kToInstance = WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE;
  struct Case {
    const wchar_t* property;  // null: a class qualifier
    const wchar_t* qualifier;
    VARTYPE vt;
    LONG flavor;
    bool inherited;
  };
  const Case cases[] = {
      {nullptr, L"dynamic", VT_BOOL, kToInstance | kToSubclass, false},
      {nullptr, L"provider", VT_BSTR, WBEM_FLAVOR_NOT_OVERRIDABLE, false},
      {nullptr, L"Description", VT_BSTR, kToSubclass, false},
      {L"Tag", L"key", VT_BOOL, qz::wbem::kKeyFlavor, true},
      {L"Kind", L"read", VT_BOOL, kToSubclass, false},
      {L"Kind", L"ValueMap", VT_ARRAY | VT_BSTR, kToSubclass, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.qualifier);
    const Qualifier* qualifier = c.property ? FindQualifier(Property(*derived, c.property)->qualifiers, c.qualifier)
                                            : FindQualifier(derived->qualifiers, c.qualifier);
    ASSERT_NE(qualifier, nullptr);
    EXPECT_EQ(qualifier->value.vt, c.vt);
    EXPECT_EQ(qualifier->flavor, c.flavor);
    EXPECT_EQ(qualifier->inherited, c.inherited);
  }
  EXPECT_STREQ(FindQualifier(derived->qualifiers, L"Description")->value.bstrVal, L"one two\" \\ A\n")
      << "adjacent strings join and escapes are read";
  const PropertyDef& kind = *Property(*derived, L"Kind");
  EXPECT_EQ(qztest::BstrArray(FindQualifier(kind.qualifiers, L"ValueMap")->value.parray), (std::vector<std::wstring>{L"1", L"2"}));
  EXPECT_TRUE(Property(*derived, L"Tag")->IsKey());
}

TEST_F(MofCompiler, NamespacePragmasAreAbsoluteOrRelativeToTheCurrentOne) {
  const wchar_t* text =
      L"#pragma classflags(\"forceupdate\", \"updateonly\")\n"
      L"#pragma autorecover\n"
      L"class QZ_InDefault { };\n"
      L"#pragma namespace(\"\\\\\\\\.\\\\root\\\\Other\")\n"
      L"class QZ_InOther { };\n"
      L"#pragma namespace(\"Child\")\n"
      L"class QZ_InChild { };\n"
      L"#pragma namespace(\"ROOT/Third\")\n"
      L"class QZ_InThird { };\n"
      L"#pragma namespace(\"\\\\\\\\SERVER\\\\root\")\n"
      L"instance of __NAMESPACE { Name = \"Made\"; };\n";
  ASSERT_EQ(Compile(text), WBEM_S_NO_ERROR) << result.message;
  EXPECT_EQ(result.classes, (std::vector<std::wstring>{L"root\\Test:QZ_InDefault", L"root\\Other:QZ_InOther",
                                                       L"root\\Other\\Child:QZ_InChild", L"ROOT\\Third:QZ_InThird"}));
  EXPECT_TRUE(repository.FindClass(L"root\\Other\\Child", L"QZ_InChild"));
  EXPECT_TRUE(repository.HasNamespace(L"root\\Made")) << "an instance of __NAMESPACE creates the namespace";
  EXPECT_TRUE(repository.Instances(L"root", L"__NAMESPACE").empty());
}

TEST_F(MofCompiler, InstancesAreStoredWithTheirValuesAndAliasesNameTheirPaths) {
  const wchar_t* text =
      L"class QZ_Target { [key] string Name; uint16 Number; };\n"
      L"class QZ_Link { [key] QZ_Target ref Target; string Extra[]; };\n"
      L"instance of QZ_Target as $T { Name = \"a\\\"b\"; Number = 7; };\n"
      L"instance of QZ_Link { Target = $t; Extra = {\"x\", \"y\"}; };\n"
      L"instance of QZ_Target { Name = \"a\\\"b\"; Number = 8; };\n";
  ASSERT_EQ(Compile(text), WBEM_S_NO_ERROR) << result.message;
  EXPECT_EQ(result.instances,
            (std::vector<std::wstring>{L"root\\Test:QZ_Target.Name=\"a\\\"b\"",
                                       L"root\\Test:QZ_Link.Target=\"QZ_Target.Name=\\\"a\\\\\\\"b\\\"\"",
                                       L"root\\Test:QZ_Target.Name=\"a\\\"b\""}));
  auto targets = repository.Instances(kTestNamespace, L"QZ_Target");
  ASSERT_EQ(targets.size(), 1u) << "an instance with the same keys replaces the earlier one";
  CComVariant number;
  ASSERT_EQ(targets[0]->Get(L"Number", 0, &number, nullptr, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(number.vt, VT_I4);
  EXPECT_EQ(number.lVal, 8);
  auto links = repository.Instances(kTestNamespace, L"QZ_Link");
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(Text(links[0], L"Target"), L"QZ_Target.Name=\"a\\\"b\"");
}

TEST_F(MofCompiler, RefusedTextsGiveTheirCodeAndPosition) {
  struct Case { const wchar_t* text; HRESULT status; const wchar_t* message; };
  const Case cases[] = {
      {L"class A { uint16 a }", WBEM_E_INVALID_SYNTAX, L"t.mof:1:20: expected ';', found '}'"},
      {L"class A {\n  int a;\n};", WBEM_E_INVALID_SYNTAX, L"t.mof:2:3: unknown type 'int'"},
      {L"[Description(\"abc)] class A {};", WBEM_E_INVALID_SYNTAX, L"t.mof:1:14: unterminated string"},
      {L"[Description(\"a\\qb\")] class A {};", WBEM_E_INVALID_SYNTAX, L"t.mof:1:16: unknown escape sequence '\\q'"},
      {L"#pragma include(\"x.mof\")", WBEM_E_INVALID_SYNTAX, L"t.mof:1:9: unknown pragma 'include'"},
      {L"#pragma namespace(\"root\\\\a b\")", WBEM_E_INVALID_SYNTAX, L"t.mof:1:19: malformed namespace name 'root\\a b'"},
      {L"class A { uint64 a = 18446744073709551616; };", WBEM_E_INVALID_SYNTAX, L"t.mof:1:22: the number is too large"},
      {L"[key, Key] class A {};", WBEM_E_INVALID_SYNTAX, L"t.mof:1:7: qualifier 'Key' is given twice"},
      {L"class A { string r = $nobody; };", WBEM_E_INVALID_SYNTAX, L"t.mof:1:22: alias '$nobody' is not defined above"},
      {L"class A {};\nqualifier Key : boolean;", WBEM_E_INVALID_SYNTAX,
       L"t.mof:2:1: expected 'class', 'instance' or '#pragma', found 'qualifier'"},
      {L"class A { [key] string K; };\ninstance of A { K = \"1\"; K = \"2\"; };", WBEM_E_INVALID_SYNTAX,
       L"t.mof:2:26: property 'K' is given twice"},
      {L"class B : A { };", WBEM_E_INVALID_SUPERCLASS, L"t.mof:1:1: superclass 'A' of class 'B' is not defined"},
      {L"instance of Nothing { };", WBEM_E_INVALID_CLASS, L"t.mof:1:1: class 'Nothing' is not defined"},
      {L"class A { [key] string K; };\ninstance of A { K = \"1\"; Other = 1; };", WBEM_E_NOT_FOUND,
       L"t.mof:2:26: class 'A' has no property 'Other'"},
      {L"class A { uint8 a = 256; };", WBEM_E_TYPE_MISMATCH, L"t.mof:1:21: the default of property 'a' does not fit its type uint8"},
      {L"class A { [key] string K; uint32 N; };\ninstance of A { K = \"1\"; N = -1; };", WBEM_E_TYPE_MISMATCH,
       L"t.mof:2:30: the value of 'N' does not fit its type uint32"},
      {L"class A { [key] string K; uint16 N[]; };\ninstance of A { K = \"1\"; N = {1, \"2\"}; };", WBEM_E_TYPE_MISMATCH,
       L"t.mof:2:30: the value of 'N' does not fit its type uint16[]"},
      {L"class A { string a; uint16 a; };", WBEM_E_ALREADY_EXISTS, L"t.mof:1:28: property 'a' is declared twice"},
      {L"class A { [key] string K; };\nclass B : A { [key(false)] string K; };", WBEM_E_OVERRIDE_NOT_ALLOWED,
       L"t.mof:2:16: qualifier 'key' cannot be overridden"},
      {L"class A { [key] string K; };\nclass B : A { uint16 K; };", WBEM_E_INVALID_PROPERTY_TYPE,
       L"t.mof:2:22: property 'K' has another type than the property it overrides"},
      {L"class A { [key] string K; string S; };\ninstance of A { S = \"x\"; };", WBEM_E_ILLEGAL_NULL,
       L"t.mof:2:1: an instance of 'A' needs a value for every key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Repository fresh;
    result.status = S_FALSE;
    EXPECT_EQ(CompileMof(c.text, L"t.mof", kTestNamespace, &result, fresh), c.status);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.message, c.message);
  }
}

TEST_F(MofCompiler, SyntaxErrorsStoreNothingButRefusalsKeepWhatCameBefore) {
  EXPECT_EQ(Compile(L"class QZ_First { };\nclass QZ_Second { uint16 };"), WBEM_E_INVALID_SYNTAX);
  EXPECT_FALSE(repository.FindClass(kTestNamespace, L"QZ_First"));
  EXPECT_FALSE(repository.HasNamespace(kTestNamespace)) << "nothing at all is stored";
  EXPECT_TRUE(result.classes.empty());

  EXPECT_EQ(Compile(L"class QZ_First { };\ninstance of QZ_Nothing { };\nclass QZ_Third { };"), WBEM_E_INVALID_CLASS);
  EXPECT_TRUE(repository.FindClass(kTestNamespace, L"QZ_First"));
  EXPECT_FALSE(repository.FindClass(kTestNamespace, L"QZ_Third"));
  EXPECT_EQ(result.classes, (std::vector<std::wstring>{L"root\\Test:QZ_First"}));
  EXPECT_EQ(std::tuple(result.line, result.column), std::tuple(2u, 1u));

  EXPECT_EQ(Compile(L"", L"root\\bad name"), WBEM_E_INVALID_NAMESPACE);
  EXPECT_EQ(result.message, L"t.mof:1:1: malformed namespace name 'root\\bad name'");
  EXPECT_EQ(CompileMof(L"", L"t.mof", kTestNamespace, nullptr, repository), WBEM_E_INVALID_PARAMETER);
}

TEST_F(MofCompiler, StaticInstancesAreStoredCopiesAndDeleteClassDropsThem) {
  ASSERT_EQ(Compile(L"class QZ_A { [key] uint32 Id; string S; };\nclass QZ_B : QZ_A { };"), WBEM_S_NO_ERROR);
  CComPtr<IWbemClassObject> cls, instance;
  ASSERT_EQ(repository.GetClass(kTestNamespace, L"QZ_B", &cls), WBEM_S_NO_ERROR);
  ASSERT_EQ(cls->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
  EXPECT_EQ(repository.PutStaticInstance(kTestNamespace, instance), WBEM_E_ILLEGAL_NULL);
  CComVariant id(3);
  ASSERT_EQ(instance->Put(L"Id", 0, &id, 0), WBEM_S_NO_ERROR);
  ASSERT_EQ(repository.PutStaticInstance(kTestNamespace, instance), WBEM_S_NO_ERROR);

  // What is stored is a copy, and what is handed out is a copy too.
  CComVariant text(L"changed");
  ASSERT_EQ(instance->Put(L"S", 0, &text, 0), WBEM_S_NO_ERROR);
  auto stored = repository.Instances(kTestNamespace, L"qz_b");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(Text(stored[0], L"S"), L"<not a string>");
  ASSERT_EQ(stored[0]->Put(L"S", 0, &text, 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(Text(repository.Instances(kTestNamespace, L"QZ_B")[0], L"S"), L"<not a string>");
  EXPECT_EQ(Text(stored[0], L"__NAMESPACE"), L"root\\Test");
  EXPECT_TRUE(repository.Instances(kTestNamespace, L"QZ_A").empty()) << "exactly the class, not its subclasses";

  ASSERT_EQ(repository.DeleteClass(kTestNamespace, L"QZ_A"), WBEM_S_NO_ERROR);
  ASSERT_EQ(Compile(L"class QZ_A { [key] uint32 Id; };\nclass QZ_B : QZ_A { };"), WBEM_S_NO_ERROR);
  EXPECT_TRUE(repository.Instances(kTestNamespace, L"QZ_B").empty()) << "instances go with their class";
}

// The module's MOF, compiled as the first use of a system root compiles it: every class that names a
// provider is dynamic, its provider is registered once with a CLSID and serves only Get and
// enumeration, and an association's keys are references.
TEST_F(MofCompiler, ModuleMofBindsEveryProviderClassToOneRegisteredReadOnlyProvider) {
  std::ifstream file(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", std::ios::binary);
  ASSERT_TRUE(file.good());
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(CompileMof(qz::FromUtf8(bytes), L"QZWmiMemory.mof", L"root\\default", &result, repository),
            WBEM_S_NO_ERROR)
      << qz::ToUtf8(result.message);
  constexpr const wchar_t* kVxn = L"root\\VXN";

  std::map<std::wstring, std::wstring> clsids;  // provider name -> CLSID
  for (auto& provider : repository.Instances(kVxn, L"__Win32Provider")) {
    EXPECT_EQ(Text(provider, L"HostingModel"), L"NetworkServiceHost");
    CLSID clsid;
    EXPECT_EQ(CLSIDFromString(Text(provider, L"CLSID").c_str(), &clsid), S_OK) << qz::ToUtf8(Text(provider, L"Name"));
    clsids[Text(provider, L"Name")] = Text(provider, L"CLSID");
  }
  std::set<std::wstring> bound;
  for (auto& registration : repository.Instances(kVxn, L"__InstanceProviderRegistration")) {
    const std::wstring path = Text(registration, L"Provider");
    for (const auto& [flag, expected] : {std::pair{L"SupportsGet", true}, std::pair{L"SupportsEnumeration", true},
                                         std::pair{L"SupportsPut", false}, std::pair{L"SupportsDelete", false}}) {
      CComVariant value;
      ASSERT_EQ(registration->Get(flag, 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
      EXPECT_EQ(value.vt, VT_BOOL);
      EXPECT_EQ(value.boolVal != VARIANT_FALSE, expected) << qz::ToUtf8(path) << " " << qz::ToUtf8(flag);
    }
    bound.insert(path);
  }

  std::set<std::wstring> used;
  for (const auto& cls : repository.Classes(kVxn)) {
    const Qualifier* provider = FindQualifier(cls->qualifiers, L"provider");
    if (!provider || provider->inherited) continue;
    SCOPED_TRACE(qz::ToUtf8(cls->name));
    const std::wstring name = provider->value.bstrVal;
    EXPECT_EQ(clsids.count(name), 1u);
    EXPECT_EQ(bound.count(L"__Win32Provider.Name=\"" + name + L"\""), 1u);
    EXPECT_TRUE(used.insert(name).second) << "one provider per class";
    const Qualifier* dynamic = FindQualifier(cls->qualifiers, L"dynamic");
    ASSERT_NE(dynamic, nullptr);
    EXPECT_TRUE(dynamic->flavor & WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE);
    EXPECT_EQ(FindQualifier(cls->qualifiers, L"abstract"), nullptr);
    if (FindQualifier(cls->qualifiers, L"Association")) {
      for (const PropertyDef& property : cls->properties) {
        if (property.IsKey()) {
          EXPECT_EQ(property.type, CIM_REFERENCE) << qz::ToUtf8(property.name);
        }
      }
    }
  }
  EXPECT_EQ(std::tuple(used.size(), clsids.size(), bound.size()), std::tuple(22u, 22u, 22u));
}

QZ_CHILD_MAIN(ExpectKeptClass) {
  const bool kept = Repository::Instance().FindClass(L"root\\VXN", L"QZ_Kept") != nullptr;
  return kept == (args.at(0) == "yes") ? 0 : 1;
}

TEST(KeptMof, AFileThatFailsIsNotKeptAndSaysWhere) {
  const std::string path = qz::SystemRoot() + "/broken.mof";
  std::ofstream(path, std::ios::binary) << "class QZ_Kept\n{\n  [key] string Tag\n};\n";
  char error[256] = {};
  EXPECT_NE(QzCompileMofFile(path.c_str(), TRUE, error, sizeof error), WBEM_S_NO_ERROR);
  EXPECT_EQ(std::string(error).rfind("broken.mof:4:", 0), 0u) << error;
  EXPECT_EQ(qztest::ChildProcess::Start("ExpectKeptClass", {"no"}).Wait(), 0);
  EXPECT_EQ(QzCompileMofFile((qz::SystemRoot() + "/missing.mof").c_str(), TRUE, error, sizeof error), WBEM_E_NOT_FOUND);
  EXPECT_NE(std::string(error).find("missing.mof: cannot be read"), std::string::npos) << error;
}

}  // namespace
