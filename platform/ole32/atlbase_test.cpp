// The client classes: reference counting of CComPtr, ownership of CComBSTR and CComVariant.
#include <atlbase.h>
#include <gtest/gtest.h>
#include <wbemcli.h>

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

    IClassFactory* raw = nullptr;
    EXPECT_EQ(first.CopyTo(&raw), S_OK);
    EXPECT_EQ(object.refs, 4u);
    CComPtr<IClassFactory> attached;
    attached.Attach(raw);  // takes the reference CopyTo gave
    EXPECT_EQ(object.refs, 4u);
    raw = attached.Detach();
    EXPECT_EQ(object.refs, 4u);
    raw->Release();

    CComPtr<IUnknown> unknown;
    EXPECT_EQ(first.QueryInterface(&unknown), S_OK);
    EXPECT_EQ(object.refs, 4u);
    CComPtr<IWbemClassObject> none;
    EXPECT_EQ(first.QueryInterface(&none), E_NOINTERFACE);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_TRUE(moved.IsEqualObject(unknown));

    moved.Release();
    EXPECT_EQ(moved.p, nullptr);
    EXPECT_EQ(object.refs, 3u);
    first = nullptr;
    EXPECT_EQ(object.refs, 2u);
  }
  EXPECT_EQ(object.refs, 1u);
  CComPtr<IClassFactory> empty;
  EXPECT_EQ(empty.CopyTo(nullptr), E_POINTER);
}

TEST(ComBstr, CopiesAppendsAndGivesUpItsString) {
  CComBSTR name(L"DIMM");
  EXPECT_EQ(name.Length(), 4u);
  CComBSTR copy = name;
  EXPECT_NE(copy.m_str, name.m_str);
  EXPECT_TRUE(copy == name);
  EXPECT_EQ(copy.Append(L" A1"), S_OK);
  EXPECT_STREQ(copy.m_str, L"DIMM A1");
  EXPECT_EQ(copy.ByteLength(), 7 * sizeof(OLECHAR));
  BSTR out = nullptr;
  EXPECT_EQ(copy.CopyTo(&out), S_OK);
  EXPECT_STREQ(out, L"DIMM A1");
  SysFreeString(out);
  BSTR taken = copy.Detach();
  EXPECT_EQ(copy.m_str, nullptr);
  SysFreeString(taken);

  CComBSTR empty;
  EXPECT_TRUE(empty == L"") << "a null BSTR equals the empty text";
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_EQ(empty.Copy(), nullptr);
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
