// The repository's namespaces and class definitions, with the system classes of every namespace.
#include "wbem/repository.h"

#include <unistd.h>

#include <cwctype>
#include <mutex>
#include <utility>

#include "kernel32/text.h"
#include "machine/machine.h"
#include "machine/providers.h"
#include "wbem/autorecover.h"
#include "wbem/provider.h"

namespace qz::wbem {
namespace {

// The system classes every namespace starts with, each after its superclass.
struct SystemClassRow {
  const wchar_t* name;
  const wchar_t* superclass;
  void (*define)(ClassBuilder& builder);
};
constexpr SystemClassRow kSystemClasses[] = {
    {L"__SystemClass", nullptr, [](ClassBuilder& b) { b.ClassQualifier(L"abstract", true, 0); }},
    {L"__NotifyStatus", L"__SystemClass",
     [](ClassBuilder& b) { b.ClassQualifier(L"abstract", true, 0).AddProperty(L"StatusCode", CIM_UINT32); }},
    {L"__ExtendedStatus", L"__NotifyStatus",
     [](ClassBuilder& b) {
       b.AddProperty(L"Description", CIM_STRING)
           .AddProperty(L"Operation", CIM_STRING)
           .AddProperty(L"ParameterInfo", CIM_STRING)
           .AddProperty(L"ProviderName", CIM_STRING);
     }},
    {L"__NAMESPACE", L"__SystemClass", [](ClassBuilder& b) { b.AddKey(L"Name", CIM_STRING); }},
    // What binds a class to the COM server that provides its instances.
    {L"__Provider", L"__SystemClass",
     [](ClassBuilder& b) { b.ClassQualifier(L"abstract", true, 0).AddKey(L"Name", CIM_STRING); }},
    {L"__Win32Provider", L"__Provider",
     [](ClassBuilder& b) {
       b.AddProperty(L"CLSID", CIM_STRING)
           .AddProperty(L"ClientLoadableCLSID", CIM_STRING)
           .AddProperty(L"HostingModel", CIM_STRING)
           .AddProperty(L"PerUserInitialization", CIM_BOOLEAN)
           .AddProperty(L"PerLocaleInitialization", CIM_BOOLEAN)
           .AddProperty(L"Pure", CIM_BOOLEAN);
     }},
    {L"__ProviderRegistration", L"__SystemClass",
     [](ClassBuilder& b) {
       b.ClassQualifier(L"abstract", true, 0).AddKey(L"Provider", CIM_REFERENCE, L"__Win32Provider");
     }},
    {L"__ObjectProviderRegistration", L"__ProviderRegistration",
     [](ClassBuilder& b) {
       b.ClassQualifier(L"abstract", true, 0)
           .AddProperty(L"SupportsGet", CIM_BOOLEAN)
           .AddProperty(L"SupportsPut", CIM_BOOLEAN)
           .AddProperty(L"SupportsDelete", CIM_BOOLEAN)
           .AddProperty(L"SupportsEnumeration", CIM_BOOLEAN)
           .AddProperty(L"QuerySupportLevels", CIM_STRING | CIM_FLAG_ARRAY);
     }},
    {L"__InstanceProviderRegistration", L"__ObjectProviderRegistration", [](ClassBuilder&) {}},
};

std::wstring LocalServerName() {
  char host[256] = {};
  if (gethostname(host, sizeof(host) - 1) != 0 || !host[0]) return L"LOCALHOST";
  std::string name(host);
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  std::wstring wide = FromUtf8(name);
  for (wchar_t& c : wide) c = static_cast<wchar_t>(std::towupper(c));
  return wide;
}

}  // namespace

Repository& Repository::Instance() {
  // Lives as long as the process, past static destruction. The managed machine's own classes are
  // there from the start, as the other software of a server would have put them.
  static Repository* repository = [] {
    auto* created = new Repository;
    machine::InstallMachineClasses(*created);
    return created;
  }();
  // The kept MOF files are compiled once the repository exists, since compiling reaches it again;
  // other threads wait until they are in.
  static std::once_flag recovered;
  if (!RecoveringKeptMofs()) std::call_once(recovered, [] { RecoverKeptMofs(); });
  return *repository;
}

Repository::Repository() : m_Server(LocalServerName()) { CreateNamespace(L"root"); }

std::wstring Repository::Key(std::wstring_view name) {
  std::wstring key(name);
  for (wchar_t& c : key) c = static_cast<wchar_t>(std::towupper(c));
  return key;
}

std::wstring Repository::NormalizeNamespace(std::wstring_view name) {
  std::wstring normal;
  bool partEmpty = true;
  for (wchar_t c : name) {
    if (c == L'\\' || c == L'/') {
      if (partEmpty) return L"";
      normal.push_back(L'\\');
      partEmpty = true;
      continue;
    }
    if (!(std::iswalnum(c) || c == L'_')) return L"";
    normal.push_back(c);
    partEmpty = false;
  }
  return partEmpty ? L"" : normal;
}

Repository::Namespace* Repository::FindNamespaceLocked(std::wstring_view name) {
  auto it = m_Namespaces.find(Key(NormalizeNamespace(name)));
  return it == m_Namespaces.end() ? nullptr : &it->second;
}

const Repository::Namespace* Repository::FindNamespaceLocked(std::wstring_view name) const {
  auto it = m_Namespaces.find(Key(NormalizeNamespace(name)));
  return it == m_Namespaces.end() ? nullptr : &it->second;
}

HRESULT Repository::CreateNamespaceLocked(const std::wstring& name) {
  if (m_Namespaces.count(Key(name))) return WBEM_S_ALREADY_EXISTS;
  const size_t slash = name.rfind(L'\\');
  if (slash != std::wstring::npos) {
    HRESULT hr = CreateNamespaceLocked(name.substr(0, slash));
    if (FAILED(hr)) return hr;
  }
  Namespace& space = m_Namespaces[Key(name)];
  space.name = name;
  for (const SystemClassRow& row : kSystemClasses) {
    ClassBuilder builder(row.name);
    if (row.superclass) {
      for (const auto& existing : space.classes)
        if (existing->name == row.superclass) builder.Superclass(*existing);
    }
    row.define(builder);
    std::shared_ptr<const ClassDef> def = builder.Build();
    if (!def) return WBEM_E_FAILED;
    HRESULT hr = PutClassLocked(space, *def, WBEM_FLAG_CREATE_ONLY);
    if (FAILED(hr)) return hr;
  }
  return WBEM_S_NO_ERROR;
}

HRESULT Repository::CreateNamespace(std::wstring_view name) {
  const std::wstring normal = NormalizeNamespace(name);
  if (normal.empty()) return WBEM_E_INVALID_NAMESPACE;
  std::unique_lock<std::shared_mutex> guard(m_Lock);
  // A namespace's system classes come with it: replaying its creation puts them again.
  std::vector<Change>* changes = std::exchange(m_Changes, nullptr);
  const HRESULT hr = CreateNamespaceLocked(normal);
  m_Changes = changes;
  if (hr == WBEM_S_NO_ERROR) RecordLocked(Change::Kind::Namespace, normal);
  return hr;
}

bool Repository::HasNamespace(std::wstring_view name) const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return FindNamespaceLocked(name) != nullptr;
}

