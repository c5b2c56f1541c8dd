// The MOF compiler's second half: the parsed declarations turned into class definitions and
// static instances in the repository, with the value rules of each CIM type.
#include "wbem/mof.h"

#include <oleauto.h>

#include <cfloat>
#include <cstdio>
#include <cwctype>
#include <map>

#include "wbem/classobject.h"
#include "wbem/repository.h"

namespace qz::wbem {
namespace {

using mof::Position;
using mof::Value;

// The integer CIM types and their ranges, for values written in the text.
struct IntegerRange {
  CIMTYPE type;
  bool isSigned;
  int bits;
  VARTYPE given;  // what the value is handed to Put as (64-bit types: decimal text)
};
constexpr IntegerRange kIntegerRanges[] = {
    {CIM_UINT8, false, 8, VT_UI1},   {CIM_SINT8, true, 8, VT_I2},    {CIM_UINT16, false, 16, VT_I4},
    {CIM_SINT16, true, 16, VT_I2},   {CIM_CHAR16, false, 16, VT_I2}, {CIM_UINT32, false, 32, VT_I4},
    {CIM_SINT32, true, 32, VT_I4},   {CIM_UINT64, false, 64, VT_BSTR}, {CIM_SINT64, true, 64, VT_BSTR},
};

const IntegerRange* FindRange(CIMTYPE type) {
  for (const IntegerRange& range : kIntegerRanges)
    if (range.type == type) return &range;
  return nullptr;
}

bool InRange(const IntegerRange& range, bool negative, unsigned long long magnitude) {
  if (!range.isSigned) return !negative && (range.bits == 64 || magnitude < (1ULL << range.bits));
  const unsigned long long limit = 1ULL << (range.bits - 1);  // |min|; max is limit - 1
  return negative ? magnitude <= limit : magnitude < limit;
}

using AliasTable = std::map<std::wstring, std::wstring>;  // upper-case alias -> object path

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// One scalar of the element type as Put takes it; false when the value does not fit.
bool ScalarVariant(const Value& value, CIMTYPE element, const AliasTable& aliases, CComVariant* out) {
  out->Clear();
  if (const IntegerRange* range = FindRange(element)) {
    if (element == CIM_CHAR16 && value.kind == Value::Kind::Char) {
      *out = static_cast<SHORT>(static_cast<uint16_t>(value.text[0]));
      return true;
    }
    if (value.kind != Value::Kind::Integer || !InRange(*range, value.negative, value.magnitude)) return false;
    const long long signedValue = value.negative ? -static_cast<long long>(value.magnitude - 1) - 1
                                                 : static_cast<long long>(value.magnitude);
    switch (range->given) {
      case VT_UI1: *out = static_cast<BYTE>(value.magnitude); break;
      case VT_I2: *out = static_cast<SHORT>(static_cast<uint16_t>(signedValue)); break;
      case VT_I4: *out = static_cast<int>(static_cast<uint32_t>(signedValue)); break;
      default: *out = ((value.negative ? L"-" : L"") + std::to_wstring(value.magnitude)).c_str(); break;
    }
    return true;
  }
  const double number = value.kind == Value::Kind::Real ? value.real
                        : value.negative                ? -static_cast<double>(value.magnitude)
                                                        : static_cast<double>(value.magnitude);
  switch (element) {
    case CIM_REAL32:
      if (value.kind != Value::Kind::Real && value.kind != Value::Kind::Integer) return false;
      if (number > FLT_MAX || number < -FLT_MAX) return false;
      *out = static_cast<float>(number);
      return true;
    case CIM_REAL64:
      if (value.kind != Value::Kind::Real && value.kind != Value::Kind::Integer) return false;
      *out = number;
      return true;
    case CIM_BOOLEAN:
      if (value.kind != Value::Kind::Boolean) return false;
      *out = value.boolean;
      return true;
    case CIM_STRING:
    case CIM_DATETIME:
      if (value.kind != Value::Kind::String) return false;
      *out = value.text.c_str();
      return true;
    case CIM_REFERENCE: {
      if (value.kind == Value::Kind::String) {
        *out = value.text.c_str();
        return true;
      }
      if (value.kind != Value::Kind::Alias) return false;
      auto it = aliases.find(Upper(value.text));
      if (it == aliases.end()) return false;
      *out = it->second.c_str();
      return true;
    }
    default:
      return false;
  }
}

// The value for a property of `type` (arrays as SAFEARRAYs); false when it does not fit.
bool PropertyVariant(const Value& value, CIMTYPE type, const AliasTable& aliases, CComVariant* out) {
  out->Clear();
  if (value.kind == Value::Kind::Null) {
    out->vt = VT_NULL;
    return true;
  }
  const CIMTYPE element = type & ~CIM_FLAG_ARRAY;
  if (!(type & CIM_FLAG_ARRAY)) return value.kind != Value::Kind::Array && ScalarVariant(value, element, aliases, out);
  if (value.kind != Value::Kind::Array) return false;
  std::vector<CComVariant> scalars(value.elements.size());
  for (size_t i = 0; i < value.elements.size(); ++i)
    if (!ScalarVariant(value.elements[i], element, aliases, &scalars[i])) return false;
  CComVariant probe;
  Value sample;
  sample.kind = element == CIM_BOOLEAN ? Value::Kind::Boolean
                : (element == CIM_STRING || element == CIM_DATETIME || element == CIM_REFERENCE) ? Value::Kind::String
                : (element == CIM_REAL32 || element == CIM_REAL64) ? Value::Kind::Real
                                                                     : Value::Kind::Integer;
  if (!ScalarVariant(sample, element, aliases, &probe)) return false;
  SAFEARRAY* array = SafeArrayCreateVector(probe.vt, 0, static_cast<ULONG>(scalars.size()));
  if (!array) return false;
  for (size_t i = 0; i < scalars.size(); ++i) {
    LONG index = static_cast<LONG>(i);
    void* data = scalars[i].vt == VT_BSTR ? static_cast<void*>(scalars[i].bstrVal) : static_cast<void*>(&scalars[i].lVal);
    if (FAILED(SafeArrayPutElement(array, &index, data))) {
      SafeArrayDestroy(array);
      return false;
    }
  }
  out->vt = static_cast<VARTYPE>(VT_ARRAY | probe.vt);
  out->parray = array;
  return true;
}

// A qualifier's value: sint32, real64, boolean, string, or an array of one of them.
bool QualifierVariant(const Value& value, CComVariant* out) {
  auto typeOf = [](const Value& v) -> CIMTYPE {
    switch (v.kind) {
      case Value::Kind::Boolean: return CIM_BOOLEAN;
      case Value::Kind::String: return CIM_STRING;
      case Value::Kind::Real: return CIM_REAL64;
      case Value::Kind::Integer: return InRange(*FindRange(CIM_SINT32), v.negative, v.magnitude) ? CIM_SINT32 : CIM_REAL64;
      default: return CIM_EMPTY;
    }
  };
  if (value.kind != Value::Kind::Array) {
    const CIMTYPE type = typeOf(value);
    return type != CIM_EMPTY && PropertyVariant(value, type, {}, out);
  }
  CIMTYPE type = value.elements.empty() ? CIM_STRING : typeOf(value.elements[0]);
  for (const Value& element : value.elements) {
    CIMTYPE each = typeOf(element);
    if ((each == CIM_REAL64 && type == CIM_SINT32) || (each == CIM_SINT32 && type == CIM_REAL64)) each = type = CIM_REAL64;
    if (each == CIM_EMPTY || each != type) return false;
  }
  return PropertyVariant(value, type | CIM_FLAG_ARRAY, {}, out);
}

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(hr));
  return text;
}

