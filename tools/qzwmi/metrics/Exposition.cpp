#include "metrics/Exposition.h"

#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace qzwmi::metrics {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Label values and HELP texts: backslash and line feed escaped, and the double quote in values.
void AppendEscaped(std::string& out, std::string_view text, bool quote) {
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '"' && quote) out += "\\\"";
    else out += c;
  }
}

}  // namespace

const char* ContentType(Format format) {
  return format == Format::OpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                       : "text/plain; version=0.0.4; charset=utf-8";
}

Format FormatForAccept(std::string_view accept) {
  while (!accept.empty()) {
    const size_t comma = accept.find(',');
    std::string_view range = accept.substr(0, comma);
    accept = comma == std::string_view::npos ? std::string_view() : accept.substr(comma + 1);
    const size_t semicolon = range.find(';');
    if (!EqualNoCase(Trim(range.substr(0, semicolon)), "application/openmetrics-text")) continue;
    double weight = 1;
    for (std::string_view params = semicolon == std::string_view::npos ? "" : range.substr(semicolon + 1); !params.empty();) {
      const size_t next = params.find(';');
      const std::string_view param = Trim(params.substr(0, next));
      params = next == std::string_view::npos ? std::string_view() : params.substr(next + 1);
      if (param.size() > 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=')
        weight = std::strtod(std::string(param.substr(2)).c_str(), nullptr);
    }
    if (weight > 0) return Format::OpenMetrics;
  }
  return Format::Text;
}

std::string NumberText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buffer[32];
  // Whole numbers (sizes, counts, speeds) in full rather than as 1.333e+09.
  if (value == std::floor(value) && std::fabs(value) < 9e15) {
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    return std::string(buffer, written.ptr);
  }
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, written.ptr);
}

void Exposition::Family(std::string_view name, Kind kind, std::string_view help) {
  std::string_view family = name;
  const char* type = "gauge";
  if (kind == Kind::Counter) type = "counter";
  if (kind == Kind::Histogram) type = "histogram";
  if (m_Format == Format::OpenMetrics) {
    if (kind == Kind::Counter && family.size() > 6 && family.substr(family.size() - 6) == "_total") family.remove_suffix(6);
    if (kind == Kind::Info && family.size() > 5 && family.substr(family.size() - 5) == "_info") {
      family.remove_suffix(5);
      type = "info";
    }
  }
  m_Text += "# HELP ";
  m_Text += family;
  m_Text += ' ';
  AppendEscaped(m_Text, help, m_Format == Format::OpenMetrics);
  m_Text += "\n# TYPE ";
  m_Text += family;
  m_Text += ' ';
  m_Text += type;
  m_Text += '\n';
}

void Exposition::Sample(std::string_view name, const Labels& labels, double value) {
  m_Text += name;
  if (!labels.empty()) {
    m_Text += '{';
    bool first = true;
    for (const auto& [label, text] : labels) {
      if (!first) m_Text += ',';
      first = false;
      m_Text += label;
      m_Text += "=\"";
      AppendEscaped(m_Text, text, true);
      m_Text += '"';
    }
    m_Text += '}';
  }
  m_Text += ' ';
  m_Text += NumberText(value);
  m_Text += '\n';
}

std::string Exposition::Finish() {
  if (m_Format == Format::OpenMetrics) m_Text += "# EOF\n";
  return std::move(m_Text);
}

}  // namespace qzwmi::metrics
