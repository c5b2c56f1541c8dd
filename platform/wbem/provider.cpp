// The table of instance providers by class, enumeration over a class and its subclasses, and the
// query engine: a class's instances filtered by WHERE and cut down to the SELECT list.
#include "wbem/provider.h"

#include <map>
#include <mutex>

#include "wbem/path.h"
#include "wbem/providerhost.h"
#include "wbem/repository.h"
#include "wbem/wql.h"

namespace qz::wbem {
namespace {

struct ProviderTable {
  std::mutex lock;
  std::map<std::wstring, std::shared_ptr<InstanceProvider>> providers;  // by "NAMESPACE:CLASS"
};

ProviderTable& Providers() {
  static ProviderTable* table = new ProviderTable;  // used until the process ends
  return *table;
}

std::wstring ProviderKey(std::wstring_view nameSpace, std::wstring_view className) {
  std::wstring key = Repository::NormalizeNamespace(nameSpace);
  key += L':';
  key += className;
  for (wchar_t& c : key) c = static_cast<wchar_t>(std::towupper(c));
  return key;
}

bool IsSystemName(std::wstring_view name) { return name.size() > 2 && name[0] == L'_' && name[1] == L'_'; }

// Whether every name is a property of the class (or a system property).
bool KnowsProperties(const ClassDef& cls, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (!IsSystemName(name) && cls.FindProperty(name) < 0) return false;
  }
  return true;
}

// The class cut down to the selected properties, in the class's own order. The keys stay, so that
// the path of a projected object names the instance it came from.
std::shared_ptr<const ClassDef> Projection(const ClassDef& cls, const std::vector<std::wstring>& names) {
  auto projected = std::make_shared<ClassDef>(cls);
  projected->properties.clear();
  for (const PropertyDef& property : cls.properties) {
    if (property.IsKey()) {
      projected->properties.push_back(property);
      continue;
    }
    for (const std::wstring& name : names) {
      if (EqualNames(name, property.name)) {
        projected->properties.push_back(property);
        break;
      }
    }
  }
  return projected;
}

HRESULT Project(IWbemClassObject* object, const std::shared_ptr<const ClassDef>& projected, IWbemClassObject** out) {
  CComPtr<IWbemClassObject> copy;
  HRESULT hr = ClassObject::Create(projected, true, &copy);
  if (FAILED(hr)) return hr;
  for (const PropertyDef& property : projected->properties) {
    CComVariant value;
    if (FAILED(object->Get(property.name.c_str(), 0, &value, nullptr, nullptr))) continue;
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) continue;
    hr = copy->Put(property.name.c_str(), 0, &value, 0);
    if (FAILED(hr)) return hr;
  }
  *out = copy.Detach();
  return WBEM_S_NO_ERROR;
}

}  // namespace

void RegisterInstanceProvider(std::wstring_view nameSpace, std::wstring_view className,
                              std::shared_ptr<InstanceProvider> provider) {
  ProviderTable& table = Providers();
  std::lock_guard<std::mutex> guard(table.lock);
  if (provider) {
    table.providers[ProviderKey(nameSpace, className)] = std::move(provider);
  } else {
    table.providers.erase(ProviderKey(nameSpace, className));
  }
}

std::shared_ptr<InstanceProvider> FindInstanceProvider(std::wstring_view nameSpace, std::wstring_view className) {
  ProviderTable& table = Providers();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.providers.find(ProviderKey(nameSpace, className));
  return it == table.providers.end() ? nullptr : it->second;
}

HRESULT EnumerateInstances(std::wstring_view nameSpace, std::wstring_view className, IWbemContext* context,
                           bool deep, ObjectStream* out) {
  Repository& repository = Repository::Instance();
  std::shared_ptr<const ClassDef> cls = repository.FindClass(nameSpace, className);
  if (!cls) return repository.HasNamespace(nameSpace) ? WBEM_E_INVALID_CLASS : WBEM_E_INVALID_NAMESPACE;
  std::vector<std::shared_ptr<const ClassDef>> classes{cls};
  if (deep) {
    for (auto& derived : repository.Classes(nameSpace, cls->name, true)) classes.push_back(derived);
  }
  for (const auto& each : classes) {
    std::shared_ptr<InstanceProvider> provider = ResolveInstanceProvider(nameSpace, *each);
    if (!provider) continue;
    HRESULT hr = provider->Enumerate(*each, context, out);
    if (FAILED(hr)) return hr;
  }
  return WBEM_S_NO_ERROR;
}

// The class name of a condition that is only __CLASS = 'name' (either way round), else null.
static const WqlOperand* NamedClass(const WqlExpr* where) {
  if (!where || where->kind != WqlExpr::Kind::Compare || where->op != WqlExpr::Op::Equal) return nullptr;
  const WqlOperand& left = where->left;
  const WqlOperand& right = where->right;
  if (left.kind == WqlOperand::Kind::Property && EqualNames(left.text, L"__CLASS") &&
      right.kind == WqlOperand::Kind::String)
    return &right;
  if (right.kind == WqlOperand::Kind::Property && EqualNames(right.text, L"__CLASS") &&
      left.kind == WqlOperand::Kind::String)
    return &left;
  return nullptr;
}

