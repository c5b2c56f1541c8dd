// The MOF text of class objects and instances (GetObjectText), and their comparison (CompareTo).
#include "wbem/classobject.h"

namespace qz::wbem {
namespace {

struct FlavorText {
  LONG flag;
  const wchar_t* text;
};
constexpr FlavorText kFlavorTexts[] = {
    {WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE, L"ToInstance"},
    {WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS, L"ToSubclass"},
    {WBEM_FLAVOR_NOT_OVERRIDABLE, L"DisableOverride"},
    {WBEM_FLAVOR_AMENDED, L"Amended"},
};

// "[key, MaxLen(64) : ToSubclass]": the local qualifiers of a class or property, CIMTYPE left
// out since the declaration says the type.
std::wstring QualifierText(const QualifierList& qualifiers, bool flavors) {
  std::wstring text;
  for (const Qualifier& qualifier : qualifiers) {
    if (qualifier.inherited || EqualNames(qualifier.name, L"CIMTYPE")) continue;
    text += text.empty() ? L"[" : L", ";
    text += qualifier.name;
    const VARIANT& value = qualifier.value;
    if (value.vt == VT_BOOL && value.boolVal) {
      // A true flag is written by name alone.
    } else if (value.vt & VT_ARRAY) {
      text += FormatMofValue(CIM_EMPTY, value);
    } else {
      text += L"(" + FormatMofValue(value.vt == VT_BSTR ? CIM_STRING : CIM_EMPTY, value) + L")";
    }
    if (!flavors) continue;
    std::wstring flavor;
    for (const FlavorText& entry : kFlavorTexts)
      if (qualifier.flavor & entry.flag) flavor += (flavor.empty() ? L" : " : L" ") + std::wstring(entry.text);
    text += flavor;
  }
  return text.empty() ? text : text + L"]";
}

// "uint16 Name", "string Names[]", "QZ_Class ref Element".
std::wstring Declaration(const PropertyDef& property) {
  const Qualifier* cimType = FindQualifier(property.qualifiers, L"CIMTYPE");
  std::wstring type = cimType && cimType->value.vt == VT_BSTR ? cimType->value.bstrVal : CimTypeName(property.type);
  const size_t colon = type.find(L':');
  if (colon != std::wstring::npos) {
    const std::wstring className = type.substr(colon + 1);
    type = (property.type & ~CIM_FLAG_ARRAY) == CIM_REFERENCE ? className + L" ref" : className;
  }
  return type + L" " + property.name + ((property.type & CIM_FLAG_ARRAY) ? L"[]" : L"");
}

bool SameQualifiers(const QualifierList& a, const QualifierList& b, LONG flags) {
  if (flags & WBEM_FLAG_IGNORE_QUALIFIERS) return true;
  if (a.size() != b.size()) return false;
  const bool ignoreCase = flags & WBEM_FLAG_IGNORE_CASE;
  for (const Qualifier& qualifier : a) {
    const Qualifier* other = FindQualifier(b, qualifier.name);
    if (!other || !EqualValues(qualifier.value, other->value, ignoreCase)) return false;
    if (!(flags & WBEM_FLAG_IGNORE_FLAVOR) && qualifier.flavor != other->flavor) return false;
  }
  return true;
}

bool SameName(const std::wstring& a, const std::wstring& b, LONG flags) {
  return (flags & WBEM_FLAG_IGNORE_CASE) ? EqualNames(a, b) : a == b;
}

}  // namespace

STDMETHODIMP ClassObject::GetObjectText(LONG lFlags, BSTR* pstrObjectText) {
  if (!pstrObjectText || (lFlags & ~WBEM_FLAG_NO_FLAVORS)) return WBEM_E_INVALID_PARAMETER;
  const bool flavors = !(lFlags & WBEM_FLAG_NO_FLAVORS);
  std::wstring text;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    const ClassDef& def = *m_Def;
    if (m_IsInstance) {
      text = L"\ninstance of " + def.name + L"\n{\n";
      for (size_t i = 0; i < def.properties.size(); ++i) {
        const CComVariant& value = ValueOf(static_cast<int>(i));
        if (value.vt == VT_EMPTY) continue;
        text += L"\t" + def.properties[i].name + L" = " + FormatMofValue(def.properties[i].type, value) + L";\n";
      }
    } else {
      const std::wstring qualifiers = QualifierText(def.qualifiers, flavors);
      text = L"\n" + (qualifiers.empty() ? L"" : qualifiers + L"\n") + L"class " + def.name;
      if (!def.superclass.empty()) text += L" : " + def.superclass;
      text += L"\n{\n";
      for (const PropertyDef& property : def.properties) {
        if (property.origin != def.name) continue;
        const std::wstring propertyQualifiers = QualifierText(property.qualifiers, flavors);
        text += L"\t" + (propertyQualifiers.empty() ? L"" : propertyQualifiers + L" ") + Declaration(property);
        if (property.value.vt != VT_EMPTY) text += L" = " + FormatMofValue(property.type, property.value);
        text += L";\n";
      }
    }
    text += L"};\n";
  }
  *pstrObjectText = SysAllocString(text.c_str());
  return *pstrObjectText ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
}

