// The provider of an element class: each record of its list is one instance, filled from a table of
// the class's properties. A provider class adds its record, its list and its table, nothing else.
#pragma once

#include <wbemidl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/InstanceProvider.h"
#include "framework/PresenceBits.h"
#include "support/WmiProperty.h"

// The put of each kind of record field in the form the service keeps for it.
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, const std::wstring& value) {
  return PutString(instance, name, value);
}
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, ULONGLONG value) {
  return PutUint64(instance, name, value);
}
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, WORD value) {
  return PutUint16(instance, name, value);
}
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, DWORD value) {
  return PutUint32(instance, name, value);
}
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, bool value) {
  return PutBool(instance, name, value);
}
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<WORD>& value) {
  return PutUint16List(instance, name, value);
}
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<BYTE>& value) {
  return PutByteList(instance, name, value);
}
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<std::wstring>& value) {
  return PutStringList(instance, name, value);
}

// The bit of a row that is put whatever the record holds.
inline constexpr DWORD kAlwaysPut = 0;

// One property of a record class, in the class's put order: put when the record has `bit` (or
// always, with kAlwaysPut). A row without a put function is CreationClassName: always put, with
// the provider's class name.
template <class TRecord>
struct RecordProperty {
  const WCHAR* name;
  DWORD bit;
  HRESULT (*put)(IWbemClassObject*, LPCWSTR, const TRecord&);
};

// The CreationClassName row of a class's table.
template <class TRecord>
constexpr RecordProperty<TRecord> CreationClassNameRow() {
  return {L"CreationClassName", kAlwaysPut, nullptr};
}

// A row reads its record through a getter: the record's fields stay private, and only its setters,
// which set a property's presence bit with its value, change them. (A table made a friend of its
// record would reach the fields as well, but every record would then name the providers that read
// it.) The getter is a template argument, a constant that the compiler inlines: the put reads the
// field directly and costs what a pointer to the field would.
template <class TGetter>
struct GetterOwner;
template <class TValue, class TOwner>
struct GetterOwner<TValue (TOwner::*)() const> {
  using type = TOwner;
};

// The put of what a getter of the record returns.
template <auto Getter, class TRecord = typename GetterOwner<decltype(Getter)>::type>
HRESULT PutRecordField(IWbemClassObject* instance, LPCWSTR name, const TRecord& record) {
  return PutRecordValue(instance, name, (record.*Getter)());
}

// Puts the rows in order, each only when the record has its bit; WBEM_E_FAILED at the first put
// that fails.
template <class TRecord>
HRESULT PutRecordProperties(IWbemClassObject* instance, const TRecord& record, const WCHAR* className,
                            const RecordProperty<TRecord>* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const RecordProperty<TRecord>& row = rows[i];
    if constexpr (std::is_base_of_v<CQZPresenceBits, TRecord>) {
      if (row.bit != kAlwaysPut && !record.Has(row.bit)) continue;
    }
    const HRESULT put = row.put ? row.put(instance, row.name, record) : PutString(instance, row.name, className);
    if (FAILED(put)) return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}

// What a record provider reads from its record: the property table, and the getter of each key
// that the lookup matches against the record (by key index; null for the keys matched otherwise).
template <class TRecord>
struct RecordTable {
  using KeyGetter = const std::wstring& (TRecord::*)() const;

  const RecordProperty<TRecord>* rows;
  size_t rowCount;
  KeyGetter keys[4];
};

// The table of `rows`, with the key getters in key order.
template <class TRecord, size_t N, class... Getters>
constexpr RecordTable<TRecord> MakeRecordTable(const RecordProperty<TRecord> (&rows)[N], Getters... keys) {
  return {rows, N, {keys...}};
}

// Puts the table's rows of `record` into `instance`, CreationClassName with `className`.
template <class TRecord>
HRESULT PutRecord(IWbemClassObject* instance, const TRecord& record, const WCHAR* className,
                  const RecordTable<TRecord>& table) {
  return PutRecordProperties(instance, record, className, table.rows, table.rowCount);
}

// Selects the constructor of a record provider that owns a list of its own.
struct OwnList {};

// The provider of the records of a TList (a CQZRecordList), filled as TRecord (the list's record or
// a base of it that several classes share). Its list is either one of the module's static lists,
// shared by every provider object, or a list that the provider object owns.
template <class TList, class TRecord = typename TList::Record>
class CQZRecordProv : public CQZInstanceProvider {
 public:
  using Record = TRecord;

  CQZRecordProv(const ProviderDescription& description, const RecordTable<Record>& table, TList& list)
      : CQZInstanceProvider(description), m_Table(table), m_List(list) {}

  template <class... ListArgs>
  CQZRecordProv(OwnList, const ProviderDescription& description, const RecordTable<Record>& table,
                ListArgs&&... listArgs)
      : CQZInstanceProvider(description),
        m_Table(table),
        m_pOwnList(std::make_unique<TList>(std::forward<ListArgs>(listArgs)...)),
        m_List(*m_pOwnList) {}

 protected:
  CQZList& List() override { return m_List; }

  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override {
    Trace(L"FillInstance");
    const Record* record = m_List.GetAt(index);
    if (!record) return WBEM_E_FAILED;
    return PutRecord(pInstance, *record, Description().className, m_Table);
  }

  const WCHAR* GetRecordKey(DWORD index, size_t key) override {
    const Record* record = m_List.GetAt(index);
    if (!record || key >= std::size(m_Table.keys) || !m_Table.keys[key]) return nullptr;
    return (record->*m_Table.keys[key])().c_str();
  }

 private:
  const RecordTable<Record>& m_Table;
  std::unique_ptr<TList> m_pOwnList;
  TList& m_List;
};
