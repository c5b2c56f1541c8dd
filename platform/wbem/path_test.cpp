// The object-path parser as the providers use it: the grammar, the key values it yields and the
// text it writes back.
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
      {LR"(root\VXN:qz_memoryboard.tag="x")", L"qz_memoryboard", kInst, nullptr, L"root\\VXN",
       {{L"tag", VT_BSTR, L"x", 0, CIM_STRING}}},
      {kModuleInSlotPath, L"QZ_MemoryModuleInSlot", kCompound, nullptr, L"",
       {{L"Antecedent", VT_BSTR, kSlotReference, 0, CIM_STRING},
        {L"Dependent", VT_BSTR,
         LR"(\\HOST\root\VXN:QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:0-1")", 0,
         CIM_STRING}}},
      {L"QZ_MemoryModule", L"QZ_MemoryModule", WBEMPATH_INFO_IS_CLASS_REF | kSyntax, nullptr, L"", {}},
      {LR"(C.Q='it\'s "x" \\ y',W="C:\Windows",E="")", L"C", kCompound, nullptr, L"",
       {{L"Q", VT_BSTR, LR"(it's "x" \ y)", 0, CIM_STRING},
        {L"W", VT_BSTR, LR"(C:\Windows)", 0, CIM_STRING},
        {L"E", VT_BSTR, L"", 0, CIM_STRING}}},
      {LR"(\\HOST\root\VXN)", nullptr, WBEMPATH_INFO_SERVER_NAMESPACE_ONLY | kNamedServer | kSyntax, L"HOST",
       L"root\\VXN", {}},
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
      LR"(QZ_MemoryModule.Tag="VXN)",  LR"(QZ_MemoryModule.Tag=)",      LR"(QZ_MemoryModule.Tag)",
      LR"(QZ_MemoryModule.Tag="a" x)", LR"(QZ_MemoryModule.Tag="a",)",  LR"(.Tag="a")",
      LR"(root\VXN:)",                 LR"(\\HOST)",                    LR"(QZ-Memory.Tag="a")",
      LR"(C.K=abc)",                   LR"(C.K="abc\")",                 LR"(C..K=1)",
  };
  PathPtr path = Parsed(L"QZ_MemoryBoard.Tag=\"kept\"");
  for (const WCHAR* text : cases) {
    EXPECT_EQ(path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, text), WBEM_E_INVALID_PARAMETER) << text;
    EXPECT_EQ(Text(path.get(), 0), L"QZ_MemoryBoard.Tag=\"kept\"") << text;
  }
  EXPECT_EQ(path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST(WbemPathKeyList, GetKey2RefusesBadIndexesAndSmallBuffers) {
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
}

// The platform's COM finds the path factory without any registry entry.
TEST(WbemDefPathFactory, IsFoundWithoutRegistration) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_WbemDefPath, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  void* object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IWbemPath, &object), S_OK);
  static_cast<IWbemPath*>(object)->Release();
  factory->Release();
}

}  // namespace