class Compiler {
 public:
  Compiler(Repository& repository, std::wstring_view fileName, MofResult* result)
      : m_Repository(repository), m_FileName(fileName), m_Result(result) {}

  HRESULT Fail(HRESULT hr, Position position, const std::wstring& message) {
    m_Result->status = hr;
    m_Result->line = position.line;
    m_Result->column = position.column;
    m_Result->message =
        m_FileName + L":" + std::to_wstring(position.line) + L":" + std::to_wstring(position.column) + L": " + message;
    return hr;
  }

  HRESULT Run(std::wstring_view text, const std::wstring& defaultNamespace) {
    const std::wstring start = Repository::NormalizeNamespace(defaultNamespace);
    if (start.empty()) return Fail(WBEM_E_INVALID_NAMESPACE, Position{}, L"malformed namespace name '" + defaultNamespace + L"'");
    std::vector<mof::Declaration> declarations;
    mof::ParseError error;
    if (!mof::ParseMof(text, start, &declarations, &error))
      return Fail(WBEM_E_INVALID_SYNTAX, error.position, error.message);
    for (const mof::Declaration& declaration : declarations) {
      const Position at = declaration.cls ? declaration.cls->position : declaration.instance->position;
      if (!m_Repository.HasNamespace(declaration.nameSpace) && FAILED(m_Repository.CreateNamespace(declaration.nameSpace)))
        return Fail(WBEM_E_INVALID_NAMESPACE, at, L"namespace '" + declaration.nameSpace + L"' cannot be created");
      const HRESULT hr = declaration.cls ? StoreClass(declaration.nameSpace, *declaration.cls)
                                         : StoreInstance(declaration.nameSpace, *declaration.instance);
      if (FAILED(hr)) return hr;
    }
    m_Result->status = WBEM_S_NO_ERROR;
    return WBEM_S_NO_ERROR;
  }

