// IWbemClassObject: property values with WMI's type rules, system properties, names and
// enumeration, spawning instances and derived classes.
#include "wbem/classobject.h"

#include <algorithm>
#include <new>

namespace qz::wbem {
namespace {

enum class SystemId { Genus, Class, Superclass, Dynasty, Relpath, PropertyCount, Derivation, Server, Namespace, Path };
struct SystemProperty {
  std::wstring_view name;
  CIMTYPE type;
  SystemId id;
};
// In the order WMI lists them.
constexpr SystemProperty kSystemProperties[] = {
    {L"__GENUS", CIM_SINT32, SystemId::Genus},
    {L"__CLASS", CIM_STRING, SystemId::Class},
    {L"__SUPERCLASS", CIM_STRING, SystemId::Superclass},
    {L"__DYNASTY", CIM_STRING, SystemId::Dynasty},
    {L"__RELPATH", CIM_STRING, SystemId::Relpath},
    {L"__PROPERTY_COUNT", CIM_SINT32, SystemId::PropertyCount},
    {L"__DERIVATION", CIM_STRING | CIM_FLAG_ARRAY, SystemId::Derivation},
    {L"__SERVER", CIM_STRING, SystemId::Server},
    {L"__NAMESPACE", CIM_STRING, SystemId::Namespace},
    {L"__PATH", CIM_STRING, SystemId::Path},
};

// Hands a value over without copying it again.
void Give(CComVariant&& from, CComVariant* to) {
  to->Clear();
  to->Attach(&from);
}

// The CIM type a new class property gets from the value that creates it.
struct ImpliedType {
  VARTYPE vt;
  CIMTYPE type;
};
constexpr ImpliedType kImpliedTypes[] = {
    {VT_UI1, CIM_UINT8}, {VT_I2, CIM_SINT16}, {VT_I4, CIM_SINT32},  {VT_R4, CIM_REAL32},
    {VT_R8, CIM_REAL64}, {VT_BOOL, CIM_BOOLEAN}, {VT_BSTR, CIM_STRING}, {VT_UNKNOWN, CIM_OBJECT},
};

constexpr LONG kOriginFlags[] = {0, WBEM_FLAG_LOCAL_ONLY, WBEM_FLAG_PROPAGATED_ONLY, WBEM_FLAG_SYSTEM_ONLY,
                                 WBEM_FLAG_NONSYSTEM_ONLY};

CComVariant Text(const std::wstring& text) {
  if (text.empty()) {
    CComVariant null;
    null.vt = VT_NULL;
    return null;
  }
  return CComVariant(text.c_str());
}

HRESULT MakeNameArray(const std::vector<std::wstring>& names, SAFEARRAY** out) {
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
  *out = array;
  return WBEM_S_NO_ERROR;
}

}  // namespace

bool IsSystemPropertyName(std::wstring_view name) { return name.size() >= 2 && name[0] == L'_' && name[1] == L'_'; }

ClassObject::ClassObject(std::shared_ptr<const ClassDef> def, bool instance)
    : m_Def(std::move(def)), m_IsInstance(instance) {
  if (instance) m_Values.resize(m_Def->properties.size());
}

HRESULT ClassObject::Create(std::shared_ptr<const ClassDef> def, bool instance, IWbemClassObject** ppObject) {
  if (!ppObject) return WBEM_E_INVALID_PARAMETER;
  *ppObject = nullptr;
  if (!def) return WBEM_E_INVALID_PARAMETER;
  auto* object = new (std::nothrow) ClassObject(std::move(def), instance);
  if (!object) return WBEM_E_OUT_OF_MEMORY;
  *ppObject = object;
  return WBEM_S_NO_ERROR;
}

std::shared_ptr<const ClassDef> ClassObject::DefinitionOf(IWbemClassObject* object) {
  auto* own = dynamic_cast<ClassObject*>(object);
  if (!own) return nullptr;
  std::lock_guard<std::mutex> guard(own->m_Lock);
  return own->m_Def;
}

STDMETHODIMP ClassObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWbemClassObject) {
    *ppv = static_cast<IWbemClassObject*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassObject::AddRef() { return ++m_Refs; }

STDMETHODIMP_(ULONG) ClassObject::Release() {
  const ULONG refs = --m_Refs;
  if (refs == 0) delete this;
  return refs;
}

ClassDef& ClassObject::MutableDef() {
  // The object always moves to a copy of its own and the others keep what they had. Changing in
  // place when no one else seemed to hold the definition raced with instances that read it from
  // other threads (a shared_ptr's count is no lock); classes change only while they are defined,
  // so the copy costs little.
  auto copy = std::make_shared<ClassDef>(*m_Def);
  m_Def = copy;
  return *copy;
}

QualifierList& ClassObject::MutableQualifiers(int property) {
  ClassDef& def = MutableDef();
  if (property < 0) return def.qualifiers;
  return def.properties[static_cast<size_t>(property)].qualifiers;
}

const CComVariant& ClassObject::ValueOf(int property) const {
  const size_t index = static_cast<size_t>(property);
  if (m_IsInstance && m_Values[index].vt != VT_EMPTY) return m_Values[index];
  return m_Def->properties[index].value;
}

LONG ClassObject::PropertyFlavor(int property) const {
  const size_t index = static_cast<size_t>(property);
  // An instance's own value is local; one that comes from the class default is propagated.
  if (m_IsInstance) return m_Values[index].vt != VT_EMPTY ? WBEM_FLAVOR_ORIGIN_LOCAL : WBEM_FLAVOR_ORIGIN_PROPAGATED;
  return m_Def->properties[index].origin == m_Def->name ? WBEM_FLAVOR_ORIGIN_LOCAL : WBEM_FLAVOR_ORIGIN_PROPAGATED;
}

CComVariant ClassObject::RelativePath() const {
  CComVariant null;
  null.vt = VT_NULL;
  if (m_Def->name.empty()) return null;
  if (m_Def->IsSingleton()) return CComVariant((m_Def->name + L"=@").c_str());
  std::vector<int> keys;
  for (size_t i = 0; i < m_Def->properties.size(); ++i)
    if (m_Def->properties[i].IsKey()) keys.push_back(static_cast<int>(i));
  if (keys.empty()) return null;
  std::sort(keys.begin(), keys.end(), [this](int a, int b) {
    return LessNames(m_Def->properties[static_cast<size_t>(a)].name, m_Def->properties[static_cast<size_t>(b)].name);
  });
  // Every key must have a value: a path with a key missing names no instance.
  std::wstring path = m_Def->name + L".";
  for (size_t i = 0; i < keys.size(); ++i) {
    const PropertyDef& key = m_Def->properties[static_cast<size_t>(keys[i])];
    std::wstring value;
    if (!FormatKeyValue(key.type, ValueOf(keys[i]), &value)) return null;
    if (i) path += L",";
    path += key.name + L"=" + value;
  }
  return CComVariant(path.c_str());
}

bool ClassObject::GetSystemProperty(std::wstring_view name, CComVariant* value, CIMTYPE* type) const {
  const SystemProperty* found = nullptr;
  for (const SystemProperty& property : kSystemProperties)
    if (EqualNames(property.name, name)) found = &property;
  if (!found) return false;
  *type = found->type;
  const ClassDef& def = *m_Def;
  switch (found->id) {
    case SystemId::Genus:
      *value = m_IsInstance ? WBEM_GENUS_INSTANCE : WBEM_GENUS_CLASS;
      break;
    case SystemId::Class:
      Give(Text(def.name), value);
      break;
    case SystemId::Superclass:
      Give(Text(def.superclass), value);
      break;
    case SystemId::Dynasty:
      Give(Text(def.derivation.empty() ? def.name : def.derivation.back()), value);
      break;
    case SystemId::Relpath:
      Give(m_IsInstance ? RelativePath() : Text(def.name), value);
      break;
    case SystemId::PropertyCount:
      *value = static_cast<int>(def.properties.size());
      break;
    case SystemId::Derivation: {
      SAFEARRAY* names = nullptr;
      if (FAILED(MakeNameArray(def.derivation, &names))) return false;
      value->Clear();
      value->vt = VT_ARRAY | VT_BSTR;
      value->parray = names;
      break;
    }
    case SystemId::Server:
      Give(Text(def.server), value);
      break;
    case SystemId::Namespace:
      Give(Text(def.nameSpace), value);
      break;
    case SystemId::Path: {
      CComVariant relative = m_IsInstance ? RelativePath() : Text(def.name);
      if (relative.vt != VT_BSTR || def.server.empty() || def.nameSpace.empty()) {
        Give(Text(L""), value);
      } else {
        Give(CComVariant((L"\\\\" + def.server + L"\\" + def.nameSpace + L":" + relative.bstrVal).c_str()), value);
      }
      break;
    }
  }
  return true;
}

int ClassObject::IndexOf(std::wstring_view name) const {
  // Names are unique within a class, so the search may start where the last one ended (callers
  // mostly go through the properties in order) and wrap around.
  const std::vector<PropertyDef>& properties = m_Def->properties;
  const size_t count = properties.size();
  const size_t start = m_NextIndex < count ? m_NextIndex : 0;
  for (size_t step = 0; step < count; ++step) {
    const size_t i = start + step < count ? start + step : start + step - count;
    const std::wstring& candidate = properties[i].name;
    if (candidate.size() != name.size() || !EqualNames(candidate, name)) continue;
    m_NextIndex = i + 1;
    return static_cast<int>(i);
  }
  return -1;
}

HRESULT ClassObject::GetLocked(std::wstring_view name, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) const {
  CComVariant value;
  CIMTYPE type = CIM_EMPTY;
  LONG flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
  if (IsSystemPropertyName(name)) {
    if (!GetSystemProperty(name, &value, &type)) return WBEM_E_NOT_FOUND;
  } else {
    const int index = IndexOf(name);
    if (index < 0) return WBEM_E_NOT_FOUND;
    // The stored value is copied once, straight into the caller's VARIANT, and only when asked for.
    if (pVal) {
      VariantInit(pVal);  // an out parameter: what it held before is not cleared
      const CComVariant& stored = ValueOf(index);
      if (stored.vt == VT_EMPTY) {
        pVal->vt = VT_NULL;
      } else if (FAILED(VariantCopy(pVal, &stored))) {
        return WBEM_E_OUT_OF_MEMORY;
      }
    }
    if (pType) *pType = m_Def->properties[static_cast<size_t>(index)].type;
    if (plFlavor) *plFlavor = PropertyFlavor(index);
    return WBEM_S_NO_ERROR;
  }
  if (value.vt == VT_EMPTY) value.vt = VT_NULL;
  if (pVal) {
    // An out parameter: what it held before is not cleared.
    VariantInit(pVal);
    if (FAILED(value.Detach(pVal))) return WBEM_E_OUT_OF_MEMORY;
  }
  if (pType) *pType = type;
  if (plFlavor) *plFlavor = flavor;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP ClassObject::Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) {
  if (!wszName || (lFlags & ~WBEM_FLAG_USE_AMENDED_QUALIFIERS)) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(m_Lock);
  return GetLocked(wszName, pVal, pType, plFlavor);
}

STDMETHODIMP ClassObject::Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) {
  if (!wszName || (lFlags & ~WBEM_FLAG_USE_AMENDED_QUALIFIERS)) return WBEM_E_INVALID_PARAMETER;
  VARIANT null;
  null.vt = VT_NULL;
  const VARIANT& given = pVal ? *pVal : null;
  std::lock_guard<std::mutex> guard(m_Lock);
  const std::wstring_view name = wszName;
  if (IsSystemPropertyName(name)) {
    // The one system property that can be written: the name of a class being defined.
    if (!m_IsInstance && EqualNames(name, L"__CLASS") && given.vt == VT_BSTR && given.bstrVal &&
        SysStringLen(given.bstrVal) > 0) {
      ClassDef& def = MutableDef();
      for (PropertyDef& property : def.properties)
        if (property.origin == def.name) property.origin = given.bstrVal;
      def.name = given.bstrVal;
      return WBEM_S_NO_ERROR;
    }
    return WBEM_E_READ_ONLY;
  }
  const int index = IndexOf(name);  // providers mostly put the properties in their order
  if (index >= 0) {
    const PropertyDef& property = m_Def->properties[static_cast<size_t>(index)];
    if (Type != 0 && Type != property.type) return WBEM_E_TYPE_MISMATCH;
    CComVariant stored;
    HRESULT hr = CoerceToCimType(property.type, given, &stored);
    if (FAILED(hr)) return hr;
    // The coerced value is handed over, not copied again.
    CComVariant& target = m_IsInstance ? m_Values[static_cast<size_t>(index)]
                                       : MutableDef().properties[static_cast<size_t>(index)].value;
    target.Clear();
    return target.Attach(&stored);
  }
  if (m_IsInstance) return WBEM_E_NOT_FOUND;

  // A class gains a property: of the type given, or else of the value's own type.
  CIMTYPE type = Type;
  if (type == 0) {
    for (const ImpliedType& implied : kImpliedTypes)
      if (implied.vt == (given.vt & VT_TYPEMASK)) type = implied.type | ((given.vt & VT_ARRAY) ? CIM_FLAG_ARRAY : 0);
    if (type == 0) return WBEM_E_TYPE_MISMATCH;
  }
  std::shared_ptr<const ClassDef> grown = ClassBuilder(L"X").Superclass(*m_Def).AddProperty(wszName, type).Build();
  if (!grown) return WBEM_E_INVALID_PROPERTY;
  CComVariant stored;
  HRESULT hr = CoerceToCimType(type, given, &stored);
  if (FAILED(hr)) return hr;
  PropertyDef property = grown->properties.back();
  property.origin = m_Def->name;
  property.value = stored;
  MutableDef().properties.push_back(std::move(property));
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP ClassObject::Delete(LPCWSTR wszName) {
  if (!wszName) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(m_Lock);
  if (IsSystemPropertyName(wszName)) return WBEM_E_SYSTEM_PROPERTY;
  const int index = m_Def->FindProperty(wszName);
  if (index < 0) return WBEM_E_NOT_FOUND;
  const size_t at = static_cast<size_t>(index);
  if (m_IsInstance) {
    m_Values[at].Clear();
    return m_Def->properties[at].value.vt != VT_EMPTY ? WBEM_S_RESET_TO_DEFAULT : WBEM_S_NO_ERROR;
  }
  if (m_Def->properties[at].origin != m_Def->name) return WBEM_E_PROPAGATED_PROPERTY;
  ClassDef& def = MutableDef();
  def.properties.erase(def.properties.begin() + index);
  return WBEM_S_NO_ERROR;
}

bool ClassObject::SelectNames(LONG flags, LPCWSTR qualifier, const VARIANT* qualifierValue,
                              std::vector<std::wstring>* names) const {
  constexpr LONG kKnown =
      WBEM_MASK_PRIMARY_CONDITION | WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY | WBEM_MASK_CONDITION_ORIGIN |
      WBEM_MASK_CLASS_CONDITION;
  if (flags & ~kKnown) return false;
  const LONG origin = flags & WBEM_MASK_CONDITION_ORIGIN;
  if (std::find(std::begin(kOriginFlags), std::end(kOriginFlags), origin) == std::end(kOriginFlags)) return false;
  const LONG primary = flags & WBEM_MASK_PRIMARY_CONDITION;
  if (primary != WBEM_FLAG_ALWAYS && !qualifier) return false;
  CComVariant wanted;
  if (primary == WBEM_FLAG_ONLY_IF_IDENTICAL && (!qualifierValue || FAILED(CoerceQualifierValue(*qualifierValue, &wanted))))
    return false;
  const bool keysOnly = flags & WBEM_FLAG_KEYS_ONLY;
  const bool refsOnly = flags & WBEM_FLAG_REFS_ONLY;

  names->clear();
  // System properties have no qualifiers and are neither keys nor references.
  if ((origin == 0 || origin == WBEM_FLAG_SYSTEM_ONLY) && primary == WBEM_FLAG_ALWAYS && !keysOnly && !refsOnly)
    for (const SystemProperty& property : kSystemProperties) names->emplace_back(property.name);
  if (origin == WBEM_FLAG_SYSTEM_ONLY) return true;
  for (const PropertyDef& property : m_Def->properties) {
    const bool local = property.origin == m_Def->name;
    if (origin == WBEM_FLAG_LOCAL_ONLY && !local) continue;
    if (origin == WBEM_FLAG_PROPAGATED_ONLY && local) continue;
    if (keysOnly && !property.IsKey()) continue;
    if (refsOnly && (property.type & ~CIM_FLAG_ARRAY) != CIM_REFERENCE) continue;
    if (primary != WBEM_FLAG_ALWAYS) {
      const Qualifier* found = FindQualifier(property.qualifiers, qualifier);
      if (primary == WBEM_FLAG_ONLY_IF_TRUE && !found) continue;
      if (primary == WBEM_FLAG_ONLY_IF_FALSE && found) continue;
      if (primary == WBEM_FLAG_ONLY_IF_IDENTICAL && (!found || !EqualValues(found->value, wanted, false))) continue;
    }
    names->push_back(property.name);
  }
  return true;
}

STDMETHODIMP ClassObject::GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal, SAFEARRAY** pNames) {
  if (!pNames) return WBEM_E_INVALID_PARAMETER;
  std::vector<std::wstring> names;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!SelectNames(lFlags, wszQualifierName, pQualifierVal, &names)) return WBEM_E_INVALID_PARAMETER;
  }
  return MakeNameArray(names, pNames);
}

