// What `qzwmi serve` counts about itself for its metrics: requests by operation and result, how
// long they took, failed logins and open connections. Every call is safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace qzwmi::metrics {

// The upper bounds (seconds) of the request-duration histogram's buckets, +Inf left out.
inline constexpr std::array<double, 12> kDurationBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                            0.1,   0.25,   0.5,   1,    2.5,   5};

class ServiceStats {
 public:
  struct Snapshot {
    std::map<std::pair<std::string, std::string>, uint64_t> requests;  // (operation, result) -> count
    std::array<uint64_t, kDurationBuckets.size()> buckets{};          // cumulative, as exposed
    uint64_t durationCount = 0;
    double durationSum = 0;
    uint64_t failedLogins = 0;
    int64_t openConnections = 0;
  };

  // `operation` and `result` become label values: callers pass names from a fixed set, so that a
  // client cannot make up new series.
  void RecordRequest(const std::string& operation, const std::string& result, double seconds);
  void RecordFailedLogin();
  // Where the count of open connections comes from: the HTTP layer knows it, and is asked at each read.
  void CountConnectionsWith(std::function<int64_t()> count);

  Snapshot Read() const;

 private:
  mutable std::mutex m_Lock;
  Snapshot m_Now;
  std::function<int64_t()> m_CountConnections;
};

}  // namespace qzwmi::metrics