 private:
  // The builder's state after a step; a failure is reported at `position` with the message for it.
  HRESULT CheckStep(const ClassBuilder& builder, Position position, const std::wstring& subject) {
    const HRESULT hr = builder.Error();
    if (SUCCEEDED(hr)) return hr;
    switch (hr) {
      case WBEM_E_INVALID_CLASS: return Fail(hr, position, L"invalid class name " + subject);
      case WBEM_E_INVALID_PROPERTY: return Fail(hr, position, L"invalid property name " + subject);
      case WBEM_E_ALREADY_EXISTS: return Fail(hr, position, subject + L" is declared twice");
      case WBEM_E_INVALID_PROPERTY_TYPE:
        return Fail(hr, position, subject + L" has another type than the property it overrides");
      case WBEM_E_TYPE_MISMATCH: return Fail(hr, position, L"the default of " + subject + L" does not fit its type");
      case WBEM_E_INVALID_QUALIFIER: return Fail(hr, position, L"invalid qualifier " + subject);
      case WBEM_E_INVALID_QUALIFIER_TYPE: return Fail(hr, position, L"qualifier " + subject + L" has a value of no qualifier type");
      case WBEM_E_OVERRIDE_NOT_ALLOWED: return Fail(hr, position, L"qualifier " + subject + L" cannot be overridden");
      default: return Fail(hr, position, subject + L" is refused (" + Hex(hr) + L")");
    }
  }

  HRESULT AddQualifiers(ClassBuilder& builder, const std::vector<mof::QualifierSyntax>& qualifiers, bool onProperty) {
    for (const mof::QualifierSyntax& qualifier : qualifiers) {
      CComVariant value;
      if (!QualifierVariant(qualifier.value, &value))
        return Fail(WBEM_E_INVALID_QUALIFIER_TYPE, qualifier.value.position,
                    L"qualifier '" + qualifier.name + L"' has a value of no qualifier type");
      // Without flavors in the text, a key gets the platform's key flavor and "abstract" stays with
      // its class (a class derived from an abstract one is not abstract itself).
      LONG flavor = qualifier.flavor;
      if (!qualifier.explicitFlavor && EqualNames(qualifier.name, L"key")) flavor = kKeyFlavor;
      if (!qualifier.explicitFlavor && EqualNames(qualifier.name, L"abstract")) flavor = 0;
      if (onProperty) {
        builder.PropertyQualifier(qualifier.name, value, flavor);
      } else {
        builder.ClassQualifier(qualifier.name, value, flavor);
      }
      HRESULT hr = CheckStep(builder, qualifier.position, L"'" + qualifier.name + L"'");
      if (FAILED(hr)) return hr;
    }
    return WBEM_S_NO_ERROR;
  }

