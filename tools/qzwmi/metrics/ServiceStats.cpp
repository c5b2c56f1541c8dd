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

void ServiceStats::ConnectionOpened() {
  std::lock_guard<std::mutex> hold(m_Lock);
  ++m_Now.openConnections;
}

void ServiceStats::ConnectionClosed() {
  std::lock_guard<std::mutex> hold(m_Lock);
  if (m_Now.openConnections > 0) --m_Now.openConnections;
}

ServiceStats::Snapshot ServiceStats::Read() const {
  std::lock_guard<std::mutex> hold(m_Lock);
  return m_Now;
}

}  // namespace qzwmi::metrics