STDMETHODIMP ClassObject::BeginEnumeration(LONG lEnumFlags) {
  constexpr LONG kAllowed = WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY | WBEM_MASK_CONDITION_ORIGIN;
  if (lEnumFlags & ~kAllowed) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(m_Lock);
  std::vector<std::wstring> names;
  if (!SelectNames(lEnumFlags, nullptr, nullptr, &names)) return WBEM_E_INVALID_PARAMETER;
  m_EnumNames = std::move(names);
  m_EnumPosition = 0;
  m_Enumerating = true;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP ClassObject::Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) {
  if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(m_Lock);
  if (!m_Enumerating) return WBEM_E_UNEXPECTED;
  while (m_EnumPosition < m_EnumNames.size()) {
    const std::wstring& name = m_EnumNames[m_EnumPosition++];
    // A property deleted since BeginEnumeration is skipped.
    VARIANT value;
    VariantInit(&value);
    CIMTYPE type = CIM_EMPTY;
    LONG flavor = 0;
    if (FAILED(GetLocked(name, pVal ? &value : nullptr, &type, &flavor))) continue;
    if (strName) {
      *strName = SysAllocString(name.c_str());
      if (!*strName) {
        VariantClear(&value);
        return WBEM_E_OUT_OF_MEMORY;
      }
    }
    if (pVal) *pVal = value;
    if (pType) *pType = type;
    if (plFlavor) *plFlavor = flavor;
    return WBEM_S_NO_ERROR;
  }
  return WBEM_S_NO_MORE_DATA;
}