HRESULT ExecuteQuery(std::wstring_view nameSpace, std::wstring_view language, std::wstring_view query,
                     IWbemContext* context, ObjectStream* out) {
  if (!EqualNames(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
  WqlQuery parsed;
  HRESULT hr = ParseWql(query, &parsed);
  if (FAILED(hr)) return hr;
  Repository& repository = Repository::Instance();
  if (!repository.HasNamespace(nameSpace)) return WBEM_E_INVALID_NAMESPACE;
  if (parsed.statement != WqlQuery::Statement::Select) return ExecuteAssociationQuery(nameSpace, parsed, context, out);

  ObjectStream found;
  if (parsed.metaClass) {
    // When the whole condition is __CLASS = 'name', no other class can meet it: only that one is
    // looked at (and still judged by the condition below).
    std::vector<std::shared_ptr<const ClassDef>> classes;
    if (const WqlOperand* named = NamedClass(parsed.where.get())) {
      if (std::shared_ptr<const ClassDef> cls = repository.FindClass(nameSpace, named->text)) classes.push_back(cls);
    } else {
      classes = repository.Classes(nameSpace);
    }
    for (const auto& cls : classes) {
      TimedObject entry;
      hr = ClassObject::Create(cls, false, &entry.object);
      if (FAILED(hr)) return hr;
      found.push_back(std::move(entry));
    }
  } else {
    std::shared_ptr<const ClassDef> cls = repository.FindClass(nameSpace, parsed.className);
    if (!cls) return WBEM_E_INVALID_CLASS;
    std::vector<std::wstring> names = parsed.properties;
    if (parsed.where) WhereProperties(*parsed.where, &names);
    if (!KnowsProperties(*cls, names)) return WBEM_E_INVALID_QUERY;
    hr = EnumerateInstances(nameSpace, cls->name, context, true, &found);
    if (FAILED(hr)) return hr;
  }

  std::map<const ClassDef*, std::shared_ptr<const ClassDef>> projections;
  for (TimedObject& entry : found) {
    if (parsed.where && !EvaluateWql(*parsed.where, entry.object)) continue;
    if (!parsed.allProperties && !parsed.metaClass) {
      std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(entry.object);
      if (def) {
        auto& projected = projections[def.get()];
        if (!projected) projected = Projection(*def, parsed.properties);
        CComPtr<IWbemClassObject> copy;
        hr = Project(entry.object, projected, &copy);
        if (FAILED(hr)) return hr;
        entry.object = copy;
      }
    }
    out->push_back(std::move(entry));
  }
  return WBEM_S_NO_ERROR;
}

}  // namespace qz::wbem

namespace qz::wbem {
namespace {

bool KeyMatches(const PropertyDef& property, const VARIANT& value, const PathKeyValue& key) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return false;
  const CIMTYPE type = property.type;
  if (type == CIM_STRING || type == CIM_REFERENCE || type == CIM_DATETIME) {
    return key.kind == PathKeyValue::Kind::String && value.vt == VT_BSTR &&
           EqualNames(value.bstrVal ? value.bstrVal : L"", key.text);
  }
  if (type == CIM_BOOLEAN) return key.kind == PathKeyValue::Kind::Boolean && (value.boolVal != VARIANT_FALSE) == key.boolean;
  std::wstring text;
  if (!FormatKeyValue(type, value, &text)) return false;
  switch (key.kind) {
    case PathKeyValue::Kind::Integer: return text == std::to_wstring(key.integer);
    case PathKeyValue::Kind::Unsigned: return text == std::to_wstring(key.unsignedValue);
    case PathKeyValue::Kind::String: return text == key.text;  // a number written in quotes
    default: return false;
  }
}

bool InstanceMatches(IWbemClassObject* object, const ObjectPath& path) {
  std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(object);
  if (!def) return false;
  std::vector<const PropertyDef*> keys;
  for (const PropertyDef& property : def->properties) {
    if (property.IsKey()) keys.push_back(&property);
  }
  if (path.singleton) return keys.empty() && def->IsSingleton();
  if (keys.size() != path.keys.size()) return false;
  for (const PathKey& key : path.keys) {
    const PropertyDef* property = nullptr;
    if (key.name.empty()) {
      if (keys.size() == 1) property = keys[0];
    } else {
      for (const PropertyDef* candidate : keys) {
        if (EqualNames(candidate->name, key.name)) property = candidate;
      }
    }
    if (!property) return false;
    CComVariant value;
    if (FAILED(object->Get(property->name.c_str(), 0, &value, nullptr, nullptr))) return false;
    if (!KeyMatches(*property, value, key.value)) return false;
  }
  return true;
}

}  // namespace

HRESULT GetInstance(std::wstring_view nameSpace, std::wstring_view pathText, IWbemContext* context,
                    IWbemClassObject** ppObject) {
  if (!ppObject) return WBEM_E_INVALID_PARAMETER;
  *ppObject = nullptr;
  ObjectPath path;
  if (!ParseObjectPath(pathText, WBEMPATH_CREATE_ACCEPT_ALL, &path) || !path.hasClass ||
      (path.keys.empty() && !path.singleton))
    return WBEM_E_INVALID_OBJECT_PATH;
  Repository& repository = Repository::Instance();
  std::shared_ptr<const ClassDef> cls = repository.FindClass(nameSpace, path.className);
  if (!cls) return repository.HasNamespace(nameSpace) ? WBEM_E_INVALID_CLASS : WBEM_E_INVALID_NAMESPACE;
  if (std::shared_ptr<InstanceProvider> provider = ResolveInstanceProvider(nameSpace, *cls)) {
    HRESULT hr = provider->GetObjectByPath(*cls, std::wstring(pathText), context, ppObject);
    if (hr != WBEM_E_PROVIDER_NOT_CAPABLE) return hr;
  }
  ObjectStream instances;
  HRESULT hr = EnumerateInstances(nameSpace, cls->name, context, true, &instances);
  if (FAILED(hr)) return hr;
  for (TimedObject& entry : instances) {
    if (InstanceMatches(entry.object, path)) {
      *ppObject = entry.object.Detach();
      return WBEM_S_NO_ERROR;
    }
  }
  return WBEM_E_NOT_FOUND;
}

}  // namespace qz::wbem
