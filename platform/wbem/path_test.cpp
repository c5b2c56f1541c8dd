// The object-path parser: the class and the key values it yields, and the text it refuses (full
// instance paths with server, namespace and escaped references are parsed by every get of the golden
// outputs); and the instance-provider helper's checks of an instance path, with the code that each
// refusal gives (its __ExtendedStatus fetch is run by the provider framework's initialisation tests).
#include "wbem/path.h"

#include <atlbase.h>
#include <gtest/gtest.h>
#include <instprovhelper.h>
#include <objbase.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct PathDeleter {
  void operator()(IUnknown* p) const { p->Release(); }
};
using PathPtr = std::unique_ptr<IWbemPath, PathDeleter>;
using KeyListPtr = std::unique_ptr<IWbemPathKeyList, PathDeleter>;

PathPtr Parsed(const WCHAR* text) {
  IWbemPath* path = nullptr;
  EXPECT_EQ(qz::CreateWbemPath(IID_IWbemPath, reinterpret_cast<void**>(&path)), S_OK);
  EXPECT_EQ(path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, text), WBEM_S_NO_ERROR) << text;
  return PathPtr(path);
}

KeyListPtr Keys(IWbemPath* path) {
  IWbemPathKeyList* keys = nullptr;
  EXPECT_EQ(path->GetKeyList(&keys), WBEM_S_NO_ERROR);
  return KeyListPtr(keys);
}

std::wstring ClassName(IWbemPath* path) {
  WCHAR name[128];
  ULONG size = 128;
  return path->GetClassName(&size, name) == S_OK ? name : L"<none>";
}

TEST(WbemPathGrammar, PathsYieldTheirClassAndUnescapedStringKeys) {
  struct Key { const WCHAR* name; const WCHAR* value; };
  const struct { const WCHAR* text; const WCHAR* className; std::vector<Key> keys; } cases[] = {
      {LR"(root\VXN:qz_memoryboard.tag="x")", L"qz_memoryboard", {{L"tag", L"x"}}},
      {LR"(C.Q='it\'s "x" \\ y',W="C:\Windows",E="")", L"C",
       {{L"Q", LR"(it's "x" \ y)"}, {L"W", LR"(C:\Windows)"}, {L"E", L""}}},
      {L"QZ_MemoryModule", L"QZ_MemoryModule", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "path: " << c.text);
    PathPtr path = Parsed(c.text);
    EXPECT_EQ(ClassName(path.get()), c.className);
    KeyListPtr keys = Keys(path.get());
    ULONG count = 99;
    ASSERT_EQ(keys->GetCount(&count), S_OK);
    ASSERT_EQ(count, c.keys.size());
    for (ULONG i = 0; i < count; ++i) {
      WCHAR name[128];
      ULONG size = 128, cimType = 0xFFFF;
      CComVariant value;
      ASSERT_EQ(keys->GetKey2(i, 0, &size, name, &value, &cimType), S_OK);
      ASSERT_EQ(value.vt, VT_BSTR);
      EXPECT_EQ(std::tuple(std::wstring(name), std::wstring(value.bstrVal), cimType),
                std::tuple(std::wstring(c.keys[i].name), std::wstring(c.keys[i].value), ULONG{CIM_STRING}));
    }
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
    EXPECT_EQ(ClassName(path.get()), L"QZ_MemoryBoard") << text;
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

// A path factory that can be made to fail; otherwise it hands out the real parser.
class FailingFactory final : public IClassFactory {
 public:
  HRESULT createResult = S_OK;
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (FAILED(createResult)) return createResult;
    return qz::CreateWbemPath(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

const WCHAR* kModulePath = LR"(QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:0-3")";

TEST(InstanceProviderHelper, CheckInstancePathStepsAndCodesInOrder) {
  enum class Factory { None, Failing, Real };
  const struct {
    const char* what;
    Factory factory;
    const WCHAR* path;
    const WCHAR* className;
    ULONGLONG test;
    HRESULT result;
  } cases[] = {
      {"no factory", Factory::None, kModulePath, L"QZ_MemoryModule", 0x8, WBEM_E_INVALID_PARAMETER},
      {"factory fails", Factory::Failing, kModulePath, L"QZ_MemoryModule", 0x8, WBEM_E_INVALID_PARAMETER},
      {"namespace without class", Factory::Real, L"root\\VXN", L"QZ_MemoryModule", 0x8,
       WBEM_E_INVALID_OBJECT_PATH},
      {"class path", Factory::Real, L"QZ_MemoryModule", L"QZ_MemoryModule", 0x8, WBEM_E_INVALID_OBJECT_PATH},
      {"no bits asked", Factory::Real, kModulePath, L"QZ_MemoryModule", 0, WBEM_E_INVALID_OBJECT_PATH},
      {"instance path", Factory::Real, kModulePath, L"QZ_MemoryModule", 0x8, WBEM_S_NO_ERROR},
      {"compound path", Factory::Real,
       LR"(QZ_MemoryModuleSlotLocation.Name="VXN:QZ_MemoryModuleSlotLocation:0-1",PhysicalPosition="0-1")",
       L"QZ_MemoryModuleSlotLocation", 0x28, WBEM_S_NO_ERROR},
      {"compound bit alone", Factory::Real, L"QZ_MemoryBoardSlotLocation.Name=\"n\",PhysicalPosition=\"1\"",
       L"QZ_MemoryBoardSlotLocation", 0x20, WBEM_S_NO_ERROR},
      {"single key is no compound", Factory::Real, L"QZ_MemoryBoardSlotLocation.Name=\"n\"",
       L"QZ_MemoryBoardSlotLocation", 0x20, WBEM_E_INVALID_OBJECT_PATH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FailingFactory factory;
    if (c.factory == Factory::Failing) factory.createResult = E_OUTOFMEMORY;
    CInstanceProviderHelper helper(nullptr, nullptr);
    CComBSTR path(c.path), className(c.className);
    EXPECT_EQ(helper.CheckInstancePath(c.factory == Factory::None ? nullptr : &factory, path, className, c.test),
              c.result);
  }
}

TEST(InstanceProviderHelper, BufferLengthOverflowsAtTheTopOfThe32BitRange) {
  const struct { size_t length; HRESULT result; ULONG buffer; } cases[] = {
      {0, S_OK, 1},
      {0xFFFFFFFEu, S_OK, 0xFFFFFFFFu},
      {0xFFFFFFFFu, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), 7},
      {size_t{1} << 33, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), 7},
  };
  for (const auto& c : cases) {
    ULONG buffer = 7;
    EXPECT_EQ(CInstanceProviderHelper::PathBufferLength(c.length, &buffer), c.result) << c.length;
    EXPECT_EQ(buffer, c.buffer) << c.length;
  }
}

}  // namespace
