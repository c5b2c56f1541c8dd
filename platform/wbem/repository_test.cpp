// The repository's namespaces and classes, and the namespace's IWbemServices: class lookups by
// name and path, and a class that no provider serves.
#include <gtest/gtest.h>
#include <instprovhelper.h>

#include <string>

#include "wbem/repository.h"

namespace {

using qz::wbem::ClassBuilder;
using qz::wbem::Repository;

class RepositoryTest : public testing::Test {
 protected:
  void SetUp() override {
    Repository& repository = Repository::Instance();
    repository.SetServerName(L"HOST");
    ASSERT_TRUE(SUCCEEDED(repository.CreateNamespace(L"root\\VXN")));
    ASSERT_TRUE(SUCCEEDED(repository.CreateNamespace(L"root/wmi")));
    auto def = ClassBuilder(L"QZ_Element").AddKey(L"Tag", CIM_STRING).Build();
    ASSERT_TRUE(def);
    ASSERT_EQ(repository.PutClass(L"root\\VXN", *def), WBEM_S_NO_ERROR);
    CComPtr<IWbemClassObject> element;
    ASSERT_EQ(repository.GetClass(L"root\\VXN", L"QZ_Element", &element), WBEM_S_NO_ERROR);
    auto module = ClassBuilder(L"QZ_MemoryModule").Superclass(element).AddProperty(L"Capacity", CIM_UINT64).Build();
    ASSERT_TRUE(module);
    ASSERT_EQ(repository.PutClass(L"root\\VXN", *module), WBEM_S_NO_ERROR);
    ASSERT_EQ(qz::wbem::CreateServices(L"ROOT\\vxn", &m_Services), WBEM_S_NO_ERROR);
  }

  CComPtr<IWbemServices> m_Services;
};

TEST_F(RepositoryTest, NamespaceNamesIgnoreCaseAndSeparatorAndMustBeWellFormed) {
  Repository& repository = Repository::Instance();
  EXPECT_EQ(repository.NamespaceName(L"ROOT/vxn"), L"root\\VXN");
  EXPECT_EQ(repository.CreateNamespace(L"Root\\Vxn"), WBEM_S_ALREADY_EXISTS);
  EXPECT_TRUE(repository.HasNamespace(L"root"));
  for (const wchar_t* bad : {L"", L"root\\", L"\\root", L"root\\\\VXN", L"root\\V X N", L"root:VXN"})
    EXPECT_EQ(repository.CreateNamespace(bad), WBEM_E_INVALID_NAMESPACE) << bad;
  ASSERT_EQ(repository.CreateNamespace(L"root\\a\\b"), WBEM_S_NO_ERROR);
  EXPECT_TRUE(repository.HasNamespace(L"root\\a")) << "parents are created too";
  CComPtr<IWbemServices> none;
  EXPECT_EQ(qz::wbem::CreateServices(L"root\\missing", &none), WBEM_E_INVALID_NAMESPACE);
  EXPECT_EQ(none.p, nullptr);
}

TEST_F(RepositoryTest, EveryNamespaceHasTheExtendedStatusClass) {
  for (const wchar_t* space : {L"root", L"root\\VXN", L"root\\wmi"}) {
    SCOPED_TRACE(space);
    CComPtr<IWbemServices> services;
    ASSERT_EQ(qz::wbem::CreateServices(space, &services), WBEM_S_NO_ERROR);
    CInstanceProviderHelper helper(services, nullptr);
    ASSERT_EQ(helper.ExtendedStatusResult(), WBEM_S_NO_ERROR);
    IWbemClassObject* status = helper.ExtendedStatusClass();
    ASSERT_NE(status, nullptr);
    CComVariant value;
    ASSERT_EQ(status->Get(L"__SUPERCLASS", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
    EXPECT_STREQ(value.bstrVal, L"__NotifyStatus");
    value.Clear();
    CIMTYPE type = 0;
    ASSERT_EQ(status->Get(L"StatusCode", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(type, CIM_UINT32);
    EXPECT_EQ(status->Get(L"Description", 0, nullptr, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(type, CIM_STRING);
  }
}

TEST_F(RepositoryTest, GetObjectFindsClassesByNameOrPath) {
  struct Case { const wchar_t* path; HRESULT result; const wchar_t* className; };
  const Case cases[] = {
      {L"QZ_MemoryModule", WBEM_S_NO_ERROR, L"QZ_MemoryModule"},
      {L"qz_memorymodule", WBEM_S_NO_ERROR, L"QZ_MemoryModule"},
      {L"__ExtendedStatus", WBEM_S_NO_ERROR, L"__ExtendedStatus"},
      {L"root\\wmi:QZ_Element", WBEM_E_NOT_FOUND, nullptr},
      {L"root\\nowhere:QZ_Element", WBEM_E_INVALID_NAMESPACE, nullptr},
      {L"QZ_Missing.Tag=\"1\"", WBEM_E_INVALID_CLASS, nullptr},
      {L"QZ_MemoryModule.Tag=\"1\"", WBEM_E_NOT_FOUND, nullptr},  // no provider, no instances
      {L"QZ_MemoryModule.Tag=\"1", WBEM_E_INVALID_OBJECT_PATH, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CComBSTR path(c.path);
    IWbemClassObject* object = reinterpret_cast<IWbemClassObject*>(0x1);
    IWbemCallResult* result = reinterpret_cast<IWbemCallResult*>(0x1);
    ASSERT_EQ(m_Services->GetObject(path, 0, nullptr, &object, &result), c.result);
    EXPECT_EQ(result, nullptr);
    if (!c.className) {
      EXPECT_EQ(object, nullptr);
      continue;
    }
    CComPtr<IWbemClassObject> cls;
    cls.Attach(object);
    CComVariant name;
    ASSERT_EQ(cls->Get(L"__CLASS", 0, &name, nullptr, nullptr), WBEM_S_NO_ERROR);
    EXPECT_STREQ(name.bstrVal, c.className);
  }
}

TEST_F(RepositoryTest, AClassWithoutAProviderHasNoInstances) {
  CComBSTR cls(L"QZ_MemoryModule");
  IEnumWbemClassObject* enumerator = reinterpret_cast<IEnumWbemClassObject*>(0x1);
  EXPECT_EQ(m_Services->CreateInstanceEnum(cls, 0, nullptr, &enumerator), WBEM_S_NO_ERROR);
  ULONG returned = 1;
  IWbemClassObject* object = nullptr;
  EXPECT_EQ(enumerator->Next(0, 1, &object, &returned), WBEM_S_FALSE);
  EXPECT_EQ(returned, 0u);
  enumerator->Release();
}

}  // namespace
