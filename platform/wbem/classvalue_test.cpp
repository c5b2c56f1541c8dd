// What Put accepts for each CIM type and what Get then returns (the instance paths built from key
// values are pinned by the golden outputs, which get every class's first instance by its path).
#include <gtest/gtest.h>

#include "tests/support/PlatformTest.h"
#include "wbem/classobject.h"

namespace {

using qz::wbem::ClassBuilder;

using qztest::Poisoned;

CComVariant I4(LONG value) { return CComVariant(static_cast<int>(value)); }
CComVariant I2(SHORT value) { return CComVariant(value); }
CComVariant UI1(BYTE value) { return CComVariant(value); }
CComVariant Str(const wchar_t* text) { return CComVariant(text); }
CComVariant Bool(VARIANT_BOOL value) {
  CComVariant v;
  v.vt = VT_BOOL;
  v.boolVal = value;
  return v;
}
CComVariant Typed(VARTYPE vt) {
  CComVariant v;
  v.vt = vt;
  v.llVal = 1;
  return v;
}

// Exact type and value.
void ExpectVariant(const VARIANT& actual, const VARIANT& expected) {
  ASSERT_EQ(actual.vt, expected.vt);
  switch (expected.vt) {
    case VT_UI1: EXPECT_EQ(actual.bVal, expected.bVal); break;
    case VT_I2: EXPECT_EQ(actual.iVal, expected.iVal); break;
    case VT_I4: EXPECT_EQ(actual.lVal, expected.lVal); break;
    case VT_BOOL: EXPECT_EQ(actual.boolVal, expected.boolVal); break;
    case VT_BSTR: EXPECT_STREQ(actual.bstrVal, expected.bstrVal); break;
    default: break;
  }
}

CComPtr<IWbemClassObject> MakeInstance(CIMTYPE type) {
  CComPtr<IWbemClassObject> cls;
  EXPECT_EQ(ClassBuilder(L"QZ_Types").AddProperty(L"Value", type).Create(&cls), WBEM_S_NO_ERROR);
  CComPtr<IWbemClassObject> instance;
  if (cls) {
    EXPECT_EQ(cls->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
  }
  return instance;
}

TEST(WbemPutTypes, ScalarValuesAreCheckedAndStoredInWmiRepresentation) {
  const CComVariant null = Typed(VT_NULL);
  struct Case {
    CIMTYPE type;
    CComVariant in;
    HRESULT result;
    CComVariant stored;  // what Get returns afterwards (VT_NULL: nothing stored)
  };
  const Case cases[] = {
      {CIM_UINT16, I4(65535), WBEM_S_NO_ERROR, I4(65535)},
      {CIM_UINT16, I4(65536), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT16, I4(-1), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT16, I2(-1), WBEM_S_NO_ERROR, I4(65535)},  // same width: the bits
      {CIM_UINT16, UI1(200), WBEM_S_NO_ERROR, I4(200)},
      {CIM_UINT16, Str(L"1"), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT32, I4(-1), WBEM_S_NO_ERROR, I4(-1)},
      {CIM_UINT32, I2(-1), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT32, Typed(VT_UI4), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT64, Str(L"17179869184"), WBEM_S_NO_ERROR, Str(L"17179869184")},
      {CIM_UINT64, Str(L"18446744073709551615"), WBEM_S_NO_ERROR, Str(L"18446744073709551615")},
      {CIM_UINT64, Str(L"18446744073709551616"), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT64, Str(L"12a"), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT64, Str(L""), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT64, Str(L"007"), WBEM_S_NO_ERROR, Str(L"7")},
      {CIM_UINT64, I4(42), WBEM_S_NO_ERROR, Str(L"42")},
      {CIM_UINT64, I4(-42), WBEM_E_TYPE_MISMATCH, null},
      {CIM_UINT64, Typed(VT_I8), WBEM_E_TYPE_MISMATCH, null},
      {CIM_BOOLEAN, Bool(1), WBEM_S_NO_ERROR, Bool(VARIANT_TRUE)},
      {CIM_BOOLEAN, I4(1), WBEM_E_TYPE_MISMATCH, null},
      {CIM_STRING, Str(L"DIMM 1"), WBEM_S_NO_ERROR, Str(L"DIMM 1")},
      {CIM_STRING, I4(1), WBEM_E_TYPE_MISMATCH, null},
      {CIM_STRING, Typed(VT_NULL), WBEM_S_NO_ERROR, null},
      {CIM_REFERENCE, Str(L"QZ_Board.Tag=\"1\""), WBEM_S_NO_ERROR, Str(L"QZ_Board.Tag=\"1\"")},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "row " << i << " type " << c.type << " vt " << c.in.vt);
    CComPtr<IWbemClassObject> instance = MakeInstance(c.type);
    ASSERT_TRUE(instance);
    CComVariant in = c.in;
    EXPECT_EQ(instance->Put(L"Value", 0, &in, 0), c.result);
    VARIANT out = Poisoned();
    CIMTYPE type = -1;
    LONG flavor = -1;
    ASSERT_EQ(instance->Get(L"Value", 0, &out, &type, &flavor), WBEM_S_NO_ERROR);
    ExpectVariant(out, c.stored);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(flavor, out.vt == VT_NULL ? WBEM_FLAVOR_ORIGIN_PROPAGATED : WBEM_FLAVOR_ORIGIN_LOCAL);
    VariantClear(&out);
  }
}

TEST(WbemPutTypes, MismatchKeepsThePreviousValueAndTypeArgumentMustAgree) {
  CComPtr<IWbemClassObject> instance = MakeInstance(CIM_UINT32);
  CComVariant good = I4(7);
  ASSERT_EQ(instance->Put(L"Value", 0, &good, 0), WBEM_S_NO_ERROR);
  CComVariant bad = Str(L"8");
  EXPECT_EQ(instance->Put(L"Value", 0, &bad, 0), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(instance->Put(L"Value", 0, &good, CIM_SINT32), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(instance->Put(L"Value", 0, &good, CIM_UINT32), WBEM_S_NO_ERROR);
  CComVariant out;
  ASSERT_EQ(instance->Get(L"Value", 0, &out, nullptr, nullptr), WBEM_S_NO_ERROR);
  ExpectVariant(out, I4(7));
  // A null pointer for the value clears it, as VT_NULL does.
  EXPECT_EQ(instance->Put(L"Value", 0, nullptr, 0), WBEM_S_NO_ERROR);
  out.Clear();
  ASSERT_EQ(instance->Get(L"Value", 0, &out, nullptr, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(out.vt, VT_NULL);
}

SAFEARRAY* Vector(VARTYPE vt, LONG lower, std::initializer_list<LONG> values) {
  SAFEARRAY* array = SafeArrayCreateVector(vt, lower, static_cast<ULONG>(values.size()));
  LONG index = lower;
  for (LONG value : values) {
    LONGLONG raw = value;  // little-endian: the low bytes serve every width
    SafeArrayPutElement(array, &index, &raw);
    ++index;
  }
  return array;
}

CComVariant ArrayOf(SAFEARRAY* array, VARTYPE vt) {
  CComVariant v;
  v.vt = static_cast<VARTYPE>(VT_ARRAY | vt);
  v.parray = array;
  return v;
}

TEST(WbemPutTypes, ArraysAreOneDimensionalVectorsOfTheElementRepresentation) {
  struct Case {
    CIMTYPE type;
    CComVariant in;
    HRESULT result;
    VARTYPE storedVt;
    std::vector<LONG> stored;
  };
  SAFEARRAYBOUND square[2] = {{1, 0}, {1, 0}};
  const Case cases[] = {
      {CIM_UINT16 | CIM_FLAG_ARRAY, ArrayOf(Vector(VT_I4, 5, {0, 65535}), VT_I4), WBEM_S_NO_ERROR, VT_I4, {0, 65535}},
      {CIM_UINT16 | CIM_FLAG_ARRAY, ArrayOf(Vector(VT_I4, 0, {1, 65536}), VT_I4), WBEM_E_TYPE_MISMATCH, VT_NULL, {}},
      {CIM_UINT8 | CIM_FLAG_ARRAY, ArrayOf(Vector(VT_UI1, 0, {1, 2, 255}), VT_UI1), WBEM_S_NO_ERROR, VT_UI1, {1, 2, 255}},
      {CIM_UINT32 | CIM_FLAG_ARRAY, ArrayOf(Vector(VT_I4, 0, {}), VT_I4), WBEM_S_NO_ERROR, VT_I4, {}},
      {CIM_UINT32 | CIM_FLAG_ARRAY, I4(1), WBEM_E_TYPE_MISMATCH, VT_NULL, {}},
      {CIM_UINT32, ArrayOf(Vector(VT_I4, 0, {1}), VT_I4), WBEM_E_TYPE_MISMATCH, VT_NULL, {}},
      {CIM_UINT32 | CIM_FLAG_ARRAY, ArrayOf(SafeArrayCreate(VT_I4, 2, square), VT_I4), WBEM_E_TYPE_MISMATCH, VT_NULL, {}},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "row " << i);
    CComPtr<IWbemClassObject> instance = MakeInstance(c.type);
    CComVariant in = c.in;
    EXPECT_EQ(instance->Put(L"Value", 0, &in, 0), c.result);
    CComVariant out;
    ASSERT_EQ(instance->Get(L"Value", 0, &out, nullptr, nullptr), WBEM_S_NO_ERROR);
    if (c.storedVt == VT_NULL) {
      EXPECT_EQ(out.vt, VT_NULL);
      continue;
    }
    ASSERT_EQ(out.vt, VT_ARRAY | c.storedVt);
    LONG lower = -1;
    LONG upper = -2;
    EXPECT_EQ(SafeArrayGetLBound(out.parray, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(out.parray, 1, &upper), S_OK);
    EXPECT_EQ(lower, 0);
    ASSERT_EQ(upper, static_cast<LONG>(c.stored.size()) - 1) << "an empty array stays an array";
    for (LONG k = 0; k <= upper; ++k) {
      LONGLONG raw = 0;
      ASSERT_EQ(SafeArrayGetElement(out.parray, &k, &raw), S_OK);
      LONG value = c.storedVt == VT_I4 ? static_cast<LONG>(raw) : c.storedVt == VT_I2 ? static_cast<SHORT>(raw) : static_cast<BYTE>(raw);
      EXPECT_EQ(value, c.stored[static_cast<size_t>(k)]) << k;
    }
  }
}

}  // namespace
