// SAFEARRAY shapes, bounds and their errors, and ownership of strings.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

#include "tests/support/PlatformTest.h"

namespace {

TEST(SafeArrayCreate, RecordsElementTypeSizeAndFeatures) {
  struct Case { VARTYPE vt; ULONG size; USHORT features; };
  const Case cases[] = {
      {VT_UI1, 1, FADF_HAVEVARTYPE},
      {VT_I2, 2, FADF_HAVEVARTYPE},
      {VT_I4, 4, FADF_HAVEVARTYPE},
      {VT_BSTR, sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR},
      {VT_UNKNOWN, sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN},
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

TEST(SafeArrayBounds, VectorBoundsAndTheirErrors) {
  struct Case { LONG lower; ULONG count; LONG upper; };
  const Case cases[] = {{0, 3, 2}, {-5, 2, -4}, {0, 0, -1}};
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

}  // namespace
