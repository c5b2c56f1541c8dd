// Sinks that record what a provider hands them, and the test namespace.
#include "tests/support/WbemDoubles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "wbem/classobject.h"

namespace qztest {
namespace {

// The object as IUnknown or I, with a reference added; E_NOINTERFACE for anything else.
template <class I>
HRESULT Query(I* self, REFIID riid, void** ppv) {
  *ppv = riid == IID_IUnknown || riid == __uuidof(I) ? self : nullptr;
  if (!*ppv) return E_NOINTERFACE;
  self->AddRef();
  return S_OK;
}

}  // namespace

TestSink::~TestSink() {
  for (IWbemClassObject* object : objects) object->Release();
}

STDMETHODIMP TestSink::QueryInterface(REFIID riid, void** ppv) { return Query<IWbemObjectSink>(this, riid, ppv); }

STDMETHODIMP TestSink::Indicate(LONG count, IWbemClassObject** list) {
  ++indicates;
  for (IWbemClassObject* object : objects) object->Release();
  objects.clear();
  for (LONG i = 0; i < count; ++i) {
    list[i]->AddRef();
    objects.push_back(list[i]);
  }
  return indicateResult;
}

STDMETHODIMP TestSink::SetStatus(LONG flags, HRESULT result, BSTR, IWbemClassObject*) {
  EXPECT_EQ(flags, WBEM_STATUS_COMPLETE);
  EXPECT_EQ(statuses, 0) << "a second SetStatus";
  ++statuses;
  status = result;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP TestInitSink::QueryInterface(REFIID riid, void** ppv) {
  return Query<IWbemProviderInitSink>(this, riid, ppv);
}

HRESULT PutString(IWbemClassObject* object, const WCHAR* name, const std::wstring& value) {
  CComVariant v(value.c_str());
  return object->Put(name, 0, &v, 0);
}

HRESULT PutI4(IWbemClassObject* object, const WCHAR* name, LONG value) {
  CComVariant v(static_cast<int>(value));
  return object->Put(name, 0, &v, 0);
}

std::wstring GetString(IWbemClassObject* object, const WCHAR* name) {
  CComVariant v;
  if (FAILED(object->Get(name, 0, &v, nullptr, nullptr)) || v.vt != VT_BSTR) return L"<not a string>";
  return v.bstrVal ? v.bstrVal : L"";
}

std::vector<CComPtr<IWbemClassObject>> Instances(IWbemServices* services, const WCHAR* cls) {
  std::vector<CComPtr<IWbemClassObject>> instances;
  CComPtr<IEnumWbemClassObject> enumerator;
  EXPECT_EQ(services->CreateInstanceEnum(CComBSTR(cls), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator), S_OK) << cls;
  ULONG returned = 0;
  for (CComPtr<IWbemClassObject> instance; enumerator; instance.Release()) {
    if (enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &instance, &returned) != WBEM_S_NO_ERROR) break;
    instances.push_back(instance);
  }
  return instances;
}

namespace {

// A namespace that knows a few class definitions and answers nothing else.
class TestNamespace : public IWbemServices {
 public:
  explicit TestNamespace(bool withTestClass) {
    Add(qz::wbem::ClassBuilder(L"__ExtendedStatus").AddProperty(L"Description", CIM_STRING));
    if (withTestClass)
      Add(qz::wbem::ClassBuilder(L"QZ_Test").Namespace(L"root\\VXN", L"HOST").AddKey(L"CreationClassName", CIM_STRING)
              .AddKey(L"Tag", CIM_STRING).AddProperty(L"Number", CIM_UINT32));
  }
  virtual ~TestNamespace() {
    for (auto& entry : m_Classes) entry.second->Release();
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return Query<IWbemServices>(this, riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG count = --m_Refs;
    if (count == 0) delete this;
    return count;
  }
  STDMETHODIMP GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** object,
                         IWbemCallResult**) override {
    if (!object) return WBEM_E_INVALID_PARAMETER;
    *object = nullptr;
    for (auto& entry : m_Classes) {
      if (path && lstrcmpiW(entry.first.c_str(), path) == 0) {
        entry.second->AddRef();
        *object = entry.second;
        return WBEM_S_NO_ERROR;
      }
    }
    return WBEM_E_NOT_FOUND;
  }
#define QZ_REFUSE(signature) \
  STDMETHODIMP signature override { return WBEM_E_NOT_SUPPORTED; }
  QZ_REFUSE(OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**))
  QZ_REFUSE(CancelAsyncCall(IWbemObjectSink*))
  QZ_REFUSE(QueryObjectSink(LONG, IWbemObjectSink**))
  QZ_REFUSE(GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**))
  QZ_REFUSE(PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**))
  QZ_REFUSE(DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**))
  QZ_REFUSE(CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**))
  QZ_REFUSE(PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**))
  QZ_REFUSE(DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**))
  QZ_REFUSE(CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**))
  QZ_REFUSE(ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**))
  QZ_REFUSE(ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  QZ_REFUSE(ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**,
                       IWbemCallResult**))
  QZ_REFUSE(ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*))
#undef QZ_REFUSE

 private:
  void Add(const qz::wbem::ClassBuilder& builder) {
    IWbemClassObject* object = nullptr;
    EXPECT_EQ(builder.Create(&object), S_OK);
    m_Classes.emplace_back(GetString(object, L"__CLASS"), object);
  }

  std::atomic<ULONG> m_Refs{1};
  std::vector<std::pair<std::wstring, IWbemClassObject*>> m_Classes;
};

}  // namespace

IWbemServices* MakeTestNamespace() { return new TestNamespace(true); }
IWbemServices* MakeEmptyNamespace() { return new TestNamespace(false); }

std::wstring Describe(IWbemClassObject* object, const WCHAR* name) {
  CComVariant v;
  if (FAILED(object->Get(name, 0, &v, nullptr, nullptr))) return L"<no such property>";
  switch (v.vt) {
    case VT_NULL: return L"null";
    case VT_BSTR: return L"bstr:" + std::wstring(v.bstrVal ? v.bstrVal : L"");
    case VT_I4: return L"i4:" + std::to_wstring(v.lVal);
    case VT_BOOL:
      return v.boolVal == VARIANT_TRUE ? L"bool:true" : v.boolVal == VARIANT_FALSE ? L"bool:false" : L"bool:other";
    default: break;
  }
  const VARTYPE element = v.vt & ~VT_ARRAY;
  if (!(v.vt & VT_ARRAY) || (element != VT_I4 && element != VT_UI1 && element != VT_BSTR))
    return L"vt " + std::to_wstring(v.vt);
  std::wstring text = element == VT_I4 ? L"i4[" : element == VT_UI1 ? L"ui1[" : L"bstr[";
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(v.parray, 1, &lower);
  SafeArrayGetUBound(v.parray, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    LONG number = 0;
    BYTE byte = 0;
    BSTR string = nullptr;
    void* slot = element == VT_I4    ? static_cast<void*>(&number)
                 : element == VT_UI1 ? static_cast<void*>(&byte)
                                     : &string;
    SafeArrayGetElement(v.parray, &i, slot);
    text += (i > lower ? L"," : L"") + (element == VT_BSTR ? std::wstring(string ? string : L"")
                                                            : std::to_wstring(element == VT_I4 ? number : byte));
    SysFreeString(string);
  }
  return text + L"]";
}

}  // namespace qztest
