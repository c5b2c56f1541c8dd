// Class objects and instances: defaults, spawning and cloning, and the refusals of gets and puts
// (the walk over properties is pinned by the golden outputs, which print every property in order).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/PlatformTest.h"
#include "wbem/classobject.h"

namespace {

using qz::wbem::ClassBuilder;

using qztest::Poisoned;

// CIM_ManagedElement <- QZ_Element <- QZ_MemoryModule, in root\VXN on HOST.
class ClassObjectTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ClassBuilder(L"CIM_ManagedElement")
                  .Namespace(L"root\\VXN", L"HOST")
                  .ClassQualifier(L"abstract")
                  .AddProperty(L"Caption", CIM_STRING)
                  .PropertyQualifier(L"MaxLen", CComVariant(64))
                  .Create(&m_Base),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ClassBuilder(L"QZ_Element").Superclass(m_Base).AddKey(L"Tag", CIM_STRING).Create(&m_Middle),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ClassBuilder(L"QZ_MemoryModule")
                  .Superclass(m_Middle)
                  .ClassQualifier(L"dynamic")
                  .AddKey(L"CreationClassName", CIM_STRING)
                  .AddProperty(L"FormFactor", CIM_UINT16)
                  .Default(CComVariant(8))
                  .AddProperty(L"Capacity", CIM_UINT64)
                  .AddProperty(L"Board", CIM_REFERENCE, L"QZ_MemoryBoard")
                  .Create(&m_Class),
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
  struct Case {
    const wchar_t* name;
    HRESULT result;
  };
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

}  // namespace