STDMETHODIMP ClassObject::CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) {
  constexpr LONG kKnown = WBEM_FLAG_IGNORE_QUALIFIERS | WBEM_FLAG_IGNORE_OBJECT_SOURCE | WBEM_FLAG_IGNORE_DEFAULT_VALUES |
                          WBEM_FLAG_IGNORE_CLASS | WBEM_FLAG_IGNORE_CASE | WBEM_FLAG_IGNORE_FLAVOR;
  if (!pCompareTo || (lFlags & ~kKnown)) return WBEM_E_INVALID_PARAMETER;
  if (pCompareTo == this) return WBEM_S_SAME;
  auto* other = dynamic_cast<ClassObject*>(pCompareTo);
  if (!other) return WBEM_E_INVALID_PARAMETER;
  // Take the other's state first, so that the two locks are never held together.
  std::shared_ptr<const ClassDef> otherDef;
  std::vector<CComVariant> otherValues;
  bool otherInstance = false;
  {
    std::lock_guard<std::mutex> guard(other->m_Lock);
    otherDef = other->m_Def;
    otherValues = other->m_Values;
    otherInstance = other->m_IsInstance;
  }
  std::lock_guard<std::mutex> guard(m_Lock);
  const ClassDef& a = *m_Def;
  const ClassDef& b = *otherDef;
  if (m_IsInstance != otherInstance) return WBEM_S_DIFFERENT;
  if (!(lFlags & WBEM_FLAG_IGNORE_CLASS) && (!SameName(a.name, b.name, lFlags) || !SameName(a.superclass, b.superclass, lFlags)))
    return WBEM_S_DIFFERENT;
  if (!(lFlags & WBEM_FLAG_IGNORE_OBJECT_SOURCE) &&
      (!EqualNames(a.server, b.server) || !EqualNames(a.nameSpace, b.nameSpace)))
    return WBEM_S_DIFFERENT;
  if (!SameQualifiers(a.qualifiers, b.qualifiers, lFlags) || a.properties.size() != b.properties.size())
    return WBEM_S_DIFFERENT;
  const bool ignoreCase = lFlags & WBEM_FLAG_IGNORE_CASE;
  for (size_t i = 0; i < a.properties.size(); ++i) {
    const PropertyDef& left = a.properties[i];
    const int j = b.FindProperty(left.name);
    if (j < 0) return WBEM_S_DIFFERENT;
    const PropertyDef& right = b.properties[static_cast<size_t>(j)];
    if (left.type != right.type || !SameQualifiers(left.qualifiers, right.qualifiers, lFlags)) return WBEM_S_DIFFERENT;
    if (m_IsInstance) {
      const CComVariant& otherValue =
          otherValues[static_cast<size_t>(j)].vt != VT_EMPTY ? otherValues[static_cast<size_t>(j)] : right.value;
      if (!EqualValues(ValueOf(static_cast<int>(i)), otherValue, ignoreCase)) return WBEM_S_DIFFERENT;
    } else if (!(lFlags & WBEM_FLAG_IGNORE_DEFAULT_VALUES) && !EqualValues(left.value, right.value, ignoreCase)) {
      return WBEM_S_DIFFERENT;
    }
  }
  return WBEM_S_SAME;
}

}  // namespace qz::wbem
