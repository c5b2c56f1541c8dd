// IWbemQualifierSet: the qualifiers of a class, an instance or one of their properties, as the
// object that owns them sees them.
#include <new>

#include "wbem/classobject.h"

namespace qz::wbem {
namespace {

constexpr LONG kOriginFilters = WBEM_FLAG_LOCAL_ONLY | WBEM_FLAG_PROPAGATED_ONLY;

// CIM types that can carry the key qualifier.
bool CanBeKey(CIMTYPE type) {
  if (type & CIM_FLAG_ARRAY) return false;
  return type != CIM_REAL32 && type != CIM_REAL64 && type != CIM_OBJECT;
}

class QualifierSet : public IWbemQualifierSet {
 public:
  QualifierSet(ClassObject* owner, std::wstring property) : m_Owner(owner), m_Property(std::move(property)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWbemQualifierSet) {
      *ppv = static_cast<IWbemQualifierSet*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_Refs;
    if (refs == 0) delete this;
    return refs;
  }

  STDMETHODIMP Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, LONG* plFlavor) override {
    if (!wszName || (lFlags & ~WBEM_FLAG_USE_AMENDED_QUALIFIERS)) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Owner->Lock());
    const QualifierList* list = Qualifiers();
    if (!list) return WBEM_E_NOT_FOUND;
    const Qualifier* qualifier = FindQualifier(*list, wszName);
    if (!qualifier || !Visible(*qualifier)) return WBEM_E_NOT_FOUND;
    if (pVal) {
      VariantInit(pVal);
      if (FAILED(VariantCopy(pVal, &qualifier->value))) return WBEM_E_OUT_OF_MEMORY;
    }
    if (plFlavor) *plFlavor = Flavor(*qualifier);
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP Put(LPCWSTR wszName, VARIANT* pVal, LONG lFlavor) override {
    if (!wszName || !pVal) return WBEM_E_INVALID_PARAMETER;
    constexpr LONG kSettable = WBEM_FLAVOR_MASK_PROPAGATION | WBEM_FLAVOR_NOT_OVERRIDABLE | WBEM_FLAVOR_AMENDED;
    if (lFlavor & ~kSettable) return WBEM_E_INVALID_FLAVOR;
    // The CIMTYPE qualifier follows the property's type and is not set by hand.
    if (EqualNames(wszName, L"CIMTYPE")) return WBEM_E_INVALID_PARAMETER;
    CComVariant value;
    HRESULT hr = CoerceQualifierValue(*pVal, &value);
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> guard(m_Owner->Lock());
    int property = -1;
    if (!Resolve(&property)) return WBEM_E_NOT_FOUND;
    if (property >= 0 && EqualNames(wszName, L"key") &&
        !CanBeKey(m_Owner->Def().properties[static_cast<size_t>(property)].type))
      return WBEM_E_CANNOT_BE_KEY;
    const QualifierList& current = Qualifiers(property);
    if (const Qualifier* existing = FindQualifier(current, wszName)) {
      const bool fromAbove = m_Owner->IsInstance() ? !existing->instanceLocal : existing->inherited;
      if (fromAbove && (existing->flavor & WBEM_FLAVOR_NOT_OVERRIDABLE)) return WBEM_E_OVERRIDE_NOT_ALLOWED;
    }
    QualifierList& list = m_Owner->MutableQualifiers(property);
    Qualifier* target = FindQualifier(list, wszName);
    if (!target) {
      list.push_back(Qualifier{});
      target = &list.back();
      target->name = wszName;
    }
    target->value = value;
    target->flavor = lFlavor;
    target->inherited = false;
    target->instanceLocal = m_Owner->IsInstance();
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP Delete(LPCWSTR wszName) override {
    if (!wszName) return WBEM_E_INVALID_PARAMETER;
    if (EqualNames(wszName, L"CIMTYPE")) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Owner->Lock());
    int property = -1;
    if (!Resolve(&property)) return WBEM_E_NOT_FOUND;
    const Qualifier* existing = FindQualifier(Qualifiers(property), wszName);
    if (!existing || !Visible(*existing)) return WBEM_E_NOT_FOUND;
    if (m_Owner->IsInstance() ? !existing->instanceLocal : existing->inherited) return WBEM_E_PROPAGATED_QUALIFIER;
    QualifierList& list = m_Owner->MutableQualifiers(property);
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (EqualNames(it->name, wszName)) {
        list.erase(it);
        break;
      }
    }
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP GetNames(LONG lFlags, SAFEARRAY** pNames) override {
    if (!pNames || (lFlags & ~kOriginFilters) || lFlags == kOriginFilters) return WBEM_E_INVALID_PARAMETER;
    std::vector<std::wstring> names;
    {
      std::lock_guard<std::mutex> guard(m_Owner->Lock());
      if (!SelectNames(lFlags, &names)) return WBEM_E_NOT_FOUND;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(names.size()));
    if (!array) return WBEM_E_OUT_OF_MEMORY;
    for (size_t i = 0; i < names.size(); ++i) {
      CComBSTR name(names[i].c_str());
      LONG index = static_cast<LONG>(i);
      if (!name.m_str || FAILED(SafeArrayPutElement(array, &index, name.m_str))) {
        SafeArrayDestroy(array);
        return WBEM_E_OUT_OF_MEMORY;
      }
    }
    *pNames = array;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP BeginEnumeration(LONG lFlags) override {
    if ((lFlags & ~kOriginFilters) || lFlags == kOriginFilters) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Owner->Lock());
    std::vector<std::wstring> names;
    if (!SelectNames(lFlags, &names)) return WBEM_E_NOT_FOUND;
    std::lock_guard<std::mutex> own(m_EnumLock);
    m_EnumNames = std::move(names);
    m_EnumPosition = 0;
    m_Enumerating = true;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP Next(LONG lFlags, BSTR* pstrName, VARIANT* pVal, LONG* plFlavor) override {
    if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::wstring name;
    {
      std::lock_guard<std::mutex> own(m_EnumLock);
      if (!m_Enumerating) return WBEM_E_UNEXPECTED;
      if (m_EnumPosition >= m_EnumNames.size()) return WBEM_S_NO_MORE_DATA;
      name = m_EnumNames[m_EnumPosition++];
    }
    VARIANT value;
    VariantInit(&value);
    LONG flavor = 0;
    HRESULT hr = Get(name.c_str(), 0, pVal ? &value : nullptr, &flavor);
    if (FAILED(hr)) return hr;
    if (pstrName) {
      *pstrName = SysAllocString(name.c_str());
      if (!*pstrName) {
        VariantClear(&value);
        return WBEM_E_OUT_OF_MEMORY;
      }
    }
    if (pVal) *pVal = value;
    if (plFlavor) *plFlavor = flavor;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP EndEnumeration() override {
    std::lock_guard<std::mutex> own(m_EnumLock);
    m_Enumerating = false;
    m_EnumNames.clear();
    return WBEM_S_NO_ERROR;
  }

 private:
  virtual ~QualifierSet() = default;

  // The index of the property (-1 for the object's own qualifiers); false when it is gone.
  bool Resolve(int* property) const {
    if (m_Property.empty()) {
      *property = -1;
      return true;
    }
    *property = m_Owner->Def().FindProperty(m_Property);
    return *property >= 0;
  }
  const QualifierList& Qualifiers(int property) const {
    if (property < 0) return m_Owner->Def().qualifiers;
    return m_Owner->Def().properties[static_cast<size_t>(property)].qualifiers;
  }
  const QualifierList* Qualifiers() const {
    int property = -1;
    return Resolve(&property) ? &Qualifiers(property) : nullptr;
  }
  // An instance sees the qualifiers of its class that propagate to instances, and its own.
  bool Visible(const Qualifier& qualifier) const {
    if (!m_Owner->IsInstance()) return true;
    return qualifier.instanceLocal || (qualifier.flavor & WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE);
  }
  LONG Flavor(const Qualifier& qualifier) const {
    const bool propagated = m_Owner->IsInstance() ? !qualifier.instanceLocal : qualifier.inherited;
    return qualifier.flavor | (propagated ? WBEM_FLAVOR_ORIGIN_PROPAGATED : WBEM_FLAVOR_ORIGIN_LOCAL);
  }
  bool SelectNames(LONG flags, std::vector<std::wstring>* names) const {
    const QualifierList* list = Qualifiers();
    if (!list) return false;
    for (const Qualifier& qualifier : *list) {
      if (!Visible(qualifier)) continue;
      const bool propagated = Flavor(qualifier) & WBEM_FLAVOR_ORIGIN_PROPAGATED;
      if ((flags & WBEM_FLAG_LOCAL_ONLY) && propagated) continue;
      if ((flags & WBEM_FLAG_PROPAGATED_ONLY) && !propagated) continue;
      names->push_back(qualifier.name);
    }
    return true;
  }

  std::atomic<ULONG> m_Refs{1};
  CComPtr<ClassObject> m_Owner;
  std::wstring m_Property;
  std::mutex m_EnumLock;
  bool m_Enumerating = false;
  std::vector<std::wstring> m_EnumNames;
  size_t m_EnumPosition = 0;
};

}  // namespace

HRESULT CreateQualifierSet(ClassObject* owner, std::wstring property, IWbemQualifierSet** ppQualSet) {
  if (!owner || !ppQualSet) return WBEM_E_INVALID_PARAMETER;
  *ppQualSet = nullptr;
  auto* set = new (std::nothrow) QualifierSet(owner, std::move(property));
  if (!set) return WBEM_E_OUT_OF_MEMORY;
  *ppQualSet = set;
  return WBEM_S_NO_ERROR;
}

}  // namespace qz::wbem
