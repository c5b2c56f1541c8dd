// The repository's namespaces and classes, and the service as a client sees it: connecting through
// the locator, class lookups by name and path, enumerations and queries answered from providers (or
// none, for a class that no provider serves), the enumerator's batches and time-outs, lookups by path.
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>

#include <chrono>

#include "wbem/provider.h"
#include "wbem/repository.h"

namespace {

using qz::wbem::ClassBuilder;
using qz::wbem::ClassDef;
using qz::wbem::Clock;
using qz::wbem::ObjectStream;
using qz::wbem::Repository;

// Numbered instances of a class, each `delay` after the one before.
class CountingProvider : public qz::wbem::InstanceProvider {
 public:
  CountingProvider(int count, std::chrono::milliseconds delay = {}) : m_Count(count), m_Delay(delay) {}
  HRESULT Enumerate(const ClassDef& cls, IWbemContext*, ObjectStream* out) override {
    auto def = Repository::Instance().FindClass(L"root\\VXN", cls.name);
    Clock::time_point ready = Clock::now();
    for (int i = 1; i <= m_Count; ++i) {
      qz::wbem::TimedObject entry;
      if (FAILED(qz::wbem::ClassObject::Create(def, true, &entry.object))) return WBEM_E_FAILED;
      CComVariant tag((L"Board 1 DIMM " + std::to_wstring(i)).c_str()), number(i), size(L"8589934592");
      entry.object->Put(L"Tag", 0, &tag, 0);
      entry.object->Put(L"Number", 0, &number, 0);
      if (def->FindProperty(L"Capacity") >= 0) entry.object->Put(L"Capacity", 0, &size, 0);
      ready += m_Delay;
      entry.ready = ready;
      out->push_back(std::move(entry));
    }
    return WBEM_S_NO_ERROR;
  }
 private:
  int m_Count;
  std::chrono::milliseconds m_Delay;
};

class ServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    Repository& repository = Repository::Instance();
    ASSERT_TRUE(SUCCEEDED(repository.CreateNamespace(L"root\\VXN")));
    ASSERT_TRUE(SUCCEEDED(repository.CreateNamespace(L"root/wmi")));
    auto element = ClassBuilder(L"QZ_Part").AddKey(L"Tag", CIM_STRING).AddProperty(L"Number", CIM_UINT32).Build();
    ASSERT_EQ(repository.PutClass(L"root\\VXN", *element), WBEM_S_NO_ERROR);
    auto module = ClassBuilder(L"QZ_Stick").Superclass(*element).AddProperty(L"Capacity", CIM_UINT64).Build();
    ASSERT_EQ(repository.PutClass(L"root\\VXN", *module), WBEM_S_NO_ERROR);
    CComPtr<IWbemLocator> locator;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemAdministrativeLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&locator)),
              S_OK);
    ASSERT_EQ(locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &m_Services),
              WBEM_S_NO_ERROR);
  }
  void TearDown() override {
    for (const wchar_t* cls : {L"QZ_Part", L"QZ_Stick"}) qz::wbem::RegisterInstanceProvider(L"root\\VXN", cls, nullptr);
  }

  std::shared_ptr<CountingProvider> Serve(const wchar_t* cls, int count, std::chrono::milliseconds delay = {}) {
    auto provider = std::make_shared<CountingProvider>(count, delay);
    qz::wbem::RegisterInstanceProvider(L"ROOT/vxn", cls, provider);
    return provider;
  }

  HRESULT Query(const wchar_t* text, IEnumWbemClassObject** result,
                LONG flags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY) {
    return m_Services->ExecQuery(CComBSTR(L"WQL"), CComBSTR(text), flags, nullptr, result);
  }

  static std::vector<std::wstring> Drain(IEnumWbemClassObject* enumerator, const wchar_t* property) {
    std::vector<std::wstring> values;
    for (;;) {
      IWbemClassObject* object = nullptr;
      ULONG returned = 0;
      HRESULT hr = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &object, &returned);
      if (returned == 0) break;
      CComVariant value;
      object->Get(property, 0, &value, nullptr, nullptr);
      values.push_back(value.vt == VT_BSTR  ? std::wstring(value.bstrVal)
                       : value.vt == VT_I4 ? std::to_wstring(value.lVal)
                                           : L"(null)");
      object->Release();
      if (hr != WBEM_S_NO_ERROR) break;
    }
    return values;
  }

  CComPtr<IWbemServices> m_Services;
};

