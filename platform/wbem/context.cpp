// IWbemContext (CLSID_WbemContext): the named values that travel with a WMI request.
#include <atlbase.h>
#include <wbemcli.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ole32/comobject.h"
#include "wbem/classobject.h"

namespace qz::wbem {
namespace {

struct NamedValue {
  std::wstring name;
  CComVariant value;
};

class WbemContext : public ComObject<IWbemContext> {
 public:
  STDMETHODIMP Clone(IWbemContext** ppNewCopy) override {
    if (!ppNewCopy) return WBEM_E_INVALID_PARAMETER;
    *ppNewCopy = nullptr;
    auto* copy = new (std::nothrow) WbemContext;
    if (!copy) return WBEM_E_OUT_OF_MEMORY;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      copy->m_Values = m_Values;
    }
    *ppNewCopy = copy;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP GetNames(LONG lFlags, SAFEARRAY** pNames) override {
    if (lFlags != 0 || !pNames) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    SAFEARRAY* names = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(m_Values.size()));
    if (!names) return WBEM_E_OUT_OF_MEMORY;
    for (size_t i = 0; i < m_Values.size(); ++i) {
      CComBSTR name(m_Values[i].name.c_str());
      LONG index = static_cast<LONG>(i);
      if (!name.m_str || FAILED(SafeArrayPutElement(names, &index, name.m_str))) {
        SafeArrayDestroy(names);
        return WBEM_E_OUT_OF_MEMORY;
      }
    }
    *pNames = names;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP BeginEnumeration(LONG lFlags) override {
    if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Enumerating = true;
    m_EnumPosition = 0;
    return WBEM_S_NO_ERROR;
  }

  // Walks the values in the order they were first set; values deleted meanwhile are skipped.
  STDMETHODIMP Next(LONG lFlags, BSTR* pstrName, VARIANT* pValue) override {
    if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Enumerating) return WBEM_E_UNEXPECTED;
    if (m_EnumPosition >= m_Values.size()) return WBEM_S_NO_MORE_DATA;
    const NamedValue& entry = m_Values[m_EnumPosition];
    BSTR name = nullptr;
    if (pstrName) {
      name = SysAllocString(entry.name.c_str());
      if (!name) return WBEM_E_OUT_OF_MEMORY;
    }
    if (pValue) {
      VariantInit(pValue);
      if (FAILED(VariantCopy(pValue, &entry.value))) {
        SysFreeString(name);
        return WBEM_E_OUT_OF_MEMORY;
      }
    }
    if (pstrName) *pstrName = name;
    ++m_EnumPosition;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP EndEnumeration() override {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Enumerating = false;
    m_EnumPosition = 0;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP SetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pValue) override {
    if (!wszName || !*wszName || lFlags != 0 || !pValue) return WBEM_E_INVALID_PARAMETER;
    CComVariant value;
    if (FAILED(value.Copy(pValue))) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    if (NamedValue* existing = Find(wszName)) {
      existing->value = value;
      return WBEM_S_NO_ERROR;
    }
    m_Values.push_back(NamedValue{wszName, value});
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP GetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pValue) override {
    if (!wszName || lFlags != 0 || !pValue) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    const NamedValue* existing = Find(wszName);
    if (!existing) return WBEM_E_NOT_FOUND;
    VariantInit(pValue);
    return SUCCEEDED(VariantCopy(pValue, &existing->value)) ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
  }

  // Deleting a name that is not there is not an error: afterwards it is not there either way.
  STDMETHODIMP DeleteValue(LPCWSTR wszName, LONG lFlags) override {
    if (!wszName || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    for (size_t i = 0; i < m_Values.size(); ++i) {
      if (!EqualNames(m_Values[i].name, wszName)) continue;
      m_Values.erase(m_Values.begin() + static_cast<std::ptrdiff_t>(i));
      if (m_EnumPosition > i) --m_EnumPosition;
      break;
    }
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP DeleteAll() override {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Values.clear();
    m_EnumPosition = 0;
    return WBEM_S_NO_ERROR;
  }

 private:
  virtual ~WbemContext() = default;

  NamedValue* Find(std::wstring_view name) {
    for (NamedValue& entry : m_Values)
      if (EqualNames(entry.name, name)) return &entry;
    return nullptr;
  }

  std::mutex m_Lock;
  std::vector<NamedValue> m_Values;
  bool m_Enumerating = false;
  size_t m_EnumPosition = 0;
};

const bool g_Registered = [] {
  CoRegisterBuiltinClass(CLSID_WbemContext, &BuiltinClassFactory<&CreateComObject<WbemContext>>::GetClassObject);
  return true;
}();

}  // namespace
}  // namespace qz::wbem