STDMETHODIMP ClassObject::EndEnumeration() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Enumerating = false;
  m_EnumNames.clear();
  m_EnumPosition = 0;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP ClassObject::GetPropertyQualifierSet(LPCWSTR wszProperty, IWbemQualifierSet** ppQualSet) {
  if (!wszProperty || !ppQualSet) return WBEM_E_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (IsSystemPropertyName(wszProperty)) return WBEM_E_SYSTEM_PROPERTY;
    if (m_Def->FindProperty(wszProperty) < 0) return WBEM_E_NOT_FOUND;
  }
  return CreateQualifierSet(this, wszProperty, ppQualSet);
}

STDMETHODIMP ClassObject::GetQualifierSet(IWbemQualifierSet** ppQualSet) {
  if (!ppQualSet) return WBEM_E_INVALID_PARAMETER;
  return CreateQualifierSet(this, L"", ppQualSet);
}

STDMETHODIMP ClassObject::Clone(IWbemClassObject** ppCopy) {
  if (!ppCopy) return WBEM_E_INVALID_PARAMETER;
  *ppCopy = nullptr;
  std::lock_guard<std::mutex> guard(m_Lock);
  auto* copy = new (std::nothrow) ClassObject(m_Def, m_IsInstance);
  if (!copy) return WBEM_E_OUT_OF_MEMORY;
  copy->m_Values = m_Values;
  *ppCopy = copy;
  return WBEM_S_NO_ERROR;
}

