// The provider of QZ_MemoryBoard: the records of the static memory board list as instances, and
// the property-table walker that the board and slot providers fill their instances with.
#pragma once

#include <wbemidl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "framework/InstanceProvider.h"
#include "physical/QZMemoryBoardList.h"
#include "support/WmiProperty.h"

// The put of each kind of record field in the form the service keeps for it.
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, const std::wstring& value) {
  return PutString(instance, name, value);
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
inline HRESULT PutRecordValue(IWbemClassObject* instance, LPCWSTR name, const std::vector<std::wstring>& value) {
  return PutStringList(instance, name, value);
}

// One property of a record class, in the class's put order. A row without a put function is
// CreationClassName: always put, with the class's name.
template <class TRecord>
struct RecordProperty {
  const WCHAR* name;
  DWORD bit;
  HRESULT (*put)(IWbemClassObject*, LPCWSTR, const TRecord&);
};

template <auto Field, class TRecord>
HRESULT PutRecordField(IWbemClassObject* instance, LPCWSTR name, const TRecord& record) {
  return PutRecordValue(instance, name, record.*Field);
}

// Puts the rows in order, each only when the record has its bit; WBEM_E_FAILED at the first put
// that fails.
template <class TRecord, size_t N>
HRESULT PutRecordProperties(IWbemClassObject* instance, const TRecord& record, const WCHAR* className,
                            const RecordProperty<TRecord> (&rows)[N]) {
  for (const RecordProperty<TRecord>& row : rows) {
    if (!row.put) {
      if (FAILED(PutString(instance, row.name, className))) return WBEM_E_FAILED;
      continue;
    }
    if (!record.Has(row.bit)) continue;
    if (FAILED(row.put(instance, row.name, record))) return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}

// The class, its provider's names and its keys (Tag, then CreationClassName).
extern const ProviderDescription kMemoryBoardProviderDescription;

class CQZMemoryBoardProv : public CQZInstanceProvider {
 public:
  CQZMemoryBoardProv();

  // Puts the record's properties into `instance` in the class's put order, each only when its
  // presence bit is set, CreationClassName always. WBEM_E_FAILED at the first put that fails.
  static HRESULT FillRecord(IWbemClassObject* instance, const CQZMemoryBoard& record);

 protected:
  CQZList& List() override;
  HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) override;
  const WCHAR* GetRecordKey(DWORD index, size_t key) override;
};
