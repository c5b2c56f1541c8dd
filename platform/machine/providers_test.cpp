// The machine's journal class as a client reads it, as the machine description shapes it (the
// computer system and chassis are resolved by the namespace coherence test, the data store and the
// raw SMBIOS table through the sources' own tests).
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <qzplatform.h>
#include <wbemidl.h>
#include <atlbase.h>

#include <string>
#include <vector>


namespace {

class MachineClasses : public testing::Test {
 protected:
  void Load(const std::string& json) {
    char error[256] = {};
    ASSERT_TRUE(QzLoadMachineText(json.c_str(), "classes.json", error, sizeof error)) << error;
  }

  std::vector<CComPtr<IWbemClassObject>> Query(const wchar_t* nameSpace, const wchar_t* query) {
    std::vector<CComPtr<IWbemClassObject>> objects;
    CComPtr<IWbemLocator> locator;
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&locator)),
              S_OK);
    CComPtr<IWbemServices> services;
    EXPECT_EQ(locator->ConnectServer(CComBSTR(nameSpace), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services), S_OK);
    CComPtr<IEnumWbemClassObject> enumerator;
    EXPECT_EQ(services->ExecQuery(CComBSTR(L"WQL"), CComBSTR(query), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator), S_OK);
    if (!enumerator) return objects;
    for (;;) {
      CComPtr<IWbemClassObject> object;
      ULONG returned = 0;
      enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &object, &returned);
      if (!returned) break;
      objects.push_back(object);
    }
    return objects;
  }

  static std::wstring Text(IWbemClassObject* object, const wchar_t* name) {
    CComVariant value;
    if (FAILED(object->Get(name, 0, &value, nullptr, nullptr)) || value.vt != VT_BSTR) return L"(none)";
    return value.bstrVal;
  }
};

TEST_F(MachineClasses, JournalEntriesAreNumberedInOrder) {
  Load(R"({"name": "j", "journal": [{"severity": 2, "rawData": "00"},
                                     {"severity": 5, "rawData": "0102030405", "description": "Memory failure"}]})");
  auto entries = Query(L"root\\VXN", L"SELECT * FROM QZ_CommonLogEntry WHERE Severity > 3");
  ASSERT_EQ(entries.size(), 1u);
  CComVariant record;
  entries[0]->Get(L"RecordNumber", 0, &record, nullptr, nullptr);
  EXPECT_EQ(record.lVal, 2);
  EXPECT_EQ(Text(entries[0], L"Description"), L"Memory failure");
  EXPECT_EQ(Text(entries[0], L"__RELPATH"), L"QZ_CommonLogEntry.RecordNumber=2");
}

}  // namespace
