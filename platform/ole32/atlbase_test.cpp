// The client classes: reference counting of CComPtr, ownership of CComBSTR and CComVariant.
#include <atlbase.h>
#include <gtest/gtest.h>

#include "tests/support/PlatformTest.h"

namespace {

// A class factory that only counts its references.
class Counted : public qztest::Counted<IClassFactory> {
 public:
  STDMETHODIMP CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

TEST(ComPtr, HoldsExactlyOneReferenceThroughEveryTransfer) {
  Counted object;
  {
    CComPtr<IClassFactory> first(&object);
    EXPECT_EQ(object.refs, 2u);
    CComPtr<IClassFactory> second = first;
    EXPECT_EQ(object.refs, 3u);
    CComPtr<IClassFactory> moved = std::move(second);
    EXPECT_EQ(object.refs, 3u);
    EXPECT_EQ(second.p, nullptr);

    CComPtr<IClassFactory> attached;
    attached.Attach(moved.Detach());  // the reference moves, no count changes
    EXPECT_EQ(object.refs, 3u);
    EXPECT_EQ(moved.p, nullptr);
    moved = attached;
    EXPECT_EQ(object.refs, 4u);
    moved.Release();
    EXPECT_EQ(moved.p, nullptr);
    EXPECT_EQ(object.refs, 3u);
    first = nullptr;
    EXPECT_EQ(object.refs, 2u);
  }
  EXPECT_EQ(object.refs, 1u);
}

TEST(ComBstr, CopiesAndGivesUpItsString) {
  CComBSTR name(L"DIMM");
  CComBSTR copy = name;
  EXPECT_NE(copy.m_str, name.m_str);
  EXPECT_TRUE(copy == name);
  BSTR taken = copy.Detach();
  EXPECT_EQ(copy.m_str, nullptr);
  SysFreeString(taken);
  CComBSTR empty;
  EXPECT_TRUE(empty == L"") << "a null BSTR equals the empty text";
}

TEST(ComVariant, CopiesDetachesAndReleasesInterfaces) {
  Counted object;
  {
    CComVariant held(static_cast<IUnknown*>(&object));
    EXPECT_EQ(object.refs, 2u);
    CComVariant copy(held);
    EXPECT_EQ(object.refs, 3u);
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(copy.Detach(&out), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(object.refs, 3u);
    EXPECT_EQ(VariantClear(&out), S_OK);
    EXPECT_EQ(object.refs, 2u);
    held = L"replaced";
    EXPECT_EQ(object.refs, 1u);
    EXPECT_STREQ(held.bstrVal, L"replaced");
  }

  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 0);
  CComVariant wrapped(array);
  EXPECT_EQ(wrapped.vt, VT_ARRAY | VT_BSTR);
  EXPECT_NE(wrapped.parray, array);
  SafeArrayDestroy(array);
}

}  // namespace
