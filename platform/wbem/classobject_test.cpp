// Class objects and instances: defaults, spawning and cloning, the refusals of gets and puts, and
// what Put accepts for each CIM type and what Get then returns (the walk over properties and the
// instance paths built from key values are pinned by the golden outputs, which print every
// property in order and get every class's first instance by its path).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/PlatformTest.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/classobject.h"

namespace {

using qz::wbem::ClassBuilder;
using qztest::Describe;
using qztest::Poisoned;

// CIM_ManagedElement <- QZ_Element <- QZ_MemoryModule, in root\VXN on HOST.
class ClassObjectTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ClassBuilder(L"CIM_ManagedElement").Namespace(L"root\\VXN", L"HOST").ClassQualifier(L"abstract")
                  .AddProperty(L"Caption", CIM_STRING).PropertyQualifier(L"MaxLen", CComVariant(64)).Create(&m_Base),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ClassBuilder(L"QZ_Element").Superclass(m_Base).AddKey(L"Tag", CIM_STRING).Create(&m_Middle),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ClassBuilder(L"QZ_MemoryModule").Superclass(m_Middle).ClassQualifier(L"dynamic")
                  .AddKey(L"CreationClassName", CIM_STRING).AddProperty(L"FormFactor", CIM_UINT16)
                  .Default(CComVariant(8)).AddProperty(L"Capacity", CIM_UINT64)
                  .AddProperty(L"Board", CIM_REFERENCE, L"QZ_MemoryBoard").Create(&m_Class),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(m_Class->SpawnInstance(0, &m_Instance), WBEM_S_NO_ERROR);
  }

  CComPtr<IWbemClassObject> m_Base, m_Middle, m_Class, m_Instance;
};

