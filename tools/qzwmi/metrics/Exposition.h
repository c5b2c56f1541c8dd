// The metrics of the server's memory in the two formats that Prometheus scrapes: its text
// exposition format (version 0.0.4) and OpenMetrics 1.0, which a scraper asks for in its Accept
// header.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qzwmi::metrics {

enum class Format { Text, OpenMetrics };

// The Content-Type of an answer in `format`.
const char* ContentType(Format format);

// OpenMetrics when the Accept header offers it with a weight above 0, else the text format.
Format FormatForAccept(std::string_view accept);

using Labels = std::vector<std::pair<const char*, std::string>>;

// Writes metric families one after the other. A family is named as its samples are in the text
// format (`qzwmi_requests_total`, `qzwmi_build_info`); in OpenMetrics the family drops the counter's
// `_total` and the info's `_info`, which its samples keep.
class Exposition {
 public:
  enum class Kind { Gauge, Counter, Info, Histogram };

  explicit Exposition(Format format) : m_Format(format) {}

  // Starts a family: its HELP and TYPE lines.
  void Family(std::string_view name, Kind kind, std::string_view help);
  // One sample; `name` is the whole sample name (with `_bucket`, `_sum`, ... for a histogram).
  void Sample(std::string_view name, const Labels& labels, double value);
  // Text written by another Exposition of the same format.
  void Append(const std::string& text) { m_Text += text; }

  // The exposition as it goes out: OpenMetrics ends with "# EOF".
  std::string Finish();
  std::string& Text() { return m_Text; }

 private:
  Format m_Format;
  std::string m_Text;
};

// A sample value as both formats write it: integers without a fraction, NaN and infinities by name.
std::string NumberText(double value);

}  // namespace qzwmi::metrics
