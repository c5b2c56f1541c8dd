// Class definitions: lookups in them and their construction in code with ClassBuilder.
#include <cwctype>

#include "wbem/classobject.h"

namespace qz::wbem {
namespace {

// Class, property and qualifier names: a letter or underscore, then letters, digits, underscores.
bool IsValidName(std::wstring_view name) {
  if (name.empty()) return false;
  if (!(std::iswalpha(name[0]) || name[0] == L'_')) return false;
  for (wchar_t c : name)
    if (!(std::iswalnum(c) || c == L'_')) return false;
  return true;
}

bool IsSystemName(std::wstring_view name) { return name.size() >= 2 && name[0] == L'_' && name[1] == L'_'; }

CComVariant BoolValue(bool flag) { return CComVariant(flag); }

}  // namespace

const Qualifier* FindQualifier(const QualifierList& list, std::wstring_view name) {
  for (const Qualifier& qualifier : list)
    if (EqualNames(qualifier.name, name)) return &qualifier;
  return nullptr;
}

Qualifier* FindQualifier(QualifierList& list, std::wstring_view name) {
  for (Qualifier& qualifier : list)
    if (EqualNames(qualifier.name, name)) return &qualifier;
  return nullptr;
}

bool PropertyDef::IsKey() const {
  const Qualifier* key = FindQualifier(qualifiers, L"key");
  return key && key->value.vt == VT_BOOL && key->value.boolVal != VARIANT_FALSE;
}

int ClassDef::FindProperty(std::wstring_view property) const {
  for (size_t i = 0; i < properties.size(); ++i)
    if (properties[i].name.size() == property.size() && EqualNames(properties[i].name, property))
      return static_cast<int>(i);
  return -1;
}

bool ClassDef::IsSingleton() const {
  const Qualifier* singleton = FindQualifier(qualifiers, L"singleton");
  return singleton && singleton->value.vt == VT_BOOL && singleton->value.boolVal != VARIANT_FALSE;
}

ClassBuilder::ClassBuilder(std::wstring name) {
  if (!IsValidName(name)) m_Error = WBEM_E_INVALID_CLASS;
  m_Def.name = std::move(name);
}

ClassBuilder& ClassBuilder::Superclass(IWbemClassObject* parent) {
  std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(parent);
  if (!def) {
    m_Error = WBEM_E_INVALID_SUPERCLASS;
    return *this;
  }
  return Superclass(*def);
}

ClassBuilder& ClassBuilder::Superclass(const ClassDef& parent) {
  m_Def.superclass = parent.name;
  m_Def.derivation.clear();
  m_Def.derivation.push_back(parent.name);
  m_Def.derivation.insert(m_Def.derivation.end(), parent.derivation.begin(), parent.derivation.end());
  if (m_Def.nameSpace.empty()) {
    m_Def.nameSpace = parent.nameSpace;
    m_Def.server = parent.server;
  }
  // What reaches a derived class: the qualifiers flavoured for it, and every property.
  auto inherit = [](const QualifierList& from, QualifierList* to) {
    for (const Qualifier& qualifier : from) {
      if (!(qualifier.flavor & WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS)) continue;
      if (FindQualifier(*to, qualifier.name)) continue;
      Qualifier copy = qualifier;
      copy.inherited = true;
      copy.instanceLocal = false;
      to->push_back(std::move(copy));
    }
  };
  inherit(parent.qualifiers, &m_Def.qualifiers);
  std::vector<PropertyDef> properties;
  for (const PropertyDef& property : parent.properties) {
    PropertyDef copy;
    copy.name = property.name;
    copy.type = property.type;
    copy.value = property.value;
    copy.origin = property.origin;
    inherit(property.qualifiers, &copy.qualifiers);
    properties.push_back(std::move(copy));
  }
  for (PropertyDef& own : m_Def.properties) {
    if (parent.FindProperty(own.name) >= 0) {
      m_Error = WBEM_E_ALREADY_EXISTS;
      continue;
    }
    properties.push_back(std::move(own));
  }
  m_Def.properties = std::move(properties);
  m_Current = -1;
  return *this;
}

ClassBuilder& ClassBuilder::Namespace(std::wstring nameSpace, std::wstring server) {
  m_Def.nameSpace = std::move(nameSpace);
  m_Def.server = std::move(server);
  return *this;
}

namespace {

void PutQualifier(QualifierList* list, std::wstring name, const VARIANT& value, LONG flavor, HRESULT* error) {
  if (!IsValidName(name)) {
    *error = WBEM_E_INVALID_QUALIFIER;
    return;
  }
  CComVariant stored;
  HRESULT hr = CoerceQualifierValue(value, &stored);
  if (FAILED(hr)) {
    *error = hr;
    return;
  }
  Qualifier* existing = FindQualifier(*list, name);
  if (existing && existing->inherited && (existing->flavor & WBEM_FLAVOR_NOT_OVERRIDABLE)) {
    *error = WBEM_E_OVERRIDE_NOT_ALLOWED;
    return;
  }
  if (!existing) {
    list->push_back(Qualifier{});
    existing = &list->back();
  }
  existing->name = std::move(name);
  existing->value = stored;
  existing->flavor = flavor & (WBEM_FLAVOR_MASK_PROPAGATION | WBEM_FLAVOR_NOT_OVERRIDABLE | WBEM_FLAVOR_AMENDED);
  existing->inherited = false;
}

}  // namespace

ClassBuilder& ClassBuilder::ClassQualifier(std::wstring name, const VARIANT& value, LONG flavor) {
  PutQualifier(&m_Def.qualifiers, std::move(name), value, flavor, &m_Error);
  return *this;
}

ClassBuilder& ClassBuilder::ClassQualifier(std::wstring name, const wchar_t* text, LONG flavor) {
  return ClassQualifier(std::move(name), CComVariant(text), flavor);
}

ClassBuilder& ClassBuilder::ClassQualifier(std::wstring name, bool flag, LONG flavor) {
  return ClassQualifier(std::move(name), BoolValue(flag), flavor);
}

ClassBuilder& ClassBuilder::AddProperty(std::wstring name, CIMTYPE type, std::wstring_view refClass) {
  m_Current = -1;
  if (!IsValidName(name) || IsSystemName(name)) {
    m_Error = WBEM_E_INVALID_PROPERTY;
    return *this;
  }
  const std::wstring typeName = CimTypeName(type, refClass);
  if (typeName.empty() || (type & ~(CIM_FLAG_ARRAY | CIM_ILLEGAL))) {
    m_Error = WBEM_E_INVALID_PROPERTY_TYPE;
    return *this;
  }
  const int index = m_Def.FindProperty(name);
  if (index >= 0) {
    PropertyDef& existing = m_Def.properties[static_cast<size_t>(index)];
    // A derived class may restate an inherited property (to add qualifiers or a default), not
    // change its type or declare it twice.
    if (existing.origin == m_Def.name) {
      m_Error = WBEM_E_ALREADY_EXISTS;
    } else if (existing.type != type) {
      m_Error = WBEM_E_INVALID_PROPERTY_TYPE;
    } else {
      m_Current = index;
    }
    return *this;
  }
  PropertyDef property;
  property.name = std::move(name);
  property.type = type;
  property.origin = m_Def.name;
  property.qualifiers.push_back(Qualifier{L"CIMTYPE", CComVariant(typeName.c_str()), kCimTypeFlavor, false, false});
  m_Def.properties.push_back(std::move(property));
  m_Current = static_cast<int>(m_Def.properties.size() - 1);
  return *this;
}

ClassBuilder& ClassBuilder::AddKey(std::wstring name, CIMTYPE type, std::wstring_view refClass) {
  AddProperty(std::move(name), type, refClass);
  if (m_Current >= 0) PropertyQualifier(L"key", true, kKeyFlavor);
  return *this;
}

ClassBuilder& ClassBuilder::PropertyQualifier(std::wstring name, const VARIANT& value, LONG flavor) {
  if (m_Current < 0) {
    m_Error = WBEM_E_INVALID_PARAMETER;
    return *this;
  }
  if (EqualNames(name, L"CIMTYPE")) {
    m_Error = WBEM_E_INVALID_QUALIFIER;
    return *this;
  }
  PutQualifier(&m_Def.properties[static_cast<size_t>(m_Current)].qualifiers, std::move(name), value, flavor, &m_Error);
  return *this;
}

ClassBuilder& ClassBuilder::PropertyQualifier(std::wstring name, const wchar_t* text, LONG flavor) {
  return PropertyQualifier(std::move(name), CComVariant(text), flavor);
}

ClassBuilder& ClassBuilder::PropertyQualifier(std::wstring name, bool flag, LONG flavor) {
  return PropertyQualifier(std::move(name), BoolValue(flag), flavor);
}

ClassBuilder& ClassBuilder::Default(const VARIANT& value) {
  if (m_Current < 0) {
    m_Error = WBEM_E_INVALID_PARAMETER;
    return *this;
  }
  PropertyDef& property = m_Def.properties[static_cast<size_t>(m_Current)];
  HRESULT hr = CoerceToCimType(property.type, value, &property.value);
  if (FAILED(hr)) m_Error = hr;
  return *this;
}

std::shared_ptr<const ClassDef> ClassBuilder::Build(HRESULT* result) const {
  if (result) *result = m_Error;
  if (FAILED(m_Error)) return nullptr;
  auto def = std::make_shared<ClassDef>(m_Def);
  if (result && !def) *result = WBEM_E_OUT_OF_MEMORY;
  return def;
}

HRESULT ClassBuilder::Create(IWbemClassObject** ppClass) const {
  if (!ppClass) return WBEM_E_INVALID_PARAMETER;
  *ppClass = nullptr;
  HRESULT hr = WBEM_S_NO_ERROR;
  std::shared_ptr<const ClassDef> def = Build(&hr);
  if (!def) return hr;
  return ClassObject::Create(std::move(def), false, ppClass);
}

}  // namespace qz::wbem
