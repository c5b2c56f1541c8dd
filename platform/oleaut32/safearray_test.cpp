// SAFEARRAY shapes, bounds and their errors, locking, and ownership of strings and interfaces.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

#include "tests/support/PlatformTest.h"

namespace {

using CountedUnknown = qztest::Counted<>;

TEST(SafeArrayCreate, RecordsElementTypeSizeAndFeatures) {
  struct Case {
    VARTYPE vt;
    ULONG size;
    USHORT features;
  };
  const Case cases[] = {
      {VT_UI1, 1, FADF_HAVEVARTYPE},
      {VT_I2, 2, FADF_HAVEVARTYPE},
      {VT_BOOL, 2, FADF_HAVEVARTYPE},
      {VT_I4, 4, FADF_HAVEVARTYPE},
      {VT_R8, 8, FADF_HAVEVARTYPE},
      {VT_BSTR, sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR},
      {VT_VARIANT, sizeof(VARIANT), FADF_HAVEVARTYPE | FADF_VARIANT},
      {VT_UNKNOWN, sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN},
      {VT_DISPATCH, sizeof(IUnknown*), FADF_HAVEIID | FADF_DISPATCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vt);
    SAFEARRAYBOUND bound = {4, 0};
    SAFEARRAY* psa = SafeArrayCreate(c.vt, 1, &bound);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->fFeatures, c.features);
    EXPECT_EQ(SafeArrayGetElemsize(psa), c.size);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    VARTYPE vt = 0xCCCC;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, c.vt);
    if (c.features & FADF_HAVEVARTYPE) {
      DWORD hidden = 0;
      std::memcpy(&hidden, reinterpret_cast<char*>(psa) - sizeof(DWORD), sizeof(hidden));
      EXPECT_EQ(hidden, c.vt) << "the VARTYPE sits in front of the descriptor";
    }
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
}

TEST(SafeArrayCreate, RefusesTypesNoArrayHoldsAndZeroDimensions) {
  SAFEARRAYBOUND bound = {1, 0};
  const VARTYPE refused[] = {VT_EMPTY, VT_NULL, VT_VOID, VT_LPWSTR, VT_ARRAY | VT_I4};
  for (VARTYPE vt : refused) EXPECT_EQ(SafeArrayCreate(vt, 1, &bound), nullptr) << vt;
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &bound), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
}

TEST(SafeArrayBounds, VectorBoundsAndTheirErrors) {
  struct Case {
    LONG lower;
    ULONG count;
    LONG upper;
  };
  const Case cases[] = {{0, 3, 2}, {1, 1, 1}, {-5, 2, -4}, {0, 0, -1}, {7, 0, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lower);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, c.lower, c.count);
    ASSERT_NE(psa, nullptr) << "an empty vector is still an array";
    LONG value = 0x5A5A5A5A;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &value), S_OK);
    EXPECT_EQ(value, c.lower);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &value), S_OK);
    EXPECT_EQ(value, c.upper);
    value = 0x5A5A5A5A;
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 2, &value), DISP_E_BADINDEX);
    EXPECT_EQ(value, 0x5A5A5A5A);
    LONG element = 1;
    for (LONG index : {c.lower - 1, static_cast<LONG>(c.lower + c.count)}) {
      EXPECT_EQ(SafeArrayPutElement(psa, &index, &element), DISP_E_BADINDEX) << index;
      EXPECT_EQ(SafeArrayGetElement(psa, &index, &element), DISP_E_BADINDEX) << index;
    }
    void* data = nullptr;
    EXPECT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
  LONG value = 0;
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
}

TEST(SafeArrayLocking, LockedArrayCannotBeDestroyed) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 1);
  ASSERT_NE(psa, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  EXPECT_EQ(psa->cLocks, 2u);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArrayOwnership, StringsAreCopiedInAndOut) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(psa, nullptr);
  BSTR text = SysAllocString(L"DIMM 1");
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, text), S_OK);
  ASSERT_EQ(SafeArrayPutElement(psa, &index, text), S_OK) << "replacing frees the old copy";
  SysFreeString(text);

  BSTR out = reinterpret_cast<BSTR>(0x1);
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_STREQ(out, L"DIMM 1");
  BSTR* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_NE(out, data[0]);
  EXPECT_EQ(data[1], nullptr);
  SafeArrayUnaccessData(psa);
  SysFreeString(out);

  index = 1;
  out = reinterpret_cast<BSTR>(0x1);
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_EQ(out, nullptr) << "a null element comes out as a null string";
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);  // frees "DIMM 1"; ASan reports a leak otherwise
}

TEST(SafeArrayOwnership, InterfacesAreAddRefdAndReleasedWithTheArray) {
  CountedUnknown unknown;
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IUnknown*>(&unknown)), S_OK);
  EXPECT_EQ(unknown.refs, 2u);
  IUnknown* out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_EQ(out, &unknown);
  EXPECT_EQ(unknown.refs, 3u);
  out->Release();
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(unknown.refs, 3u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(unknown.refs, 1u);
}

TEST(SafeArrayOwnership, VariantElementsAreDeepCopiesAndOutputIsNotCleared) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  ASSERT_NE(psa, nullptr);
  VARIANT in;
  in.vt = VT_BSTR;
  in.bstrVal = SysAllocString(L"x");
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, &in), S_OK);
  VariantClear(&in);
  VARIANT out = qztest::Poisoned();  // garbage that must not be freed
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_STREQ(out.bstrVal, L"x");
  VariantClear(&out);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayCopy, CopiesShapeTypeAndValues) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, -2, 3);
  ASSERT_NE(psa, nullptr);
  for (LONG i = -2; i <= 0; ++i) {
    LONG value = i * 7;
    ASSERT_EQ(SafeArrayPutElement(psa, &i, &value), S_OK);
  }
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  SAFEARRAY* copy = reinterpret_cast<SAFEARRAY*>(0x1);
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(copy->cLocks, 0u);
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_I4);
  LONG index = -1;
  LONG value = 0;
  EXPECT_EQ(SafeArrayGetElement(copy, &index, &value), S_OK);
  EXPECT_EQ(value, -7);
  SafeArrayUnlock(psa);
  SafeArrayDestroy(psa);
  SafeArrayDestroy(copy);

  copy = reinterpret_cast<SAFEARRAY*>(0x1);
  EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
  EXPECT_EQ(copy, nullptr);
}

}  // namespace