STDMETHODIMP ClassObject::SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) {
  if (lFlags != 0 || !ppNewClass) return WBEM_E_INVALID_PARAMETER;
  *ppNewClass = nullptr;
  std::shared_ptr<const ClassDef> parent;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_IsInstance) return WBEM_E_INVALID_OPERATION;
    if (m_Def->name.empty()) return WBEM_E_INCOMPLETE_CLASS;
    parent = m_Def;
  }
  HRESULT hr = WBEM_S_NO_ERROR;
  std::shared_ptr<const ClassDef> built = ClassBuilder(L"X").Superclass(*parent).Build(&hr);
  if (!built) return hr;
  // The new class is nameless until its __CLASS is put.
  auto derived = std::make_shared<ClassDef>(*built);
  derived->name.clear();
  return Create(std::move(derived), false, ppNewClass);
}

STDMETHODIMP ClassObject::SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) {
  if (lFlags != 0 || !ppNewInstance) return WBEM_E_INVALID_PARAMETER;
  *ppNewInstance = nullptr;
  std::shared_ptr<const ClassDef> def;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    // Only a complete class has instances: not an instance, not a class still without a name.
    if (m_IsInstance || m_Def->name.empty()) return WBEM_E_INCOMPLETE_CLASS;
    def = m_Def;
  }
  return Create(std::move(def), true, ppNewInstance);
}