TEST_F(ClassObjectTest, RefusedGetsAndPutsLeaveOutputsAlone) {
  VARIANT value = Poisoned();
  CIMTYPE type = 0x5A5A;
  LONG flavor = 0x5A5A;
  EXPECT_EQ(m_Instance->Get(L"Missing", 0, &value, &type, &flavor), WBEM_E_NOT_FOUND);
  EXPECT_EQ(m_Instance->Get(L"__NOSUCH", 0, &value, &type, &flavor), WBEM_E_NOT_FOUND);
  EXPECT_EQ(m_Instance->Get(nullptr, 0, &value, &type, &flavor), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(m_Instance->Get(L"Tag", 0x1, &value, &type, &flavor), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(value.vt, 0xCCCC);
  EXPECT_EQ(type, 0x5A5A);
  EXPECT_EQ(flavor, 0x5A5A);

  CComVariant text(L"x");
  struct Case { const wchar_t* name; HRESULT result; };
  const Case puts[] = {
      {L"Missing", WBEM_E_NOT_FOUND},      {L"__CLASS", WBEM_E_READ_ONLY},  {L"__PATH", WBEM_E_READ_ONLY},
      {L"__ANYTHING", WBEM_E_READ_ONLY},   {nullptr, WBEM_E_INVALID_PARAMETER},
  };
  for (const Case& c : puts) EXPECT_EQ(m_Instance->Put(c.name, 0, &text, 0), c.result) << (c.name ? c.name : L"null");
}

TEST_F(ClassObjectTest, InstancesAndClonesHoldTheirOwnValues) {
  CComVariant formFactor;
  LONG flavor = -1;
  ASSERT_EQ(m_Instance->Get(L"FormFactor", 0, &formFactor, nullptr, &flavor), WBEM_S_NO_ERROR);
  EXPECT_EQ(formFactor.vt, VT_I4);
  EXPECT_EQ(formFactor.lVal, 8) << "the class default";
  EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_PROPAGATED);

  CComVariant tag(L"T1");
  ASSERT_EQ(m_Instance->Put(L"Tag", 0, &tag, 0), WBEM_S_NO_ERROR);
  CComPtr<IWbemClassObject> copy;
  ASSERT_EQ(m_Instance->Clone(&copy), WBEM_S_NO_ERROR);
  CComVariant other(L"T2");
  ASSERT_EQ(copy->Put(L"Tag", 0, &other, 0), WBEM_S_NO_ERROR);
  CComVariant value;
  ASSERT_EQ(m_Instance->Get(L"Tag", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
  EXPECT_STREQ(value.bstrVal, L"T1");

  CComPtr<IWbemClassObject> nested;
  EXPECT_EQ(m_Instance->SpawnInstance(0, &nested), WBEM_E_INCOMPLETE_CLASS);
  EXPECT_EQ(nested.p, nullptr);
  EXPECT_EQ(m_Class->SpawnInstance(1, &nested), WBEM_E_INVALID_PARAMETER);
}

TEST_F(ClassObjectTest, InheritsFromNamesOnlyAncestors) {
  EXPECT_EQ(m_Instance->InheritsFrom(L"cim_managedelement"), WBEM_S_NO_ERROR);
  EXPECT_EQ(m_Class->InheritsFrom(L"QZ_Element"), WBEM_S_NO_ERROR);
  EXPECT_EQ(m_Class->InheritsFrom(L"QZ_MemoryModule"), WBEM_S_FALSE);
  EXPECT_EQ(m_Base->InheritsFrom(L"QZ_Element"), WBEM_S_FALSE);
}

CComVariant I4(LONG value) { return CComVariant(static_cast<int>(value)); }
CComVariant I2(SHORT value) { return CComVariant(value); }
CComVariant UI1(BYTE value) { return CComVariant(value); }
CComVariant Str(const wchar_t* text) { return CComVariant(text); }
CComVariant Typed(VARTYPE vt, LONGLONG value = 1) {
  CComVariant v;
  v.vt = vt;
  v.llVal = value;
  return v;
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

// Each value is put into a fresh instance; `stored` is what Get then gives, as Describe writes it.
TEST(WbemPutTypes, ScalarValuesAreCheckedAndStoredInWmiRepresentation) {
  struct Case { CIMTYPE type; CComVariant in; HRESULT result; const wchar_t* stored; };
  const Case cases[] = {
      {CIM_UINT16, I4(65535), WBEM_S_NO_ERROR, L"i4:65535"},
      {CIM_UINT16, I4(65536), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT16, I4(-1), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT16, I2(-1), WBEM_S_NO_ERROR, L"i4:65535"},  // same width: the bits
      {CIM_UINT16, UI1(200), WBEM_S_NO_ERROR, L"i4:200"},
      {CIM_UINT16, Str(L"1"), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT32, I4(-1), WBEM_S_NO_ERROR, L"i4:-1"},
      {CIM_UINT32, I2(-1), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT32, Typed(VT_UI4), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT64, Str(L"17179869184"), WBEM_S_NO_ERROR, L"bstr:17179869184"},
      {CIM_UINT64, Str(L"18446744073709551615"), WBEM_S_NO_ERROR, L"bstr:18446744073709551615"},
      {CIM_UINT64, Str(L"18446744073709551616"), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT64, Str(L"12a"), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT64, Str(L""), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT64, Str(L"007"), WBEM_S_NO_ERROR, L"bstr:7"},
      {CIM_UINT64, I4(42), WBEM_S_NO_ERROR, L"bstr:42"},
      {CIM_UINT64, I4(-42), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT64, Typed(VT_I8), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_BOOLEAN, Typed(VT_BOOL, 1), WBEM_S_NO_ERROR, L"bool:true"},  // any non-zero is true
      {CIM_BOOLEAN, I4(1), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_STRING, Str(L"DIMM 1"), WBEM_S_NO_ERROR, L"bstr:DIMM 1"},
      {CIM_STRING, I4(1), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_STRING, Typed(VT_NULL), WBEM_S_NO_ERROR, L"null"},
      {CIM_REFERENCE, Str(L"QZ_Board.Tag=\"1\""), WBEM_S_NO_ERROR, L"bstr:QZ_Board.Tag=\"1\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " vt " << c.in.vt << " stored " << c.stored);
    CComPtr<IWbemClassObject> instance = MakeInstance(c.type);
    ASSERT_TRUE(instance);
    CComVariant in = c.in;
    EXPECT_EQ(instance->Put(L"Value", 0, &in, 0), c.result);
    EXPECT_EQ(Describe(instance, L"Value"), c.stored);
    CIMTYPE type = -1;
    LONG flavor = -1;
    ASSERT_EQ(instance->Get(L"Value", 0, nullptr, &type, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(flavor, c.stored == std::wstring(L"null") ? WBEM_FLAVOR_ORIGIN_PROPAGATED : WBEM_FLAVOR_ORIGIN_LOCAL);
  }
}

TEST(WbemPutTypes, MismatchKeepsThePreviousValueAndTypeArgumentMustAgree) {
  CComPtr<IWbemClassObject> instance = MakeInstance(CIM_UINT32);
  CComVariant good = I4(7), bad = Str(L"8");
  ASSERT_EQ(instance->Put(L"Value", 0, &good, 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(instance->Put(L"Value", 0, &bad, 0), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(instance->Put(L"Value", 0, &good, CIM_SINT32), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(instance->Put(L"Value", 0, &good, CIM_UINT32), WBEM_S_NO_ERROR);
  EXPECT_EQ(Describe(instance, L"Value"), L"i4:7");
  // A null pointer for the value clears it, as VT_NULL does.
  EXPECT_EQ(instance->Put(L"Value", 0, nullptr, 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(Describe(instance, L"Value"), L"null");
}

CComVariant Vector(VARTYPE vt, LONG lower, std::initializer_list<LONG> values) {
  CComVariant v;
  v.vt = static_cast<VARTYPE>(VT_ARRAY | vt);
  v.parray = SafeArrayCreateVector(vt, lower, static_cast<ULONG>(values.size()));
  LONG index = lower;
  for (LONGLONG raw : values) {  // little-endian: the low bytes serve every width
    SafeArrayPutElement(v.parray, &index, &raw);
    ++index;
  }
  return v;
}

TEST(WbemPutTypes, ArraysAreOneDimensionalVectorsOfTheElementRepresentation) {
  struct Case { CIMTYPE type; CComVariant in; HRESULT result; const wchar_t* stored; };
  SAFEARRAYBOUND square[2] = {{1, 0}, {1, 0}};
  CComVariant twoDimensions = Vector(VT_I4, 0, {});
  SafeArrayDestroy(twoDimensions.parray);
  twoDimensions.parray = SafeArrayCreate(VT_I4, 2, square);
  const Case cases[] = {
      {CIM_UINT16 | CIM_FLAG_ARRAY, Vector(VT_I4, 5, {0, 65535}), WBEM_S_NO_ERROR, L"i4[0,65535]"},
      {CIM_UINT16 | CIM_FLAG_ARRAY, Vector(VT_I4, 0, {1, 65536}), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT8 | CIM_FLAG_ARRAY, Vector(VT_UI1, 0, {1, 2, 255}), WBEM_S_NO_ERROR, L"ui1[1,2,255]"},
      {CIM_UINT32 | CIM_FLAG_ARRAY, Vector(VT_I4, 0, {}), WBEM_S_NO_ERROR, L"i4[]"},  // an empty array stays one
      {CIM_UINT32 | CIM_FLAG_ARRAY, I4(1), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT32, Vector(VT_I4, 0, {1}), WBEM_E_TYPE_MISMATCH, L"null"},
      {CIM_UINT32 | CIM_FLAG_ARRAY, twoDimensions, WBEM_E_TYPE_MISMATCH, L"null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    CComPtr<IWbemClassObject> instance = MakeInstance(c.type);
    CComVariant in = c.in;
    EXPECT_EQ(instance->Put(L"Value", 0, &in, 0), c.result);
    EXPECT_EQ(Describe(instance, L"Value"), c.stored);
    CComVariant out;
    ASSERT_EQ(instance->Get(L"Value", 0, &out, nullptr, nullptr), WBEM_S_NO_ERROR);
    LONG lower = 0;
    if (out.vt & VT_ARRAY) {
      EXPECT_EQ(SafeArrayGetLBound(out.parray, 1, &lower), S_OK);
    }
    EXPECT_EQ(lower, 0) << "stored from index 0";
  }
}

}  // namespace
