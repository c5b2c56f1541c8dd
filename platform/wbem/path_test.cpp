// The object-path parser: the grammar, the key values it yields, the text it writes back, the
// buffer-size protocol and the editing of paths and key lists.
#include "wbem/path.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr ULONGLONG kSyntax =
    WBEMPATH_INFO_V1_COMPLIANT | WBEMPATH_INFO_V2_COMPLIANT | WBEMPATH_INFO_CIM_COMPLIANT | WBEMPATH_INFO_WMI_PATH;
constexpr ULONGLONG kInst = WBEMPATH_INFO_IS_INST_REF | kSyntax;
constexpr ULONGLONG kCompound = kInst | WBEMPATH_INFO_IS_COMPOUND;
constexpr ULONGLONG kNamedServer = WBEMPATH_INFO_HAS_MACHINE_NAME | WBEMPATH_INFO_PATH_HAD_SERVER;

// The reference that the module-in-slot association's Antecedent holds, as written in a path and as text.
const WCHAR* kSlotReference =
    LR"(\\HOST\root\VXN:QZ_MemoryModuleSlot.CreationClassName="QZ_MemoryModuleSlot",Tag="VXN:QZ_MemoryModuleSlot:0-1")";
const WCHAR* kModuleInSlotPath =
    LR"(QZ_MemoryModuleInSlot.)"
    LR"(Antecedent="\\\\HOST\\root\\VXN:QZ_MemoryModuleSlot.CreationClassName=\"QZ_MemoryModuleSlot\",)"
    LR"(Tag=\"VXN:QZ_MemoryModuleSlot:0-1\"",)"
    LR"(Dependent="\\\\HOST\\root\\VXN:QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",)"
    LR"(Tag=\"VXN:QZ_MemoryModule:0-1\"")";

struct PathDeleter {
  void operator()(IUnknown* p) const { p->Release(); }
};
using PathPtr = std::unique_ptr<IWbemPath, PathDeleter>;
using KeyListPtr = std::unique_ptr<IWbemPathKeyList, PathDeleter>;

PathPtr NewPath() {
  IWbemPath* path = nullptr;
  EXPECT_EQ(qz::CreateWbemPath(IID_IWbemPath, reinterpret_cast<void**>(&path)), S_OK);
  return PathPtr(path);
}

PathPtr Parsed(const WCHAR* text, ULONG mode = WBEMPATH_CREATE_ACCEPT_ALL) {
  PathPtr path = NewPath();
  EXPECT_EQ(path->SetText(mode, text), WBEM_S_NO_ERROR) << text;
  return path;
}

KeyListPtr Keys(IWbemPath* path) {
  IWbemPathKeyList* keys = nullptr;
  EXPECT_EQ(path->GetKeyList(&keys), WBEM_S_NO_ERROR);
  return KeyListPtr(keys);
}

// Reads text through the buffer-size protocol: ask for the size, then fetch.
std::wstring Fetch(const std::function<HRESULT(ULONG*, LPWSTR)>& get) {
  ULONG size = 0;
  if (get(&size, nullptr) != S_OK || size == 0) return L"<failed>";
  std::wstring text(size, L'#');
  if (get(&size, text.data()) != S_OK) return L"<failed>";
  text.resize(size - 1);
  return text;
}

std::wstring Text(IWbemPath* path, LONG flags) {
  return Fetch([&](ULONG* size, LPWSTR buffer) { return path->GetText(flags, size, buffer); });
}

ULONGLONG Info(IWbemPath* path) {
  ULONGLONG info = 0xDEAD;
  EXPECT_EQ(path->GetInfo(0, &info), WBEM_S_NO_ERROR);
  return info;
}

struct ExpectedKey {
  const WCHAR* name;
  VARTYPE vt;
  const WCHAR* text;  // VT_BSTR
  LONGLONG number;    // VT_I4, VT_I8, VT_BOOL
  ULONG cimType;
};

struct PathCase {
  const WCHAR* text;
  const WCHAR* className;  // null: no class
  ULONGLONG info;
  const WCHAR* server;     // null: none
  const WCHAR* nameSpace;  // joined with backslashes
  std::vector<ExpectedKey> keys;
};