std::wstring Repository::NamespaceName(std::wstring_view name) const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  const Namespace* space = FindNamespaceLocked(name);
  return space ? space->name : std::wstring();
}

std::vector<std::wstring> Repository::Namespaces() const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  std::vector<std::wstring> names;
  for (const auto& [key, space] : m_Namespaces) names.push_back(space.name);
  return names;
}

HRESULT Repository::PutClassLocked(Namespace& space, ClassDef def, LONG flags) {
  if (def.name.empty()) return WBEM_E_INCOMPLETE_CLASS;
  const LONG mode = flags & (WBEM_FLAG_UPDATE_ONLY | WBEM_FLAG_CREATE_ONLY);
  if (mode == (WBEM_FLAG_UPDATE_ONLY | WBEM_FLAG_CREATE_ONLY)) return WBEM_E_INVALID_PARAMETER;
  if (!def.superclass.empty()) {
    bool found = false;
    for (const auto& existing : space.classes) found = found || EqualNames(existing->name, def.superclass);
    if (!found) return WBEM_E_INVALID_SUPERCLASS;
  }
  auto stored = std::make_shared<ClassDef>(std::move(def));
  stored->nameSpace = space.name;
  stored->server = ServerNameLocked();
  for (auto& existing : space.classes) {
    if (!EqualNames(existing->name, stored->name)) continue;
    if (mode == WBEM_FLAG_CREATE_ONLY) return WBEM_E_ALREADY_EXISTS;
    RecordLocked(Change::Kind::Class, space.name, stored);
    existing = std::move(stored);
    return WBEM_S_NO_ERROR;
  }
  if (mode == WBEM_FLAG_UPDATE_ONLY) return WBEM_E_NOT_FOUND;
  RecordLocked(Change::Kind::Class, space.name, stored);
  space.classes.push_back(std::move(stored));
  return WBEM_S_NO_ERROR;
}

void Repository::RecordLocked(Change::Kind kind, const std::wstring& nameSpace, std::shared_ptr<const ClassDef> cls,
                              std::wstring_view className, CComPtr<IWbemClassObject> instance) {
  if (!m_Changes) return;
  m_Changes->push_back(Change{kind, nameSpace, std::move(cls), std::wstring(className), std::move(instance)});
}

