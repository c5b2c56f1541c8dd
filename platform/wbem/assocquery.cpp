// ASSOCIATORS OF and REFERENCES OF: the association instances that name one object, and the
// objects at their other ends.
#include <set>

#include "wbem/path.h"
#include "wbem/provider.h"
#include "wbem/repository.h"
#include "wbem/wql.h"

namespace qz::wbem {
namespace {

bool IsAssociation(const ClassDef& cls) {
  const Qualifier* association = FindQualifier(cls.qualifiers, L"Association");
  return association && association->value.vt == VT_BOOL && association->value.boolVal != VARIANT_FALSE;
}

bool ClassIsA(const ClassDef& cls, std::wstring_view ancestor) {
  if (EqualNames(cls.name, ancestor)) return true;
  for (const std::wstring& base : cls.derivation) {
    if (EqualNames(base, ancestor)) return true;
  }
  return false;
}

std::wstring NamespaceOf(const ObjectPath& path, std::wstring_view fallback) {
  if (path.namespaces.empty()) return std::wstring(fallback);
  std::wstring name;
  for (const std::wstring& part : path.namespaces) name += (name.empty() ? L"" : L"\\") + part;
  return name;
}

// The server counts only when both paths name it ("." is this computer, whatever it is called).
// A path without a namespace is in the namespace of the query, so that a relative path and a full
// one name the same object, and a reference into another namespace never names the source.
bool SameScope(const ObjectPath& a, const ObjectPath& b, std::wstring_view nameSpace) {
  if (a.hasServer && b.hasServer && a.server != L"." && b.server != L"." && !EqualNamesNoCase(a.server, b.server))
    return false;
  return EqualNamesNoCase(NamespaceOf(a, nameSpace), NamespaceOf(b, nameSpace));
}

// Key values compare exactly: "Board 1" is not "BOARD 1", 5 is not "5".
bool SameKeyValue(const PathKeyValue& a, const PathKeyValue& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case PathKeyValue::Kind::String:
      return a.text == b.text;
    case PathKeyValue::Kind::Integer:
      return a.integer == b.integer;
    case PathKeyValue::Kind::Unsigned:
      return a.unsignedValue == b.unsignedValue;
    case PathKeyValue::Kind::Boolean:
      return a.boolean == b.boolean;
  }
  return false;
}

bool SameKeys(const ObjectPath& a, const ObjectPath& b) {
  if (a.singleton || b.singleton) return a.singleton == b.singleton;
  if (a.keys.size() != b.keys.size()) return false;
  for (const PathKey& key : a.keys) {
    const PathKey* match = nullptr;
    for (const PathKey& other : b.keys) {
      // "Class=value" leaves the one key unnamed.
      if (EqualNamesNoCase(key.name, other.name) || (a.keys.size() == 1 && (key.name.empty() || other.name.empty())))
        match = &other;
    }
    if (!match || !SameKeyValue(key.value, match->value)) return false;
  }
  return true;
}

bool NamesSameObject(const ObjectPath& reference, const ObjectPath& source, std::wstring_view nameSpace) {
  return reference.hasClass && EqualNamesNoCase(reference.className, source.className) &&
         SameScope(reference, source, nameSpace) && SameKeys(reference, source);
}

std::wstring ReferenceText(IWbemClassObject* object, const PropertyDef& property) {
  CComVariant value;
  if (FAILED(object->Get(property.name.c_str(), 0, &value, nullptr, nullptr)) || value.vt != VT_BSTR || !value.bstrVal)
    return {};
  return value.bstrVal;
}

// The results, each once: objects by their path, class definitions by their name.
class ResultSet {
 public:
  ResultSet(bool classDefsOnly, ObjectStream* out) : m_ClassDefsOnly(classDefsOnly), m_Out(out) {}

  HRESULT Add(IWbemClassObject* object, Clock::time_point ready) {
    std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(object);
    TimedObject entry;
    entry.ready = ready;
    std::wstring identity;
    if (m_ClassDefsOnly && def) {
      identity = def->name;
      HRESULT hr = ClassObject::Create(def, false, &entry.object);
      if (FAILED(hr)) return hr;
    } else {
      CComVariant path;
      object->Get(L"__PATH", 0, &path, nullptr, nullptr);
      identity = path.vt == VT_BSTR && path.bstrVal ? path.bstrVal : L"";
      entry.object = object;
    }
    for (wchar_t& c : identity) c = static_cast<wchar_t>(std::towupper(c));
    if (!m_Seen.insert(identity).second) return WBEM_S_NO_ERROR;
    m_Out->push_back(std::move(entry));
    return WBEM_S_NO_ERROR;
  }

