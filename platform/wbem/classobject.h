// WMI class definitions and instances: the data of a class, its construction in code
// (ClassBuilder), the IWbemClassObject that carries a class or an instance, and the CIM value
// rules that Put applies.
#pragma once

#include <atlbase.h>
#include <wbemcli.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qz::wbem {

// WMI names (classes, properties, qualifiers, namespaces) compare without regard to case.
bool EqualNames(std::wstring_view a, std::wstring_view b);
// Orders names without regard to case; true when a sorts before b.
bool LessNames(std::wstring_view a, std::wstring_view b);

// Flavor of the qualifiers that the platform adds itself (CIMTYPE) and of "key".
inline constexpr LONG kCimTypeFlavor = WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE | WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;
inline constexpr LONG kKeyFlavor =
    WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE | WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS | WBEM_FLAVOR_NOT_OVERRIDABLE;
// The flavor a qualifier gets when none is given: it reaches instances and derived classes.
inline constexpr LONG kDefaultFlavor = WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE | WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;

struct Qualifier {
  std::wstring name;
  CComVariant value;
  LONG flavor = kDefaultFlavor;  // WBEM_FLAVOR_* propagation and override bits; origin is computed
  bool inherited = false;        // came from the superclass
  bool instanceLocal = false;    // put on an instance rather than on its class
};
using QualifierList = std::vector<Qualifier>;

// The qualifier of that name, or null.
const Qualifier* FindQualifier(const QualifierList& list, std::wstring_view name);
Qualifier* FindQualifier(QualifierList& list, std::wstring_view name);

struct PropertyDef {
  std::wstring name;
  CIMTYPE type = CIM_EMPTY;  // with CIM_FLAG_ARRAY for arrays
  QualifierList qualifiers;
  CComVariant value;    // the class's default (VT_EMPTY: none), in the stored representation
  std::wstring origin;  // the class that declared the property
  bool IsKey() const;
};

// A class definition. Shared read-only between a class object and its instances; changed only
// through a fresh copy.
struct ClassDef {
  std::wstring name;
  std::wstring superclass;               // empty: none
  std::vector<std::wstring> derivation;  // superclass first, then its superclass, ...
  std::wstring nameSpace;                // e.g. root\VXN; empty until the class is in a namespace
  std::wstring server;                   // the computer's name; empty like the namespace
  QualifierList qualifiers;
  std::vector<PropertyDef> properties;

  // Index of the property, or -1.
  int FindProperty(std::wstring_view property) const;
  bool IsSingleton() const;
};

// The CIM type's name as the CIMTYPE qualifier and MOF text write it: "uint16", "string",
// "ref:Class", "object"; arrays have the name of their element type.
std::wstring CimTypeName(CIMTYPE type, std::wstring_view refClass = {});

// Converts a value given to Put into the representation stored for the CIM type (uint16 as
// VT_I4, uint64 as decimal VT_BSTR, arrays as lower-bound-0 vectors, ...). VT_EMPTY/VT_NULL give
// VT_EMPTY (no value). WBEM_E_TYPE_MISMATCH when the value does not fit.
HRESULT CoerceToCimType(CIMTYPE type, const VARIANT& in, CComVariant* out);

// The text of a key value in an object path: strings quoted with \ and " escaped, numbers in
// decimal (unsigned types as unsigned), booleans TRUE/FALSE. False for a value without text.
bool FormatKeyValue(CIMTYPE type, const VARIANT& value, std::wstring* text);

// The value as MOF writes it ("text", 42, TRUE, {1, 2}).
std::wstring FormatMofValue(CIMTYPE type, const VARIANT& value);

// Equal stored values; strings optionally without regard to case.
bool EqualValues(const VARIANT& a, const VARIANT& b, bool ignoreCase);

// The value a Put gives to a qualifier: VT_I4, VT_R8, VT_BOOL, VT_BSTR or an array of them.
HRESULT CoerceQualifierValue(const VARIANT& in, CComVariant* out);

// Builds a class definition in code: the MOF compiler, the repository and tests use it.
//   ClassBuilder(L"QZ_MemoryModule").Superclass(base).AddKey(L"Tag", CIM_STRING)
//       .AddProperty(L"Capacity", CIM_UINT64).Create(&object);
class ClassBuilder {
 public:
  explicit ClassBuilder(std::wstring name);

  // Inherits the properties (and their qualifiers) and the class qualifiers that propagate to
  // derived classes. A null or foreign object is ignored and makes Build fail.
  ClassBuilder& Superclass(IWbemClassObject* parent);
  ClassBuilder& Superclass(const ClassDef& parent);
  ClassBuilder& Namespace(std::wstring nameSpace, std::wstring server);
  ClassBuilder& ClassQualifier(std::wstring name, const VARIANT& value, LONG flavor = kDefaultFlavor);
  ClassBuilder& ClassQualifier(std::wstring name, const wchar_t* text, LONG flavor = kDefaultFlavor);
  ClassBuilder& ClassQualifier(std::wstring name, bool flag = true, LONG flavor = kDefaultFlavor);
  // Adds (or, for an inherited one, overrides) a property; a reference names its class in refClass.
  ClassBuilder& AddProperty(std::wstring name, CIMTYPE type, std::wstring_view refClass = {});
  // Adds a property with the key qualifier.
  ClassBuilder& AddKey(std::wstring name, CIMTYPE type, std::wstring_view refClass = {});
  // Qualifiers and default of the property added last (or named).
  ClassBuilder& PropertyQualifier(std::wstring name, const VARIANT& value, LONG flavor = kDefaultFlavor);
  ClassBuilder& PropertyQualifier(std::wstring name, const wchar_t* text, LONG flavor = kDefaultFlavor);
  ClassBuilder& PropertyQualifier(std::wstring name, bool flag = true, LONG flavor = kDefaultFlavor);
  ClassBuilder& Default(const VARIANT& value);