TEST(WbemPathGrammar, PathsYieldClassInfoAndTypedKeys) {
  const PathCase cases[] = {
      {LR"(QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:0-3")", L"QZ_MemoryModule",
       kCompound, nullptr, L"",
       {{L"CreationClassName", VT_BSTR, L"QZ_MemoryModule", 0, CIM_STRING},
        {L"Tag", VT_BSTR, L"VXN:QZ_MemoryModule:0-3", 0, CIM_STRING}}},
      {LR"(\\HOST\root\VXN:QZ_MemoryBoard.Tag="VXN:QZ_MemoryBoard:1")", L"QZ_MemoryBoard", kInst | kNamedServer,
       L"HOST", L"root\\VXN", {{L"Tag", VT_BSTR, L"VXN:QZ_MemoryBoard:1", 0, CIM_STRING}}},
      {LR"(//./root/VXN:QZ_MemoryCollection.InstanceID="VXN:QZ_MemoryCollection:001")", L"QZ_MemoryCollection",
       kInst | WBEMPATH_INFO_ANON_LOCAL_MACHINE | WBEMPATH_INFO_PATH_HAD_SERVER, L".", L"root\\VXN",
       {{L"InstanceID", VT_BSTR, L"VXN:QZ_MemoryCollection:001", 0, CIM_STRING}}},
      {LR"(root\VXN:qz_memoryboard.tag="x")", L"qz_memoryboard", kInst, nullptr, L"root\\VXN",
       {{L"tag", VT_BSTR, L"x", 0, CIM_STRING}}},
      {kModuleInSlotPath, L"QZ_MemoryModuleInSlot", kCompound, nullptr, L"",
       {{L"Antecedent", VT_BSTR, kSlotReference, 0, CIM_STRING},
        {L"Dependent", VT_BSTR,
         LR"(\\HOST\root\VXN:QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:0-1")", 0,
         CIM_STRING}}},
      {L"QZ_Settings=@", L"QZ_Settings",
       kInst | WBEMPATH_INFO_IS_SINGLETON | WBEMPATH_INFO_CONTAINS_SINGLETON, nullptr, L"", {}},
      {LR"(QZ_Thing="abc")", L"QZ_Thing", kInst | WBEMPATH_INFO_HAS_IMPLIED_KEY, nullptr, L"",
       {{L"", VT_BSTR, L"abc", 0, CIM_STRING}}},
      {L"QZ_Thing = -42", L"QZ_Thing", kInst | WBEMPATH_INFO_HAS_IMPLIED_KEY, nullptr, L"",
       {{L"", VT_I4, nullptr, -42, CIM_SINT32}}},
      {L"QZ_MemoryModule", L"QZ_MemoryModule", WBEMPATH_INFO_IS_CLASS_REF | kSyntax, nullptr, L"", {}},
      {L"C.A=5,B=0x1F,C=2147483647,D=2147483648,E=-2147483648,F=-2147483649,G=18446744073709551615,H=TRUE,I=false",
       L"C", kCompound, nullptr, L"",
       {{L"A", VT_I4, nullptr, 5, CIM_SINT32},
        {L"B", VT_I4, nullptr, 31, CIM_SINT32},
        {L"C", VT_I4, nullptr, 2147483647, CIM_SINT32},
        {L"D", VT_I8, nullptr, 2147483648LL, CIM_SINT64},
        {L"E", VT_I4, nullptr, -2147483648LL, CIM_SINT32},
        {L"F", VT_I8, nullptr, -2147483649LL, CIM_SINT64},
        {L"G", VT_BSTR, L"18446744073709551615", 0, CIM_UINT64},
        {L"H", VT_BOOL, nullptr, VARIANT_TRUE, CIM_BOOLEAN},
        {L"I", VT_BOOL, nullptr, VARIANT_FALSE, CIM_BOOLEAN}}},
      {L" \t QZ_MemoryBoard . Tag = \"x\" , CreationClassName = 'QZ_MemoryBoard' \r\n", L"QZ_MemoryBoard", kCompound,
       nullptr, L"",
       {{L"Tag", VT_BSTR, L"x", 0, CIM_STRING}, {L"CreationClassName", VT_BSTR, L"QZ_MemoryBoard", 0, CIM_STRING}}},
      {LR"(C.Q='it\'s "x" \\ y',W="C:\Windows",E="")", L"C", kCompound, nullptr, L"",
       {{L"Q", VT_BSTR, LR"(it's "x" \ y)", 0, CIM_STRING},
        {L"W", VT_BSTR, LR"(C:\Windows)", 0, CIM_STRING},
        {L"E", VT_BSTR, L"", 0, CIM_STRING}}},
      {L"C.A=\"1\",a=\"2\"", L"C", kCompound, nullptr, L"",
       {{L"A", VT_BSTR, L"1", 0, CIM_STRING}, {L"a", VT_BSTR, L"2", 0, CIM_STRING}}},
      {L"\u041a\u043b\u0430\u0441\u0441_1.\u041a\u043b\u044e\u0447=\"\u0437\"", L"\u041a\u043b\u0430\u0441\u0441_1",
       kInst, nullptr, L"", {{L"\u041a\u043b\u044e\u0447", VT_BSTR, L"\u0437", 0, CIM_STRING}}},
      {LR"(\\HOST\root\VXN)", nullptr, WBEMPATH_INFO_SERVER_NAMESPACE_ONLY | kNamedServer | kSyntax, L"HOST",
       L"root\\VXN", {}},
      {LR"(root/VXN)", nullptr, WBEMPATH_INFO_SERVER_NAMESPACE_ONLY | kSyntax, nullptr, L"root\\VXN", {}},
      {L"", nullptr, 0, nullptr, L"", {}},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "path: " << c.text);
    PathPtr path = Parsed(c.text);
    EXPECT_EQ(Info(path.get()), c.info) << c.text;

    WCHAR name[128];
    ULONG size = 128;
    if (c.className) {
      EXPECT_EQ(path->GetClassName(&size, name), S_OK);
      EXPECT_STREQ(name, c.className);
    } else {
      EXPECT_EQ(path->GetClassName(&size, name), WBEM_E_INVALID_OBJECT_PATH);
    }
    size = 128;
    EXPECT_EQ(path->GetServer(&size, name), c.server ? S_OK : WBEM_E_NOT_AVAILABLE);
    if (c.server) {
      EXPECT_STREQ(name, c.server);
    }
    EXPECT_EQ(Text(path.get(), WBEMPATH_GET_NAMESPACE_ONLY), c.nameSpace);

    if (!c.className) continue;
    KeyListPtr keys = Keys(path.get());
    ULONG count = 99;
    ASSERT_EQ(keys->GetCount(&count), S_OK);
    ASSERT_EQ(count, c.keys.size()) << c.text;
    for (ULONG i = 0; i < count; ++i) {
      const ExpectedKey& want = c.keys[i];
      VARIANT value;
      VariantInit(&value);
      ULONG cimType = 0xFFFF;
      size = 128;
      ASSERT_EQ(keys->GetKey2(i, 0, &size, name, &value, &cimType), S_OK);
      EXPECT_STREQ(name, want.name);
      EXPECT_EQ(size, wcslen(want.name) + 1);
      EXPECT_EQ(value.vt, want.vt) << want.name;
      EXPECT_EQ(cimType, want.cimType) << want.name;
      if (want.vt == VT_BSTR) {
        EXPECT_STREQ(value.bstrVal, want.text);
      } else if (want.vt == VT_I8) {
        EXPECT_EQ(value.llVal, want.number);
      } else {
        EXPECT_EQ(want.vt == VT_BOOL ? value.boolVal : value.lVal, want.number);
      }
      VariantClear(&value);
    }

    // What the path writes back parses to the same path.
    std::wstring full = Text(path.get(), WBEMPATH_GET_SERVER_TOO);
    PathPtr again = Parsed(full.c_str());
    EXPECT_EQ(Text(again.get(), WBEMPATH_GET_SERVER_TOO), full);
    EXPECT_EQ(Info(again.get()), c.info);
  }
}