STDMETHODIMP ClassObject::GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) {
  if (!wszName || !pstrClassName) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(m_Lock);
  std::wstring origin;
  if (IsSystemPropertyName(wszName)) {
    CComVariant ignored;
    CIMTYPE type = CIM_EMPTY;
    if (!GetSystemProperty(wszName, &ignored, &type)) return WBEM_E_NOT_FOUND;
    origin = L"___SYSTEM";
  } else {
    const int index = m_Def->FindProperty(wszName);
    if (index < 0) return WBEM_E_NOT_FOUND;
    origin = m_Def->properties[static_cast<size_t>(index)].origin;
  }
  *pstrClassName = SysAllocString(origin.c_str());
  return *pstrClassName ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
}

STDMETHODIMP ClassObject::InheritsFrom(LPCWSTR strAncestor) {
  if (!strAncestor) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(m_Lock);
  for (const std::wstring& ancestor : m_Def->derivation)
    if (EqualNames(ancestor, strAncestor)) return WBEM_S_NO_ERROR;
  return WBEM_S_FALSE;
}

// The service's classes have no methods.
STDMETHODIMP ClassObject::GetMethod(LPCWSTR wszName, LONG, IWbemClassObject** ppInSignature,
                                    IWbemClassObject** ppOutSignature) {
  if (!wszName) return WBEM_E_INVALID_PARAMETER;
  if (ppInSignature) *ppInSignature = nullptr;
  if (ppOutSignature) *ppOutSignature = nullptr;
  return WBEM_E_NOT_FOUND;
}

STDMETHODIMP ClassObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) {
  return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP ClassObject::DeleteMethod(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP ClassObject::BeginMethodEnumeration(LONG) { return WBEM_S_NO_ERROR; }

STDMETHODIMP ClassObject::NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) {
  return WBEM_S_NO_MORE_DATA;
}

STDMETHODIMP ClassObject::EndMethodEnumeration() { return WBEM_S_NO_ERROR; }

STDMETHODIMP ClassObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet** ppQualSet) {
  if (ppQualSet) *ppQualSet = nullptr;
  return WBEM_E_NOT_FOUND;
}

STDMETHODIMP ClassObject::GetMethodOrigin(LPCWSTR, BSTR*) { return WBEM_E_NOT_FOUND; }

}  // namespace qz::wbem