  HRESULT StoreClass(const std::wstring& nameSpace, const mof::ClassSyntax& cls) {
    ClassBuilder builder(cls.name);
    HRESULT hr = CheckStep(builder, cls.position, L"'" + cls.name + L"'");
    if (FAILED(hr)) return hr;
    if (!cls.superclass.empty()) {
      std::shared_ptr<const ClassDef> parent = m_Repository.FindClass(nameSpace, cls.superclass);
      if (!parent)
        return Fail(WBEM_E_INVALID_SUPERCLASS, cls.position,
                    L"superclass '" + cls.superclass + L"' of class '" + cls.name + L"' is not defined");
      builder.Superclass(*parent);
    }
    hr = AddQualifiers(builder, cls.qualifiers, false);
    if (FAILED(hr)) return hr;
    for (const mof::PropertySyntax& property : cls.properties) {
      const std::wstring subject = L"property '" + property.name + L"'";
      builder.AddProperty(property.name, property.type, property.refClass);
      hr = CheckStep(builder, property.position, subject);
      if (FAILED(hr)) return hr;
      hr = AddQualifiers(builder, property.qualifiers, true);
      if (FAILED(hr)) return hr;
      if (!property.hasDefault) continue;
      CComVariant value;
      if (!PropertyVariant(property.defaultValue, property.type, m_Aliases, &value))
        return Fail(WBEM_E_TYPE_MISMATCH, property.defaultValue.position,
                    L"the default of " + subject + L" does not fit its type " + TypeText(property.type, property.refClass));
      builder.Default(value);
      hr = CheckStep(builder, property.defaultValue.position, subject);
      if (FAILED(hr)) return hr;
    }
    hr = builder.Error();
    if (FAILED(hr)) return Fail(hr, cls.position, L"class '" + cls.name + L"' is refused (" + Hex(hr) + L")");
    ClassDef def = builder.Take();
    const std::wstring stored = nameSpace + L":" + def.name;
    hr = m_Repository.PutClass(nameSpace, std::move(def));
    if (FAILED(hr)) return Fail(hr, cls.position, L"class '" + cls.name + L"' cannot be stored (" + Hex(hr) + L")");
    m_Result->classes.push_back(stored);
    return WBEM_S_NO_ERROR;
  }

  static std::wstring TypeText(CIMTYPE type, const std::wstring& refClass) {
    std::wstring text = CimTypeName(type, refClass);
    return (type & CIM_FLAG_ARRAY) ? text + L"[]" : text;
  }

