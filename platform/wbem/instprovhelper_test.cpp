// The instance-provider helper's checks of an instance path, with the code that each refusal gives
// (its __ExtendedStatus fetch is run by the provider framework's initialisation tests).
#include <gtest/gtest.h>
#include <instprovhelper.h>
#include <oleauto.h>

#include <string>

#include "wbem/path.h"

namespace {

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

struct Bstr {
  explicit Bstr(const WCHAR* text) : value(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value); }
  BSTR value;
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
    Bstr path(c.path), className(c.className);
    EXPECT_EQ(helper.CheckInstancePath(c.factory == Factory::None ? nullptr : &factory, path.value, className.value,
                                       c.test),
              c.result);
  }
}

TEST(InstanceProviderHelper, BufferLengthOverflowsAtTheTopOfThe32BitRange) {
  const struct {
    size_t length;
    HRESULT result;
    ULONG buffer;
  } cases[] = {
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
