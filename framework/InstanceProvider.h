// The one pattern that every provider follows: initialisation, enumeration with the instance
// cache, lookup by object path, and the refusal of everything else. A provider class completes it
// with its class description, its list and FillInstance.
#pragma once

#include <atlbase.h>
#include <instprovhelper.h>
#include <ocidl.h>
#include <wbemidl.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "framework/QZList.h"
#include "support/Mutex.h"

// How a key of the lookup by path is matched against a record.
enum class KeyMatch {
  Record,        // equals the record's value for the key
  Fixed,         // equals the fixed text exactly
  ComputerName,  // equals the computer's name exactly
};

struct KeyDescription {
  const WCHAR* name;
  KeyMatch match;
  const WCHAR* fixedText;  // for KeyMatch::Fixed
};

// What distinguishes one provider class from another, besides its list and FillInstance.
struct ProviderDescription {
  const WCHAR* className;     // the WMI class, "QZ_MemoryModule"
  const WCHAR* providerName;  // the provider class, "CQZMemoryModuleProv", used in log lines
  const WCHAR* mutexName;     // behind "Global\wmi_", or null for a private mutex
  bool staticList;            // the list is shared by every provider object and locked around use
  ULONGLONG pathInfo;         // the path information a lookup requires
  const KeyDescription* keys; // compared in this order
  size_t keyCount;
  bool logsLookupOutcome;     // logs "Returning instance by path" / "Cannot return instance by path"
};

class CQZInstanceProvider : public IWbemServices, public IWbemProviderInit, public IProvideClassInfo {
 public:
  explicit CQZInstanceProvider(const ProviderDescription& description);
  virtual ~CQZInstanceProvider();

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IWbemProviderInit
  STDMETHODIMP Initialize(LPWSTR wszUser, LONG lFlags, LPWSTR wszNamespace, LPWSTR wszLocale,
                          IWbemServices* pNamespace, IWbemContext* pCtx, IWbemProviderInitSink* pInitSink) override;

  // IProvideClassInfo: the coclass's type information, from the type library of the module that
  // holds the provider; the coclass is the one named after the provider class without its "C".
  // TYPE_E_CANTLOADLIBRARY when that module carries no type library.
  STDMETHODIMP GetClassInfo(ITypeInfo** ppTI) override;

  // IWbemServices: what a provider answers
  STDMETHODIMP GetObjectAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                              IWbemObjectSink* pResponseHandler) override;
  STDMETHODIMP PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                IWbemObjectSink* pResponseHandler) override;
  STDMETHODIMP DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                   IWbemObjectSink* pResponseHandler) override;
  STDMETHODIMP CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                       IWbemObjectSink* pResponseHandler) override;
  STDMETHODIMP ExecQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
                              IWbemObjectSink* pResponseHandler) override;

  // IWbemServices: refused with WBEM_E_NOT_SUPPORTED
  STDMETHODIMP OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override;
  STDMETHODIMP CancelAsyncCall(IWbemObjectSink*) override;
  STDMETHODIMP QueryObjectSink(LONG, IWbemObjectSink**) override;
  STDMETHODIMP GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override;
  STDMETHODIMP PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override;
  STDMETHODIMP PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override;
  STDMETHODIMP DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override;
  STDMETHODIMP DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
  STDMETHODIMP CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override;
  STDMETHODIMP CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
  STDMETHODIMP PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override;
  STDMETHODIMP DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override;
  STDMETHODIMP CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override;
  STDMETHODIMP ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override;
  STDMETHODIMP ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override;
  STDMETHODIMP ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
  STDMETHODIMP ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**,
                          IWbemCallResult**) override;
  STDMETHODIMP ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                               IWbemObjectSink*) override;

  // Finds the one instance that the path names; the instance comes with a reference.
  [[nodiscard]] HRESULT GetInstanceByPath(const BSTR strObjectPath, IWbemClassObject** ppInstance);

  const ProviderDescription& Description() const { return m_Description; }
  DWORD Stamp() const { return m_Stamp; }

 protected:
  // The provider's list: a static list shared by all provider objects, or its own member.
  virtual CQZList& List() = 0;

  // Copies list record `index` into a freshly spawned instance.
  [[nodiscard]] virtual HRESULT FillInstance(IWbemClassObject* pInstance, DWORD index) = 0;

  // The record's value of key `key` (an index into the description's keys), for the lookup.
  virtual const WCHAR* GetRecordKey(DWORD index, size_t key) = 0;

  // The computer's name for keys matched against it; a Win32 error when none can be had.
  virtual DWORD GetKeyComputerName(std::wstring* name);

  // The trace line: "Entering" at Verbose under "<provider>::<operation>".
  void Trace(const WCHAR* operation) const;

  // One line under "<provider>::<operation>" at the severity, with the log's lock held.
  void LogLine(const WCHAR* operation, DWORD severity, const WCHAR* format, ...) const;

 private:
  [[nodiscard]] HRESULT ExtractKeys(const BSTR strObjectPath, std::vector<std::wstring>* values, std::vector<bool>* present);
  bool RecordMatches(DWORD index, const std::vector<std::wstring>& values, const std::vector<bool>& present,
                     const std::wstring& computerName);
  // Rebuilds the instance cache when the list has changed and indicates it to the sink, under the
  // request lock; the request's result.
  HRESULT IndicateInstances(IWbemContext* pCtx, IWbemObjectSink* pResponseHandler);
  // The instance of the first record that matches the keys, with a reference; null when none does
  // or its instance cannot be made.
  IWbemClassObject* FindInstance(const std::vector<std::wstring>& values, const std::vector<bool>& present,
                                 const std::wstring& computerName);
  class CRequestLock;
  void ClearCache();

  const ProviderDescription& m_Description;
  std::atomic<ULONG> m_RefCount{1};
  CComPtr<IWbemServices> m_pNamespace;
  CComPtr<IWbemClassObject> m_pClass;
  CComPtr<IUnknown> m_pUnused;  // an interface slot that no operation sets
  CComPtr<IClassFactory> m_pParserFactory;
  std::unique_ptr<CInstanceProviderHelper> m_pHelper;
  CMutex m_Mutex;
  std::vector<IWbemClassObject*> m_Instances;
  DWORD m_Stamp = 0;
};
