// The metrics of the server's memory, read through the WMI service from the instances the classes
// publish: so the service's instance cache and the rebuilds after a memory event apply to them as to
// any client. Adds the host's error counters, the memory event counter and the service's own counts.
#pragma once

#include <wbemcli.h>

#include <atlbase.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "metrics/Exposition.h"
#include "metrics/ServiceStats.h"

namespace qzwmi::metrics {

struct BuildInfo {
  std::string version;
  std::string revision;
  bool operator==(const BuildInfo&) const = default;
};

struct Inventory;

// Builds the exposition; keeps the text of the instances while the service hands out the same
// ones, so that a scrape between two memory events writes only the counters anew. Thread-safe.
class MemoryMetrics {
 public:
  MemoryMetrics();
  ~MemoryMetrics();
  MemoryMetrics(const MemoryMetrics&) = delete;
  MemoryMetrics& operator=(const MemoryMetrics&) = delete;

  // The whole exposition from `services` (root\VXN). `stats` (null for none) adds the service's
  // counts. On failure returns the HRESULT of the request
  // that failed, and `out` is left alone.
  HRESULT Build(IWbemServices* services, Format format, const BuildInfo& build, ServiceStats* stats, std::string* out);

 private:
  using Objects = std::vector<CComPtr<IWbemClassObject>>;

  std::mutex m_Lock;
  Objects m_Objects;                    // every instance the last inventory was read from
  std::shared_ptr<const Inventory> m_Inventory;
  std::string m_Text[2];                // its families, per format ("" until written)
  double m_Rebuilt = 0;                 // when the instances were seen to change
};

// Writes `text` to `path` as a whole: into a new file beside it, then renamed over it, so that a
// reader sees the old text or the new one and never a part. False with the reason in `error`.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

}  // namespace qzwmi::metrics