 private:
  bool m_ClassDefsOnly;
  ObjectStream* m_Out;
  std::set<std::wstring> m_Seen;
};

}  // namespace

HRESULT ExecuteAssociationQuery(std::wstring_view nameSpace, const WqlQuery& query, IWbemContext* context,
                                ObjectStream* out) {
  const WqlAssociation& want = query.association;
  const bool references = query.statement == WqlQuery::Statement::References;
  if (want.keysOnly || want.schemaOnly) return WBEM_E_NOT_SUPPORTED;
  ObjectPath source;
  if (!ParseObjectPath(want.source, WBEMPATH_CREATE_ACCEPT_ALL, &source) || !source.hasClass)
    return WBEM_E_INVALID_OBJECT_PATH;
  // A class as the source asks for the schema's associations, which this service does not keep.
  if (source.keys.empty() && !source.singleton) return WBEM_E_NOT_SUPPORTED;
  // The source must exist: the lookup gives the code a client expects for a bad class or instance.
  CComPtr<IWbemClassObject> sourceObject;
  HRESULT hr = GetInstance(NamespaceOf(source, nameSpace), want.source, context, &sourceObject);
  if (FAILED(hr)) return hr;

  // A class the query names must exist, as a misspelt name would otherwise pass for "none there".
  Repository& repository = Repository::Instance();
  for (const std::wstring* name : {&want.resultClass, &want.assocClass}) {
    if (!name->empty() && !repository.FindClass(nameSpace, *name)) return WBEM_E_INVALID_CLASS;
  }
  const std::wstring& linkClass = references ? want.resultClass : want.assocClass;
  const std::wstring& linkQualifier = references ? want.requiredQualifier : want.requiredAssocQualifier;

  ResultSet results(want.classDefsOnly, out);
  for (const auto& cls : repository.Classes(nameSpace)) {
    if (!IsAssociation(*cls)) continue;
    if (!linkClass.empty() && !ClassIsA(*cls, linkClass)) continue;
    if (!linkQualifier.empty() && !FindQualifier(cls->qualifiers, linkQualifier)) continue;
    std::vector<const PropertyDef*> roles;
    for (const PropertyDef& property : cls->properties) {
      if (property.type == CIM_REFERENCE) roles.push_back(&property);
    }
    ObjectStream links;
    hr = EnumerateInstances(nameSpace, cls->name, context, false, &links);
    // An association whose provider fails is passed over when the query walks every association,
    // so that one broken provider does not hide the others; one the query names reports its failure.
    if (FAILED(hr)) {
      if (linkClass.empty()) continue;
      return hr;
    }
    for (const TimedObject& link : links) {
      std::vector<const PropertyDef*> sourceRoles;
      for (const PropertyDef* role : roles) {
        if (!want.role.empty() && !EqualNames(role->name, want.role)) continue;
        ObjectPath reference;
        if (ParseObjectPath(ReferenceText(link.object, *role), WBEMPATH_CREATE_ACCEPT_ALL, &reference) &&
            NamesSameObject(reference, source, nameSpace))
          sourceRoles.push_back(role);
      }
      if (sourceRoles.empty()) continue;
      if (references) {
        hr = results.Add(link.object, link.ready);
        if (FAILED(hr)) return hr;
        continue;
      }
      for (const PropertyDef* role : roles) {
        if (!want.resultRole.empty() && !EqualNames(role->name, want.resultRole)) continue;
        // An end is any reference but the one that names the source (both, when both name it).
        if (sourceRoles.size() == 1 && sourceRoles[0] == role) continue;
        const std::wstring endText = ReferenceText(link.object, *role);
        ObjectPath endPath;
        if (!ParseObjectPath(endText, WBEMPATH_CREATE_ACCEPT_ALL, &endPath)) continue;
        CComPtr<IWbemClassObject> end;
        if (FAILED(GetInstance(NamespaceOf(endPath, nameSpace), endText, context, &end))) continue;
        if (!want.resultClass.empty() && !ObjectIsA(end, want.resultClass)) continue;
        if (!want.requiredQualifier.empty()) {
          std::shared_ptr<const ClassDef> endClass = ClassObject::DefinitionOf(end);
          if (!endClass || !FindQualifier(endClass->qualifiers, want.requiredQualifier)) continue;
        }
        hr = results.Add(end, link.ready);
        if (FAILED(hr)) return hr;
      }
    }
  }
  return WBEM_S_NO_ERROR;
}

}  // namespace qz::wbem
