// Carries out CIM operations through the WMI service of this process: each intrinsic method
// becomes the matching IWbemServices call (the association methods an ASSOCIATORS OF or
// REFERENCES OF query) and its objects become CIM-XML.
#pragma once

#include <wbemcli.h>

#include <atlbase.h>

#include <map>
#include <memory>
#include <vector>
#include <mutex>
#include <string>

#include "serve/CimRequest.h"

namespace qzwmi::serve {

// The CIM status code that answers a WBEM failure.
int CimStatusOf(HRESULT hr);

// The CIM-XML of enumerations already answered, each kept with the objects it was written from.
// The service hands out the providers' own instances, and a provider never changes an instance it
// has published (it makes new ones when it rebuilds), so the same objects in the same order give
// the same text. The objects are held while their text is kept, so their addresses cannot come
// back as other objects.
class RenderedEnumerations {
 public:
  using Objects = std::vector<CComPtr<IWbemClassObject>>;

  // Keeps at most `budget` bytes of keys and texts, and at most kMaxEntries texts: beyond either,
  // the text used longest ago goes.
  explicit RenderedEnumerations(size_t budget = 32u << 20) : m_Budget(budget) {}
  static constexpr size_t kMaxEntries = 64;

  // The text written for `key` from exactly these objects, or null. `lastSize`, when given, gets
  // the size of the text kept for `key` from whatever objects (0 for none): the size to expect.
  std::shared_ptr<const std::string> Find(const std::string& key, const Objects& objects, size_t* lastSize = nullptr);
  void Store(const std::string& key, Objects objects, std::shared_ptr<const std::string> text);
  void Clear();
  size_t Bytes();  // of the keys and texts kept

 private:
  struct Entry {
    Objects objects;
    std::shared_ptr<const std::string> text;
    uint64_t used = 0;
  };
  const size_t m_Budget;
  std::mutex m_Lock;
  std::map<std::string, Entry> m_Entries;
  size_t m_Bytes = 0;
  uint64_t m_Uses = 0;
};

class CimOperations {
 public:
  // Runs `request` and returns the body of its response (HTTP 200): the return value, or the CIM
  // error. `host` is the host the client addressed, written into the instance paths it gets back.
  // Safe to call from several threads at once.
  std::string Execute(const CimRequest& request, const std::string& host);

  // Drops the connections to the service, so that the module can be unloaded.
  void Release();

 private:
  HRESULT Connect(const std::vector<std::string>& nameSpace, CComPtr<IWbemServices>& services);

  std::mutex m_Lock;
  std::map<std::wstring, CComPtr<IWbemServices>> m_Services;
  RenderedEnumerations m_Rendered;
};

}  // namespace qzwmi::serve
