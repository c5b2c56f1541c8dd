// The instance side of the service: what gives the instances of a class (a provider), the object
// stream that a client reads with IEnumWbemClassObject::Next, and the query engine over both.
#pragma once

#include <wbemcli.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wbem/classobject.h"

namespace qz::wbem {

struct WqlQuery;

using Clock = std::chrono::steady_clock;

// An object and the moment it reaches the client (a slow provider delivers later).
struct TimedObject {
  CComPtr<IWbemClassObject> object;
  Clock::time_point ready{};
};
using ObjectStream = std::vector<TimedObject>;

// Gives the instances of one class.
class InstanceProvider {
 public:
  virtual ~InstanceProvider() = default;
  // The instances of `cls` (exactly that class, not its subclasses), appended to `out`.
  virtual HRESULT Enumerate(const ClassDef& cls, IWbemContext* context, ObjectStream* out) = 0;
  // The instance that `path` names; WBEM_E_PROVIDER_NOT_CAPABLE lets the service enumerate and
  // compare keys instead.
  virtual HRESULT GetObjectByPath(const ClassDef& cls, const std::wstring& path, IWbemContext* context,
                                  IWbemClassObject** ppObject) {
    (void)cls, (void)path, (void)context, (void)ppObject;
    return WBEM_E_PROVIDER_NOT_CAPABLE;
  }
};

// Serves the class `className` of `nameSpace` from `provider` (null: no longer). Built-in providers
// of the platform register themselves when the repository is first used.
void RegisterInstanceProvider(std::wstring_view nameSpace, std::wstring_view className,
                              std::shared_ptr<InstanceProvider> provider);
std::shared_ptr<InstanceProvider> FindInstanceProvider(std::wstring_view nameSpace, std::wstring_view className);

// The instances of a class and of the classes derived from it, in the order of the classes.
// WBEM_E_INVALID_CLASS for an unknown class; a class without a provider has no instances.
HRESULT EnumerateInstances(std::wstring_view nameSpace, std::wstring_view className, IWbemContext* context,
                           bool deep, ObjectStream* out);

// The instance that an instance path names: WBEM_E_INVALID_OBJECT_PATH for a path that does not
// parse, WBEM_E_INVALID_NAMESPACE / WBEM_E_INVALID_CLASS, WBEM_E_NOT_FOUND when no instance has
// those keys (strings compare without regard to case, numbers by value).
HRESULT GetInstance(std::wstring_view nameSpace, std::wstring_view path, IWbemContext* context,
                    IWbemClassObject** ppObject);

// Runs a WQL query (SELECT, ASSOCIATORS OF, REFERENCES OF): WBEM_E_INVALID_QUERY_TYPE for another
// language, WBEM_E_INVALID_QUERY for text outside the subset or a property the class does not have,
// WBEM_E_INVALID_CLASS for an unknown class. meta_class queries answer class objects.
HRESULT ExecuteQuery(std::wstring_view nameSpace, std::wstring_view language, std::wstring_view query,
                     IWbemContext* context, ObjectStream* out);

// Answers a parsed ASSOCIATORS OF or REFERENCES OF from the instances of the namespace's
// association classes (those with the Association qualifier). The source must exist:
// WBEM_E_INVALID_OBJECT_PATH when its path does not parse, WBEM_E_INVALID_CLASS for an unknown
// class, WBEM_E_NOT_FOUND for a missing instance; WBEM_E_NOT_SUPPORTED for a class as source,
// KeysOnly and SchemaOnly; WBEM_E_INVALID_CLASS for an unknown ResultClass or AssocClass.
// ASSOCIATORS answers the objects at the other ends (an end that no longer resolves is left out),
// REFERENCES the association instances; each object once, in the order the classes were defined.
HRESULT ExecuteAssociationQuery(std::wstring_view nameSpace, const WqlQuery& query, IWbemContext* context,
                                ObjectStream* out);

// An IEnumWbemClassObject over the stream. A forward-only enumerator refuses Reset and Clone.
HRESULT CreateObjectEnumerator(ObjectStream stream, bool forwardOnly, IEnumWbemClassObject** ppEnum);

}  // namespace qz::wbem