  HRESULT StoreInstance(const std::wstring& nameSpace, const mof::InstanceSyntax& instance) {
    std::shared_ptr<const ClassDef> def = m_Repository.FindClass(nameSpace, instance.className);
    if (!def) return Fail(WBEM_E_INVALID_CLASS, instance.position, L"class '" + instance.className + L"' is not defined");
    CComPtr<IWbemClassObject> object;
    HRESULT hr = ClassObject::Create(def, true, &object);
    if (FAILED(hr)) return Fail(hr, instance.position, L"out of memory");
    if (!instance.qualifiers.empty()) {
      CComPtr<IWbemQualifierSet> qualifiers;
      hr = object->GetQualifierSet(&qualifiers);
      if (FAILED(hr)) return Fail(hr, instance.position, L"the instance's qualifiers cannot be set");
      for (const mof::QualifierSyntax& qualifier : instance.qualifiers) {
        CComVariant value;
        if (!QualifierVariant(qualifier.value, &value))
          return Fail(WBEM_E_INVALID_QUALIFIER_TYPE, qualifier.value.position,
                      L"qualifier '" + qualifier.name + L"' has a value of no qualifier type");
        hr = qualifiers->Put(qualifier.name.c_str(), &value, qualifier.flavor);
        if (FAILED(hr)) return Fail(hr, qualifier.position, L"qualifier '" + qualifier.name + L"' is refused (" + Hex(hr) + L")");
      }
    }
    for (const mof::InstanceSyntax::Assignment& assignment : instance.assignments) {
      const int index = def->FindProperty(assignment.name);
      if (index < 0)
        return Fail(WBEM_E_NOT_FOUND, assignment.position,
                    L"class '" + def->name + L"' has no property '" + assignment.name + L"'");
      const PropertyDef& property = def->properties[static_cast<size_t>(index)];
      CComVariant value;
      const std::wstring mismatch = L"the value of '" + property.name + L"' does not fit its type " +
                                    TypeText(property.type, RefClassOf(property));
      if (!PropertyVariant(assignment.value, property.type, m_Aliases, &value))
        return Fail(WBEM_E_TYPE_MISMATCH, assignment.value.position, mismatch);
      hr = object->Put(property.name.c_str(), 0, &value, 0);
      if (FAILED(hr)) return Fail(hr, assignment.value.position, mismatch);
    }
    CComVariant path;
    if (FAILED(object->Get(L"__RELPATH", 0, &path, nullptr, nullptr)) || path.vt != VT_BSTR)
      return Fail(WBEM_E_ILLEGAL_NULL, instance.position, L"an instance of '" + def->name + L"' needs a value for every key");
    if (EqualNames(def->name, L"__NAMESPACE")) {
      // An instance of __NAMESPACE creates the child namespace of that name.
      CComVariant name;
      object->Get(L"Name", 0, &name, nullptr, nullptr);
      const std::wstring child = nameSpace + L"\\" + (name.vt == VT_BSTR ? name.bstrVal : L"");
      hr = m_Repository.CreateNamespace(child);
      if (FAILED(hr)) return Fail(hr, instance.position, L"namespace '" + child + L"' cannot be created");
    } else {
      hr = m_Repository.PutStaticInstance(nameSpace, object);
      if (FAILED(hr))
        return Fail(hr, instance.position, L"the instance of '" + def->name + L"' cannot be stored (" + Hex(hr) + L")");
    }
    if (!instance.alias.empty()) m_Aliases[Upper(instance.alias)] = path.bstrVal;
    m_Result->instances.push_back(nameSpace + L":" + path.bstrVal);
    return WBEM_S_NO_ERROR;
  }

  static std::wstring RefClassOf(const PropertyDef& property) {
    const Qualifier* cimType = FindQualifier(property.qualifiers, L"CIMTYPE");
    if (!cimType || cimType->value.vt != VT_BSTR) return L"";
    const std::wstring text = cimType->value.bstrVal;
    const size_t colon = text.find(L':');
    return colon == std::wstring::npos ? L"" : text.substr(colon + 1);
  }

  Repository& m_Repository;
  std::wstring m_FileName;
  MofResult* m_Result;
  AliasTable m_Aliases;
};

}  // namespace

HRESULT CompileMof(std::wstring_view text, std::wstring_view fileName, std::wstring defaultNamespace, MofResult* result,
                   Repository& repository) {
  if (!result) return WBEM_E_INVALID_PARAMETER;
  *result = MofResult{};
  Compiler compiler(repository, fileName, result);
  return compiler.Run(text, defaultNamespace);
}

HRESULT CompileMof(std::wstring_view text, std::wstring_view fileName, std::wstring defaultNamespace, MofResult* result) {
  return CompileMof(text, fileName, std::move(defaultNamespace), result, Repository::Instance());
}

}  // namespace qz::wbem