void Repository::RecordChanges(std::vector<Change>* changes) {
  std::unique_lock<std::shared_mutex> guard(m_Lock);
  m_Changes = changes;
}

HRESULT Repository::PutClass(std::wstring_view nameSpace, const ClassDef& def, LONG flags) {
  std::unique_lock<std::shared_mutex> guard(m_Lock);
  Namespace* space = FindNamespaceLocked(nameSpace);
  if (!space) return WBEM_E_INVALID_NAMESPACE;
  return PutClassLocked(*space, def, flags);
}

HRESULT Repository::PutClass(std::wstring_view nameSpace, ClassDef&& def, LONG flags) {
  std::unique_lock<std::shared_mutex> guard(m_Lock);
  Namespace* space = FindNamespaceLocked(nameSpace);
  if (!space) return WBEM_E_INVALID_NAMESPACE;
  return PutClassLocked(*space, std::move(def), flags);
}

HRESULT Repository::PutClass(std::wstring_view nameSpace, IWbemClassObject* cls, LONG flags) {
  if (!cls) return WBEM_E_INVALID_PARAMETER;
  std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(cls);
  if (!def) return WBEM_E_INVALID_OBJECT;
  CComVariant genus;
  if (FAILED(cls->Get(L"__GENUS", 0, &genus, nullptr, nullptr)) || genus.vt != VT_I4 || genus.lVal != WBEM_GENUS_CLASS)
    return WBEM_E_INVALID_OPERATION;
  return PutClass(nameSpace, *def, flags);
}

HRESULT Repository::DeleteClass(std::wstring_view nameSpace, std::wstring_view className) {
  std::unique_lock<std::shared_mutex> guard(m_Lock);
  Namespace* space = FindNamespaceLocked(nameSpace);
  if (!space) return WBEM_E_INVALID_NAMESPACE;
  bool found = false;
  std::vector<std::shared_ptr<const ClassDef>> kept;
  for (auto& existing : space->classes) {
    bool remove = EqualNames(existing->name, className);
    found = found || remove;
    for (const std::wstring& ancestor : existing->derivation) remove = remove || EqualNames(ancestor, className);
    if (!remove) kept.push_back(std::move(existing));
  }
  space->classes = std::move(kept);
  // Static instances go with their class.
  std::vector<StaticInstance> instances;
  for (StaticInstance& instance : space->instances) {
    bool classKept = false;
    for (const auto& cls : space->classes) classKept = classKept || EqualNames(cls->name, instance.className);
    if (classKept) instances.push_back(std::move(instance));
  }
  space->instances = std::move(instances);
  if (found) RecordLocked(Change::Kind::DeleteClass, space->name, nullptr, className);
  return found ? WBEM_S_NO_ERROR : WBEM_E_NOT_FOUND;
}

std::shared_ptr<const ClassDef> Repository::FindClass(std::wstring_view nameSpace, std::wstring_view className) const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  const Namespace* space = FindNamespaceLocked(nameSpace);
  if (!space) return nullptr;
  for (const auto& existing : space->classes)
    if (EqualNames(existing->name, className)) return existing;
  return nullptr;
}

HRESULT Repository::GetClass(std::wstring_view nameSpace, std::wstring_view className,
                             IWbemClassObject** ppClass) const {
  if (!ppClass) return WBEM_E_INVALID_PARAMETER;
  *ppClass = nullptr;
  if (!HasNamespace(nameSpace)) return WBEM_E_INVALID_NAMESPACE;
  std::shared_ptr<const ClassDef> def = FindClass(nameSpace, className);
  if (!def) return WBEM_E_NOT_FOUND;
  return ClassObject::Create(std::move(def), false, ppClass);
}

std::vector<std::shared_ptr<const ClassDef>> Repository::Classes(std::wstring_view nameSpace,
                                                                 std::wstring_view superclass, bool deep) const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  std::vector<std::shared_ptr<const ClassDef>> classes;
  const Namespace* space = FindNamespaceLocked(nameSpace);
  if (!space) return classes;
  for (const auto& existing : space->classes) {
    bool wanted = superclass.empty() ? (deep || existing->superclass.empty()) : EqualNames(existing->superclass, superclass);
    if (!wanted && deep && !superclass.empty())
      for (const std::wstring& ancestor : existing->derivation) wanted = wanted || EqualNames(ancestor, superclass);
    if (wanted) classes.push_back(existing);
  }
  return classes;
}

std::wstring Repository::ServerName() const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return ServerNameLocked();
}

