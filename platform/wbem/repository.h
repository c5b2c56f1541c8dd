// The WMI repository of this process: namespaces (root, root\VXN, root\wmi, ...) and the class
// definitions they hold, and the IWbemServices object that serves one namespace.
#pragma once

#include <wbemcli.h>

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "wbem/classobject.h"

namespace qz::wbem {

class Repository {
 public:
  // The repository of the process, with the namespace "root" and its system classes.
  static Repository& Instance();

  Repository();
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  // The canonical spelling of a namespace name: backslashes between the parts ("root/VXN" is
  // root\VXN); empty for a malformed name (empty parts, characters other than letters, digits, _).
  static std::wstring NormalizeNamespace(std::wstring_view name);

  // Creates the namespace and its missing parents, each with the system classes (__SystemClass,
  // __NotifyStatus, __ExtendedStatus, __NAMESPACE). WBEM_S_ALREADY_EXISTS when it was there;
  // WBEM_E_INVALID_NAMESPACE for a malformed name.
  HRESULT CreateNamespace(std::wstring_view name);
  bool HasNamespace(std::wstring_view name) const;
  // The namespace's name as it was first created (names compare without regard to case); empty
  // when there is no such namespace.
  std::wstring NamespaceName(std::wstring_view name) const;
  // Every namespace, in the order of their names.
  std::vector<std::wstring> Namespaces() const;

  // Adds or replaces a class. Its superclass must be in the namespace already; the stored class
  // carries the namespace's name and the server's. flags: WBEM_FLAG_CREATE_OR_UPDATE,
  // WBEM_FLAG_CREATE_ONLY (WBEM_E_ALREADY_EXISTS when there) or WBEM_FLAG_UPDATE_ONLY
  // (WBEM_E_NOT_FOUND when not).
  HRESULT PutClass(std::wstring_view nameSpace, const ClassDef& def, LONG flags = WBEM_FLAG_CREATE_OR_UPDATE);
  HRESULT PutClass(std::wstring_view nameSpace, ClassDef&& def, LONG flags = WBEM_FLAG_CREATE_OR_UPDATE);
  HRESULT PutClass(std::wstring_view nameSpace, IWbemClassObject* cls, LONG flags = WBEM_FLAG_CREATE_OR_UPDATE);
  // Removes a class and the classes derived from it. WBEM_E_NOT_FOUND when it is not there.
  HRESULT DeleteClass(std::wstring_view nameSpace, std::wstring_view className);

  // The class, or null (also for an unknown namespace).
  std::shared_ptr<const ClassDef> FindClass(std::wstring_view nameSpace, std::wstring_view className) const;
  // A class object of the class: WBEM_E_INVALID_NAMESPACE, WBEM_E_NOT_FOUND.
  HRESULT GetClass(std::wstring_view nameSpace, std::wstring_view className, IWbemClassObject** ppClass) const;
  // The classes of a namespace in the order they were put: all of them (empty superclass), or
  // those derived from the superclass (deep: at any depth; shallow: its direct children).
  std::vector<std::shared_ptr<const ClassDef>> Classes(std::wstring_view nameSpace, std::wstring_view superclass = {},
                                                       bool deep = true) const;

  // Stores a copy of an instance as a static instance of its class (as the MOF compiler's
  // "instance of" does); one with the same keys is replaced. Classes that have static instances
  // are served by a built-in instance provider unless another provider serves them.
  // WBEM_E_INVALID_PARAMETER for a null object, WBEM_E_INVALID_OBJECT for a class object or an
  // object of another service, WBEM_E_INVALID_NAMESPACE, WBEM_E_INVALID_CLASS when its class is not
  // in the namespace, WBEM_E_ILLEGAL_NULL when a key has no value.
  HRESULT PutStaticInstance(std::wstring_view nameSpace, IWbemClassObject* instance);
  // The same for an instance of the namespace's own class (as FindClass gives it) that its maker
  // hands over and no longer changes: it is stored as it is, without a copy.
  HRESULT AdoptStaticInstance(std::wstring_view nameSpace, CComPtr<IWbemClassObject> instance);
  // Copies of the static instances of exactly that class, in the order they were first stored.
  std::vector<CComPtr<IWbemClassObject>> Instances(std::wstring_view nameSpace, std::wstring_view className) const;

  // The server name that classes stored from now on (and their instances) report in __SERVER: the
  // managed machine's NetBIOS name in upper case (the host name up to its first dot when the
  // machine has none), unless SetServerName fixed another.
  std::wstring ServerName() const;
  void SetServerName(std::wstring name);

  // A change the repository made, as replaying it into another repository repeats it.
  struct Change {
    enum class Kind { Namespace, Class, DeleteClass, Instance };
    Kind kind = Kind::Namespace;
    std::wstring nameSpace;                 // the namespace created, or the one changed
    std::shared_ptr<const ClassDef> cls;    // Class: the class as stored
    std::wstring className;                 // DeleteClass
    CComPtr<IWbemClassObject> instance;     // Instance: the stored copy
  };
  // While `changes` is set, every namespace created, class put or deleted and static instance
  // stored is appended to it, in the order they happen; null stops that.
  void RecordChanges(std::vector<Change>* changes);

 private:
  struct StaticInstance {
    std::wstring className;
    std::wstring relativePath;  // identifies the instance by its keys
    CComPtr<IWbemClassObject> object;
  };
  struct Namespace {
    std::wstring name;
    std::vector<std::shared_ptr<const ClassDef>> classes;
    std::vector<StaticInstance> instances;
  };
  static std::wstring Key(std::wstring_view name);
  Namespace* FindNamespaceLocked(std::wstring_view name);
  const Namespace* FindNamespaceLocked(std::wstring_view name) const;
  HRESULT CreateNamespaceLocked(const std::wstring& name);
  HRESULT PutClassLocked(Namespace& space, ClassDef def, LONG flags);
  // Appends a change to the recorded ones, while changes are recorded.
  void RecordLocked(Change::Kind kind, const std::wstring& nameSpace, std::shared_ptr<const ClassDef> cls = nullptr,
                    std::wstring_view className = {}, CComPtr<IWbemClassObject> instance = nullptr);
  // Stores an instance of `stored`, the namespace's own class, in place of one with the same keys.
  HRESULT StoreStaticInstance(std::wstring_view nameSpace, const ClassDef& stored, CComPtr<IWbemClassObject> copy);
  std::wstring ServerNameLocked() const;

  mutable std::shared_mutex m_Lock;
  std::map<std::wstring, Namespace> m_Namespaces;  // by upper-case name
  std::wstring m_Server;
  bool m_ServerFixed = false;
  std::vector<Change>* m_Changes = nullptr;
};

// The IWbemServices of a namespace of the repository: WBEM_E_INVALID_NAMESPACE when there is none.
// GetObject returns class definitions (a null path: an empty class to define), PutClass and
// DeleteClass change the repository, OpenNamespace opens a child namespace; what needs providers
// (instances, enumerations, queries) answers WBEM_E_NOT_SUPPORTED for now.
HRESULT CreateServices(std::wstring_view nameSpace, IWbemServices** ppServices);

}  // namespace qz::wbem