TEST_F(ServiceTest, LocatorAcceptsLocalSpellingsOfANamespace) {
  CComPtr<IWbemLocator> locator;
  ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                             reinterpret_cast<void**>(&locator)),
            S_OK);
  struct Case { const wchar_t* resource; HRESULT result; } cases[] = {
      {L"root\\VXN", WBEM_S_NO_ERROR},       {L"ROOT/vxn", WBEM_S_NO_ERROR},
      {L"\\\\.\\root\\VXN", WBEM_S_NO_ERROR}, {L"//localhost/root/VXN", WBEM_S_NO_ERROR},
      {L"root\\\\VXN", WBEM_E_INVALID_NAMESPACE},
      {L"\\\\other-host\\root\\VXN", WBEM_E_TRANSPORT_FAILURE}, {L"", WBEM_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    IWbemServices* services = reinterpret_cast<IWbemServices*>(0x1);
    HRESULT hr = locator->ConnectServer(CComBSTR(c.resource), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    EXPECT_EQ(hr, c.result) << c.resource;
    EXPECT_EQ(services != nullptr, SUCCEEDED(hr)) << c.resource;
    if (services) services->Release();
  }
}

TEST_F(ServiceTest, NextHandsOutBatchesAndSaysFalseAtTheEnd) {
  Serve(L"QZ_Part", 25);
  CComPtr<IEnumWbemClassObject> enumerator;
  ASSERT_EQ(Query(L"SELECT * FROM QZ_Part", &enumerator), WBEM_S_NO_ERROR);
  IWbemClassObject* batch[10] = {};
  std::vector<std::pair<HRESULT, ULONG>> calls;
  for (;;) {
    ULONG returned = 99;
    HRESULT hr = enumerator->Next(1000, 10, batch, &returned);
    calls.emplace_back(hr, returned);
    for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
    if (hr != WBEM_S_NO_ERROR) break;
  }
  EXPECT_EQ(calls, (std::vector<std::pair<HRESULT, ULONG>>{{WBEM_S_NO_ERROR, 10}, {WBEM_S_NO_ERROR, 10}, {WBEM_S_FALSE, 5}}));
  ULONG returned = 99;
  EXPECT_EQ(enumerator->Next(0, 1, batch, &returned), WBEM_S_FALSE);
  EXPECT_EQ(returned, 0u);
}

TEST_F(ServiceTest, NextTimesOutWithWhatHasArrived) {
  Serve(L"QZ_Part", 3, std::chrono::milliseconds(150));
  CComPtr<IEnumWbemClassObject> enumerator;
  ASSERT_EQ(Query(L"SELECT * FROM QZ_Part", &enumerator), WBEM_S_NO_ERROR);
  IWbemClassObject* batch[3] = {};
  ULONG returned = 99;
  auto start = Clock::now();
  EXPECT_EQ(enumerator->Next(200, 3, batch, &returned), WBEM_S_TIMEDOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(returned, 1u) << "the first object arrives at 150 ms, the second only at 300";
  for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
  EXPECT_EQ(enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 3, batch, &returned), WBEM_S_FALSE);
  EXPECT_EQ(returned, 2u);
  for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
  EXPECT_EQ(enumerator->Next(-2, 1, batch, &returned), WBEM_E_INVALID_PARAMETER);
}

TEST_F(ServiceTest, QueriesFilterAndProjectAcrossSubclasses) {
  Serve(L"QZ_Part", 3);
  Serve(L"QZ_Stick", 2);
  CComPtr<IEnumWbemClassObject> all;
  ASSERT_EQ(Query(L"SELECT * FROM QZ_Part WHERE Number >= 2", &all, 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(Drain(all, L"__CLASS"), (std::vector<std::wstring>{L"QZ_Part", L"QZ_Part", L"QZ_Stick"}));
  EXPECT_EQ(all->Reset(), WBEM_S_NO_ERROR);
  EXPECT_EQ(Drain(all, L"Number").size(), 3u) << "a stream that is not forward-only rewinds";

  CComPtr<IEnumWbemClassObject> projected;
  ASSERT_EQ(Query(L"SELECT Tag , Capacity FROM QZ_Stick WHERE Capacity = 8589934592", &projected), WBEM_S_NO_ERROR);
  IWbemClassObject* object = nullptr;
  ULONG returned = 0;
  ASSERT_EQ(projected->Next(0, 1, &object, &returned), WBEM_S_NO_ERROR);
  CComPtr<IWbemClassObject> first;
  first.Attach(object);
  CComVariant tag, capacity, number;
  EXPECT_EQ(first->Get(L"Tag", 0, &tag, nullptr, nullptr), WBEM_S_NO_ERROR);
  EXPECT_STREQ(tag.bstrVal, L"Board 1 DIMM 1");
  EXPECT_EQ(first->Get(L"Capacity", 0, &capacity, nullptr, nullptr), WBEM_S_NO_ERROR);
  EXPECT_STREQ(capacity.bstrVal, L"8589934592");
  EXPECT_EQ(first->Get(L"Number", 0, &number, nullptr, nullptr), WBEM_E_NOT_FOUND) << "not selected";

  struct Refused { const wchar_t* language; const wchar_t* query; HRESULT result; } refused[] = {
      {L"WQL", L"SELECT Bogus FROM QZ_Part", WBEM_E_INVALID_QUERY},
      {L"WQL", L"SELECT * FROM QZ_Part WHERE Bogus = 1", WBEM_E_INVALID_QUERY},
      {L"SQL", L"SELECT * FROM QZ_Part", WBEM_E_INVALID_QUERY_TYPE},
  };
  for (const Refused& r : refused) {
    IEnumWbemClassObject* enumerator = reinterpret_cast<IEnumWbemClassObject*>(0x1);
    EXPECT_EQ(m_Services->ExecQuery(CComBSTR(r.language), CComBSTR(r.query), 0, nullptr, &enumerator), r.result) << r.query;
    EXPECT_EQ(enumerator, nullptr);
  }
}

TEST_F(ServiceTest, MetaClassQueriesByNameFindThatClassInAnyCase) {
  struct Case { const wchar_t* query; std::vector<std::wstring> classes; } cases[] = {
      {L"SELECT * FROM meta_class WHERE __CLASS = 'QZ_Stick'", {L"QZ_Stick"}},
      {L"SELECT * FROM meta_class WHERE __class = \"qz_stick\"", {L"QZ_Stick"}},
      {L"SELECT * FROM meta_class WHERE 'QZ_PART' = __CLASS", {L"QZ_Part"}},
      {L"SELECT * FROM meta_class WHERE __CLASS = 'QZ_Gone'", {}},
      {L"SELECT * FROM meta_class WHERE __CLASS = 'QZ_Stick' OR __CLASS = 'QZ_Part'", {L"QZ_Part", L"QZ_Stick"}},
      {L"SELECT * FROM meta_class WHERE __SUPERCLASS = 'QZ_Part'", {L"QZ_Stick"}},
  };
  for (const Case& c : cases) {
    CComPtr<IEnumWbemClassObject> found;
    ASSERT_EQ(Query(c.query, &found, 0), WBEM_S_NO_ERROR) << c.query;
    EXPECT_EQ(Drain(found, L"__CLASS"), c.classes) << c.query;
  }
}

TEST_F(ServiceTest, NamespaceNamesIgnoreCaseAndSeparatorAndMustBeWellFormed) {
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

TEST_F(ServiceTest, GetObjectFindsClassesByNameOrPathAndInstancesByTheirKeys) {
  Serve(L"QZ_Part", 3);
  struct Case { const wchar_t* path; HRESULT result; const wchar_t* className; };
  const Case cases[] = {
      {L"QZ_Stick", WBEM_S_NO_ERROR, L"QZ_Stick"},
      {L"qz_stick", WBEM_S_NO_ERROR, L"QZ_Stick"},
      {L"__ExtendedStatus", WBEM_S_NO_ERROR, L"__ExtendedStatus"},
      {L"root\\wmi:QZ_Part", WBEM_E_NOT_FOUND, nullptr},
      {L"root\\nowhere:QZ_Part", WBEM_E_INVALID_NAMESPACE, nullptr},
      {L"QZ_Missing.Tag=\"1\"", WBEM_E_INVALID_CLASS, nullptr},
      {L"QZ_Stick.Tag=\"1\"", WBEM_E_NOT_FOUND, nullptr},  // no provider, no instances
      {L"QZ_Stick.Tag=\"1", WBEM_E_INVALID_OBJECT_PATH, nullptr},
      {L"QZ_Part.Tag=\"Board 1 DIMM 2\"", WBEM_S_NO_ERROR, L"QZ_Part"},
      {L"QZ_Part.Tag=\"board 1 dimm 2\"", WBEM_S_NO_ERROR, L"QZ_Part"},
      {L"\\\\.\\root\\VXN:QZ_Part.Tag=\"Board 1 DIMM 1\"", WBEM_S_NO_ERROR, L"QZ_Part"},
      {L"QZ_Part.Tag=\"Board 1 DIMM 4\"", WBEM_E_NOT_FOUND, nullptr},
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

TEST_F(ServiceTest, AClassWithoutAProviderHasNoInstances) {
  CComBSTR cls(L"QZ_Stick");
  IEnumWbemClassObject* enumerator = reinterpret_cast<IEnumWbemClassObject*>(0x1);
  EXPECT_EQ(m_Services->CreateInstanceEnum(cls, 0, nullptr, &enumerator), WBEM_S_NO_ERROR);
  ULONG returned = 1;
  IWbemClassObject* object = nullptr;
  EXPECT_EQ(enumerator->Next(0, 1, &object, &returned), WBEM_S_FALSE);
  EXPECT_EQ(returned, 0u);
  enumerator->Release();
}

}  // namespace