std::wstring Repository::ServerNameLocked() const {
  if (m_ServerFixed) return m_Server;
  // The managed machine's NetBIOS name, as it is when a class is stored.
  std::wstring name = FromUtf8(machine::Current()->names.netBios);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
  return name.empty() ? m_Server : name;
}

void Repository::SetServerName(std::wstring name) {
  std::unique_lock<std::shared_mutex> guard(m_Lock);
  m_Server = std::move(name);
  m_ServerFixed = true;
}

}  // namespace qz::wbem

namespace qz::wbem {
namespace {

// Serves the static instances that the MOF compiler stored for a class.
class StaticInstanceProvider : public InstanceProvider {
 public:
  HRESULT Enumerate(const ClassDef& cls, IWbemContext*, ObjectStream* out) override {
    for (CComPtr<IWbemClassObject>& instance : Repository::Instance().Instances(cls.nameSpace, cls.name)) {
      TimedObject entry;
      entry.object = instance;
      out->push_back(std::move(entry));
    }
    return WBEM_S_NO_ERROR;
  }
};

}  // namespace

HRESULT Repository::PutStaticInstance(std::wstring_view nameSpace, IWbemClassObject* instance) {
  if (!instance) return WBEM_E_INVALID_PARAMETER;
  std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(instance);
  CComVariant genus;
  if (!def || FAILED(instance->Get(L"__GENUS", 0, &genus, nullptr, nullptr)) || genus.vt != VT_I4 ||
      genus.lVal != WBEM_GENUS_INSTANCE)
    return WBEM_E_INVALID_OBJECT;
  // The copy is made from the namespace's own class, so that it reports this namespace and server.
  std::shared_ptr<const ClassDef> stored = FindClass(nameSpace, def->name);
  if (!stored) return HasNamespace(nameSpace) ? WBEM_E_INVALID_CLASS : WBEM_E_INVALID_NAMESPACE;
  CComPtr<IWbemClassObject> copy;
  HRESULT hr = ClassObject::Create(stored, true, &copy);
  if (FAILED(hr)) return hr;
  for (const PropertyDef& property : def->properties) {
    CComVariant value;
    if (FAILED(instance->Get(property.name.c_str(), 0, &value, nullptr, nullptr))) continue;
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) continue;
    hr = copy->Put(property.name.c_str(), 0, &value, 0);
    if (FAILED(hr)) return hr;
  }
  return StoreStaticInstance(nameSpace, *stored, copy);
}

HRESULT Repository::AdoptStaticInstance(std::wstring_view nameSpace, CComPtr<IWbemClassObject> instance) {
  std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(instance);
  if (!def) return WBEM_E_INVALID_OBJECT;
  auto* object = static_cast<ClassObject*>(instance.p);
  if (!object->IsInstance() || def != FindClass(nameSpace, def->name)) return PutStaticInstance(nameSpace, instance);
  return StoreStaticInstance(nameSpace, *def, std::move(instance));
}

HRESULT Repository::StoreStaticInstance(std::wstring_view nameSpace, const ClassDef& stored,
                                        CComPtr<IWbemClassObject> copy) {
  CComVariant path;
  if (FAILED(copy->Get(L"__RELPATH", 0, &path, nullptr, nullptr)) || path.vt != VT_BSTR) return WBEM_E_ILLEGAL_NULL;
  {
    std::unique_lock<std::shared_mutex> guard(m_Lock);
    Namespace* space = FindNamespaceLocked(nameSpace);
    if (!space) return WBEM_E_INVALID_NAMESPACE;
    bool replaced = false;
    for (StaticInstance& existing : space->instances) {
      if (!EqualNames(existing.relativePath, path.bstrVal)) continue;
      existing.object = copy;
      replaced = true;
    }
    if (!replaced) space->instances.push_back(StaticInstance{stored.name, path.bstrVal, copy});
    RecordLocked(Change::Kind::Instance, space->name, nullptr, {}, copy);
  }
  // Only the process's repository is served; another one (a test's) keeps its instances to itself.
  if (this == &Instance() && !FindInstanceProvider(nameSpace, stored.name))
    RegisterInstanceProvider(nameSpace, stored.name, std::make_shared<StaticInstanceProvider>());
  return WBEM_S_NO_ERROR;
}

std::vector<CComPtr<IWbemClassObject>> Repository::Instances(std::wstring_view nameSpace,
                                                             std::wstring_view className) const {
  std::vector<CComPtr<IWbemClassObject>> found;
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  const Namespace* space = FindNamespaceLocked(nameSpace);
  if (!space) return found;
  for (const StaticInstance& instance : space->instances) {
    if (!EqualNames(instance.className, className)) continue;
    CComPtr<IWbemClassObject> copy;
    if (SUCCEEDED(instance.object->Clone(&copy))) found.push_back(copy);
  }
  return found;
}

}  // namespace qz::wbem