TEST(WbemPathGrammar, MalformedTextIsRefusedAndLeavesThePathAsItWas) {
  const WCHAR* cases[] = {
      LR"(QZ_MemoryModule.Tag="VXN)",   LR"(QZ_MemoryModule.Tag=)",       LR"(QZ_MemoryModule.Tag)",
      LR"(QZ_MemoryModule.Tag="a" x)",  LR"(QZ_MemoryModule.Tag="a",)",   LR"(.Tag="a")",
      LR"(root\VXN:)",                  LR"(\\HOST\root\VXN:)",           LR"(\\HOST)",
      LR"(\\\root:C)",                  LR"(QZ-Memory.Tag="a")",          LR"(1Class)",
      LR"(C.1Key=5)",                   LR"(C.K=abc)",                    LR"(C.K=12abc)",
      LR"(C.K=0x)",                     LR"(C.K=-)",                      LR"(C.K=18446744073709551616)",
      LR"(C.K=1.5)",                    LR"(C.K="a"="b")",                LR"(C=@,K=1)",
      LR"(C.K=@)",                      LR"(C.="x")",                     LR"(root\\VXN:C)",
      LR"(root\VXN\)",                  LR"(C.K='abc)",                   LR"(C.K="abc\")",
      LR"(C.K="a"b")",                  LR"(C..K=1)",                     LR"(C.K=1,,L=2)",
      LR"(\\HO"ST\root:C)",             LR"(root :C)",
  };
  PathPtr path = Parsed(L"QZ_MemoryBoard.Tag=\"kept\"");
  for (const WCHAR* text : cases) {
    EXPECT_EQ(path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, text), WBEM_E_INVALID_PARAMETER) << text;
    EXPECT_EQ(Text(path.get(), 0), L"QZ_MemoryBoard.Tag=\"kept\"") << text;
  }
  EXPECT_EQ(path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST(WbemPathGrammar, CreateModesDecideWhatIsAccepted) {
  const struct {
    ULONG mode;
    const WCHAR* text;
    HRESULT result;
    ULONG namespaces;
  } cases[] = {
      {WBEMPATH_CREATE_ACCEPT_RELATIVE, LR"(\\HOST\root:C)", WBEM_E_INVALID_PARAMETER, 0},
      {WBEMPATH_CREATE_ACCEPT_RELATIVE, LR"(root:C)", S_OK, 1},
      {WBEMPATH_CREATE_ACCEPT_ABSOLUTE, LR"(C.K=1)", WBEM_E_INVALID_PARAMETER, 0},
      {WBEMPATH_CREATE_ACCEPT_ABSOLUTE, LR"(\\.\root:C)", S_OK, 1},
      {WBEMPATH_CREATE_ACCEPT_RELATIVE | WBEMPATH_CREATE_ACCEPT_ABSOLUTE, LR"(\\.\root:C)", S_OK, 1},
      {WBEMPATH_CREATE_ACCEPT_ALL, LR"(\\.\root\a\b:C)", S_OK, 3},
      {0, LR"(\\.\root:C)", S_OK, 1},
      {0x100, L"C", WBEM_E_INVALID_PARAMETER, 0},
      {WBEMPATH_CREATE_ACCEPT_ALL, L"root", S_OK, 0},  // a single name is a class
      {WBEMPATH_CREATE_ACCEPT_ALL | WBEMPATH_TREAT_SINGLE_IDENT_AS_NS, L"root", S_OK, 1},
  };
  for (const auto& c : cases) {
    PathPtr path = NewPath();
    EXPECT_EQ(path->SetText(c.mode, c.text), c.result) << c.mode << " " << c.text;
    ULONG count = 99;
    EXPECT_EQ(path->GetNamespaceCount(&count), S_OK);
    EXPECT_EQ(count, c.namespaces) << c.mode << " " << c.text;
  }
}

TEST(WbemPathText, FlagsSelectThePartsOfThePath) {
  PathPtr path = Parsed(LR"(//HOST/root/VXN:QZ_Class.K = "a\"b" , N=0x5,B=true)");
  const struct {
    LONG flags;
    HRESULT result;
    const WCHAR* text;
  } cases[] = {
      {0, S_OK, LR"(root\VXN:QZ_Class.K="a\"b",N=5,B=TRUE)"},
      {WBEMPATH_COMPRESSED, S_OK, LR"(root\VXN:QZ_Class.K="a\"b",N=5,B=TRUE)"},
      {WBEMPATH_GET_RELATIVE_ONLY, S_OK, LR"(QZ_Class.K="a\"b",N=5,B=TRUE)"},
      {WBEMPATH_GET_SERVER_TOO, S_OK, LR"(\\HOST\root\VXN:QZ_Class.K="a\"b",N=5,B=TRUE)"},
      {WBEMPATH_GET_SERVER_AND_NAMESPACE_ONLY, S_OK, LR"(\\HOST\root\VXN)"},
      {WBEMPATH_GET_NAMESPACE_ONLY, S_OK, LR"(root\VXN)"},
      {WBEMPATH_GET_ORIGINAL, S_OK, LR"(//HOST/root/VXN:QZ_Class.K = "a\"b" , N=0x5,B=true)"},
      {WBEMPATH_GET_RELATIVE_ONLY | WBEMPATH_GET_SERVER_TOO, WBEM_E_INVALID_PARAMETER, nullptr},
      {0x40, WBEM_E_INVALID_PARAMETER, nullptr},
  };
  for (const auto& c : cases) {
    ULONG size = 0;
    EXPECT_EQ(path->GetText(c.flags, &size, nullptr), c.result) << c.flags;
    if (c.text) {
      EXPECT_EQ(Text(path.get(), c.flags), c.text) << c.flags;
    }
  }
}

// Every text getter follows one protocol: the size includes the terminator and always comes back.
TEST(WbemPathText, BufferSizeProtocol) {
  PathPtr path = Parsed(LR"(\\HOST\root\VXN:QZ_MemoryBoard.Tag="VXN:QZ_MemoryBoard:1")");
  KeyListPtr keys = Keys(path.get());
  const struct {
    const char* what;
    std::function<HRESULT(ULONG*, LPWSTR)> get;
    std::wstring text;
    HRESULT withoutSize;  // neither size nor buffer
  } getters[] = {
      {"GetText", [&](ULONG* s, LPWSTR b) { return path->GetText(WBEMPATH_GET_RELATIVE_ONLY, s, b); },
       LR"(QZ_MemoryBoard.Tag="VXN:QZ_MemoryBoard:1")", WBEM_E_INVALID_PARAMETER},
      {"GetClassName", [&](ULONG* s, LPWSTR b) { return path->GetClassName(s, b); }, L"QZ_MemoryBoard",
       WBEM_E_INVALID_PARAMETER},
      {"GetServer", [&](ULONG* s, LPWSTR b) { return path->GetServer(s, b); }, L"HOST", WBEM_E_INVALID_PARAMETER},
      {"GetNamespaceAt", [&](ULONG* s, LPWSTR b) { return path->GetNamespaceAt(1, s, b); }, L"VXN",
       WBEM_E_INVALID_PARAMETER},
      {"KeyList::GetText", [&](ULONG* s, LPWSTR b) { return keys->GetText(0, s, b); }, L"Tag=\"VXN:QZ_MemoryBoard:1\"",
       WBEM_E_INVALID_PARAMETER},
      // The key's name is optional: without size and buffer only the value is asked for.
      {"GetKey2", [&](ULONG* s, LPWSTR b) { return keys->GetKey2(0, 0, s, b, nullptr, nullptr); }, L"Tag", S_OK},
  };
  for (const auto& g : getters) {
    SCOPED_TRACE(g.what);
    ULONG needed = static_cast<ULONG>(g.text.size() + 1);
    EXPECT_EQ(g.get(nullptr, nullptr), g.withoutSize);
    ULONG size = 0;
    EXPECT_EQ(g.get(&size, nullptr), S_OK);
    EXPECT_EQ(size, needed);
    std::wstring buffer(needed + 4, L'#');
    size = needed - 1;
    EXPECT_EQ(g.get(&size, buffer.data()), WBEM_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer, std::wstring(needed + 4, L'#'));
    size = needed + 4;
    EXPECT_EQ(g.get(&size, buffer.data()), S_OK);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer.c_str(), g.text);
    EXPECT_EQ(buffer[needed], L'#');
  }
}

