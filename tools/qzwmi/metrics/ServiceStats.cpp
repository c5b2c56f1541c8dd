#include "metrics/ServiceStats.h"

namespace qzwmi::metrics {

void ServiceStats::RecordRequest(const std::string& operation, const std::string& result, double seconds) {
  std::lock_guard<std::mutex> hold(m_Lock);
  ++m_Now.requests[{operation, result}];
  for (size_t i = 0; i < kDurationBuckets.size(); ++i)
    if (seconds <= kDurationBuckets[i]) ++m_Now.buckets[i];
  ++m_Now.durationCount;
  m_Now.durationSum += seconds;
}

void ServiceStats::RecordFailedLogin() {
  std::lock_guard<std::mutex> hold(m_Lock);
  ++m_Now.failedLogins;
}

void ServiceStats::CountConnectionsWith(std::function<int64_t()> count) {
  std::lock_guard<std::mutex> hold(m_Lock);
  m_CountConnections = std::move(count);
}

ServiceStats::Snapshot ServiceStats::Read() const {
  std::lock_guard<std::mutex> hold(m_Lock);
  Snapshot now = m_Now;
  if (m_CountConnections) now.openConnections = m_CountConnections();
  return now;
}

}  // namespace qzwmi::metrics