  // The definition; null with *result set when something given was invalid (a bad name, a
  // duplicate property, a default of the wrong type, an unknown CIM type).
  std::shared_ptr<const ClassDef> Build(HRESULT* result = nullptr) const;
  // What Build would report, without building: the first invalid step, else WBEM_S_NO_ERROR.
  HRESULT Error() const { return m_Error; }
  // The definition moved out, for one that is done with the builder (check Error() first).
  ClassDef Take() { return std::move(m_Def); }
  // A class object of the definition.
  HRESULT Create(IWbemClassObject** ppClass) const;

 private:
  ClassDef m_Def;
  int m_Current = -1;
  HRESULT m_Error = WBEM_S_NO_ERROR;
};

// The IWbemClassObject of the service: a class (genus 1) or an instance of one (genus 2).
class ClassObject : public IWbemClassObject {
 public:
  // A class object, or an instance with no values set.
  static HRESULT Create(std::shared_ptr<const ClassDef> def, bool instance, IWbemClassObject** ppObject);
  // The definition behind a class object or instance of this service, or null for another object.
  static std::shared_ptr<const ClassDef> DefinitionOf(IWbemClassObject* object);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IWbemClassObject
  STDMETHODIMP GetQualifierSet(IWbemQualifierSet** ppQualSet) override;
  STDMETHODIMP Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override;
  STDMETHODIMP Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) override;
  STDMETHODIMP Delete(LPCWSTR wszName) override;
  STDMETHODIMP GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal, SAFEARRAY** pNames) override;
  STDMETHODIMP BeginEnumeration(LONG lEnumFlags) override;
  STDMETHODIMP Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override;
  STDMETHODIMP EndEnumeration() override;
  STDMETHODIMP GetPropertyQualifierSet(LPCWSTR wszProperty, IWbemQualifierSet** ppQualSet) override;
  STDMETHODIMP Clone(IWbemClassObject** ppCopy) override;
  STDMETHODIMP GetObjectText(LONG lFlags, BSTR* pstrObjectText) override;
  STDMETHODIMP SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) override;
  STDMETHODIMP SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) override;
  STDMETHODIMP CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) override;
  STDMETHODIMP GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) override;
  STDMETHODIMP InheritsFrom(LPCWSTR strAncestor) override;
  STDMETHODIMP GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                         IWbemClassObject** ppOutSignature) override;
  STDMETHODIMP PutMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject* pInSignature,
                         IWbemClassObject* pOutSignature) override;
  STDMETHODIMP DeleteMethod(LPCWSTR wszName) override;
  STDMETHODIMP BeginMethodEnumeration(LONG lEnumFlags) override;
  STDMETHODIMP NextMethod(LONG lFlags, BSTR* pstrName, IWbemClassObject** ppInSignature,
                          IWbemClassObject** ppOutSignature) override;
  STDMETHODIMP EndMethodEnumeration() override;
  STDMETHODIMP GetMethodQualifierSet(LPCWSTR wszMethod, IWbemQualifierSet** ppQualSet) override;
  STDMETHODIMP GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) override;

  // For the qualifier sets, under Lock(): the definition, and the qualifiers of the object
  // (property empty) or of a property, changed on a private copy of the definition.
  std::mutex& Lock() const { return m_Lock; }
  bool IsInstance() const { return m_IsInstance; }
  const ClassDef& Def() const { return *m_Def; }
  QualifierList& MutableQualifiers(int property);
  // The values of the instance (one per property, VT_EMPTY when not set), under Lock().
  const std::vector<CComVariant>& Values() const { return m_Values; }

 private:
  ClassObject(std::shared_ptr<const ClassDef> def, bool instance);
  virtual ~ClassObject() = default;

  // The value of a system property (false for an unknown "__" name).
  bool GetSystemProperty(std::wstring_view name, CComVariant* value, CIMTYPE* type) const;
  // The instance's relative path, or VT_NULL.
  CComVariant RelativePath() const;
  const CComVariant& ValueOf(int property) const;
  LONG PropertyFlavor(int property) const;
  ClassDef& MutableDef();
  // Lists the names GetNames and BeginEnumeration select; false for invalid flags.
  bool SelectNames(LONG flags, LPCWSTR qualifier, const VARIANT* qualifierValue, std::vector<std::wstring>* names) const;
  HRESULT GetLocked(std::wstring_view name, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) const;
  // FindProperty, trying first the property after the one found last: readers mostly go through
  // the properties in their order. Called under m_Lock.
  int IndexOf(std::wstring_view name) const;

  std::atomic<ULONG> m_Refs{1};
  mutable std::mutex m_Lock;
  std::shared_ptr<const ClassDef> m_Def;
  bool m_IsInstance;
  std::vector<CComVariant> m_Values;  // instances: one per property, VT_EMPTY when not set
  bool m_Enumerating = false;
  std::vector<std::wstring> m_EnumNames;
  size_t m_EnumPosition = 0;
  mutable size_t m_NextIndex = 0;
};

// A qualifier set of a class object or instance: of the object itself (empty property name) or of
// one of its properties, which it finds by name at every call.
HRESULT CreateQualifierSet(ClassObject* owner, std::wstring property, IWbemQualifierSet** ppQualSet);

// True for the names of system properties ("__CLASS", ...): they start with two underscores.
bool IsSystemPropertyName(std::wstring_view name);

}  // namespace qz::wbem