TEST(WbemPathKeyList, EditingKeysRewritesThePath) {
  PathPtr path = Parsed(L"root\\VXN:QZ_MemoryModule");
  KeyListPtr keys = Keys(path.get());
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(L"QZ_MemoryModule");
  EXPECT_EQ(keys->SetKey2(L"CreationClassName", 0, CIM_STRING, &v), S_OK);
  VariantClear(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(kSlotReference);
  EXPECT_EQ(keys->SetKey2(L"Tag", 0, CIM_REFERENCE, &v), S_OK);
  VariantClear(&v);
  EXPECT_EQ(Info(path.get()), kCompound);

  // The reference comes back escaped, and reads back exactly.
  std::wstring text = Text(path.get(), WBEMPATH_GET_RELATIVE_ONLY);
  PathPtr reparsed = Parsed(text.c_str());
  KeyListPtr reparsedKeys = Keys(reparsed.get());
  VariantInit(&v);
  ULONG cimType = 0;
  EXPECT_EQ(reparsedKeys->GetKey2(1, 0, nullptr, nullptr, &v, &cimType), S_OK);
  EXPECT_STREQ(v.bstrVal, kSlotReference);
  EXPECT_EQ(cimType, ULONG{CIM_STRING});
  VariantClear(&v);
  EXPECT_EQ(keys->GetKey2(1, 0, nullptr, nullptr, nullptr, &cimType), S_OK);
  EXPECT_EQ(cimType, ULONG{CIM_REFERENCE});  // the type it was given

  // Same name in another case replaces; an unsigned 32-bit key stays unsigned.
  v.vt = VT_I4;
  v.lVal = -1;
  EXPECT_EQ(keys->SetKey2(L"TAG", 0, CIM_UINT32, &v), S_OK);
  EXPECT_EQ(Text(path.get(), WBEMPATH_GET_RELATIVE_ONLY),
            L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=4294967295");

  const struct {
    std::function<HRESULT()> edit;
    HRESULT result;
    const WCHAR* text;
    ULONGLONG info;
  } steps[] = {
      {[&] { return keys->RemoveKey(L"creationclassname", 0); }, S_OK, L"QZ_MemoryModule.Tag=4294967295", kInst},
      {[&] { return keys->RemoveKey(L"Absent", 0); }, S_OK, L"QZ_MemoryModule.Tag=4294967295", kInst},
      {[&] { VARIANT s{}; s.vt = VT_BSTR; s.bstrVal = nullptr; return keys->SetKey2(L"", 0, 0, &s); },
       WBEM_E_INVALID_PARAMETER, L"QZ_MemoryModule.Tag=4294967295", kInst},
      {[&] { VARIANT d{}; d.vt = VT_R8; return keys->SetKey2(L"D", 0, 0, &d); }, WBEM_E_INVALID_PARAMETER,
       L"QZ_MemoryModule.Tag=4294967295", kInst},
      {[&] { return keys->MakeSingleton(TRUE); }, S_OK, L"QZ_MemoryModule=@",
       kInst | WBEMPATH_INFO_IS_SINGLETON | WBEMPATH_INFO_CONTAINS_SINGLETON},
      {[&] { VARIANT b{}; b.vt = VT_BOOL; b.boolVal = VARIANT_TRUE; return keys->SetKey2(L"On", 0, 0, &b); }, S_OK,
       L"QZ_MemoryModule.On=TRUE", kInst},
      {[&] { return keys->RemoveAllKeys(0); }, S_OK, L"QZ_MemoryModule", WBEMPATH_INFO_IS_CLASS_REF | kSyntax},
      {[&] { VARIANT s{}; s.vt = VT_BSTR; s.bstrVal = nullptr; return keys->SetKey2(L"", 0, 0, &s); }, S_OK,
       L"QZ_MemoryModule=\"\"", kInst | WBEMPATH_INFO_HAS_IMPLIED_KEY},
      {[&] { return path->SetClassName(L"QZ_Other"); }, S_OK, L"QZ_Other=\"\"", kInst | WBEMPATH_INFO_HAS_IMPLIED_KEY},
      {[&] { return path->SetClassName(L"Bad Name"); }, WBEM_E_INVALID_PARAMETER, L"QZ_Other=\"\"",
       kInst | WBEMPATH_INFO_HAS_IMPLIED_KEY},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(s.edit(), s.result) << s.text;
    EXPECT_EQ(Text(path.get(), WBEMPATH_GET_RELATIVE_ONLY), s.text);
    EXPECT_EQ(Info(path.get()), s.info) << s.text;
  }
}

TEST(WbemPathKeyList, GetKeyAndGetKey2RefuseBadIndexesAndSmallBuffers) {
  PathPtr path = Parsed(L"C.Name=\"abc\",Size=7");
  KeyListPtr keys = Keys(path.get());
  VARIANT v;
  VariantInit(&v);
  WCHAR name[8];
  ULONG size = 4;
  EXPECT_EQ(keys->GetKey2(2, 0, &size, name, &v, nullptr), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(keys->GetKey2(0, 0, &size, name, &v, nullptr), WBEM_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(v.vt, VT_EMPTY);  // the value is not given when the name does not fit
  size = 5;
  EXPECT_EQ(keys->GetKey2(0, WBEMPATH_QUOTEDTEXT, &size, name, &v, nullptr), S_OK);
  EXPECT_STREQ(v.bstrVal, L"\"abc\"");
  VariantClear(&v);

  // GetKey: the value in bytes, typed or as text.
  LONG number = 0;
  ULONG nameSize = 8, valueSize = sizeof(number), cimType = 0;
  EXPECT_EQ(keys->GetKey(1, 0, &nameSize, name, &valueSize, &number, &cimType), S_OK);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(valueSize, sizeof(LONG));
  EXPECT_EQ(cimType, ULONG{CIM_SINT32});
  WCHAR text[4];
  valueSize = sizeof(text) - 1;
  EXPECT_EQ(keys->GetKey(0, WBEMPATH_TEXT, &nameSize, name, &valueSize, text, nullptr), WBEM_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(valueSize, 4 * sizeof(WCHAR));
  EXPECT_EQ(keys->GetKey(0, WBEMPATH_TEXT, &nameSize, name, &valueSize, text, nullptr), S_OK);
  EXPECT_STREQ(text, L"abc");
}

TEST(WbemPathEdit, ServerNamespacesAndLocality) {
  PathPtr path = Parsed(L"QZ_MemoryBoard.Tag=\"t\"");
  EXPECT_EQ(path->SetNamespaceAt(0, L"VXN"), S_OK);
  EXPECT_EQ(path->SetNamespaceAt(0, L"root"), S_OK);  // inserts before
  EXPECT_EQ(path->SetNamespaceAt(3, L"late"), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(path->SetNamespaceAt(2, L"a\\b"), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(path->SetServer(L"Box"), S_OK);
  EXPECT_EQ(path->SetServer(L"a\\b"), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(Text(path.get(), WBEMPATH_GET_SERVER_TOO), L"\\\\Box\\root\\VXN:QZ_MemoryBoard.Tag=\"t\"");
  EXPECT_EQ(Info(path.get()), kInst | WBEMPATH_INFO_HAS_MACHINE_NAME);  // the text had no server
  ULONG size = 8;
  WCHAR name[8];
  EXPECT_EQ(path->GetNamespaceAt(2, &size, name), WBEM_E_INVALID_PARAMETER);

  WCHAR box[] = L"BOX", other[] = L"Other", ns[] = L"ROOT/vxn", parent[] = L"root";
  EXPECT_TRUE(path->IsLocal(box));
  EXPECT_FALSE(path->IsLocal(other));
  EXPECT_FALSE(path->IsLocal(nullptr));
  EXPECT_TRUE(path->IsRelative(box, ns));
  EXPECT_FALSE(path->IsRelative(box, parent));
  EXPECT_TRUE(path->IsRelativeOrChild(box, parent, 0));
  EXPECT_FALSE(path->IsRelativeOrChild(other, parent, 0));
  EXPECT_TRUE(path->IsSameClassName(L"qz_memoryboard"));
  EXPECT_FALSE(path->IsSameClassName(L"QZ_MemoryBoardSlot"));
  EXPECT_FALSE(path->IsSameClassName(nullptr));

  EXPECT_EQ(path->SetServer(nullptr), S_OK);
  EXPECT_TRUE(path->IsLocal(other));
  EXPECT_EQ(path->RemoveNamespaceAt(0), S_OK);
  EXPECT_EQ(Text(path.get(), 0), L"VXN:QZ_MemoryBoard.Tag=\"t\"");
  EXPECT_EQ(path->DeleteClassPart(0), S_OK);
  EXPECT_EQ(Info(path.get()), WBEMPATH_INFO_SERVER_NAMESPACE_ONLY | kSyntax);
  IWbemPathKeyList* keys = reinterpret_cast<IWbemPathKeyList*>(0x1);
  EXPECT_EQ(path->GetKeyList(&keys), WBEM_E_NOT_AVAILABLE);
  EXPECT_EQ(keys, nullptr);
}

TEST(WbemDefPathFactory, CreatesPathsAndRefusesAggregation) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(qz::WbemDefPathGetClassObject(IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IWbemPath, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IWbemPathKeyList, &object), E_NOINTERFACE);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IWbemPath, &object), S_OK);
  ASSERT_NE(object, nullptr);
  static_cast<IWbemPath*>(object)->Release();
  factory->Release();

  // The platform's COM finds it without any registry entry.
  IClassFactory* registered = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_WbemDefPath, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&registered)),
            S_OK);
  EXPECT_EQ(registered, factory);
  registered->Release();
}

}  // namespace
