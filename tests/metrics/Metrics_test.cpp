// The metrics in-process: the two exposition formats, the choice between them, the service's
// counts, the endpoint's refusals and the atomic file write.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "metrics/Exposition.h"
#include "metrics/MemoryMetrics.h"
#include "metrics/MetricsEndpoint.h"
#include "metrics/ServiceStats.h"
#include "tests/qzwmi/QzwmiRun.h"

namespace {

using namespace qzwmi::metrics;
namespace fs = std::filesystem;

using qzwmitest::ReadWholeFile;
using qzwmitest::RootFile;

TEST(Metrics, AcceptHeaderChoosesTheFormat) {
  const struct {
    const char* accept;
    Format format;
  } cases[] = {
      {"", Format::Text},
      {"text/plain;version=0.0.4", Format::Text},
      {"application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
       "text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
       Format::OpenMetrics},
      {"text/plain, Application/OpenMetrics-Text ; q=0.2", Format::OpenMetrics},
      {"application/openmetrics-text; q=0", Format::Text},
      {"application/openmetrics-textual", Format::Text},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatForAccept(c.accept), c.format) << c.accept;
}

// Counters and infos are named differently by the two formats; values and help are escaped.
TEST(Metrics, FamiliesAreWrittenAsEachFormatNamesThem) {
  const auto write = [](Format format) {
    Exposition out(format);
    out.Family("qzwmi_errors_total", Exposition::Kind::Counter, "Errors \\ with \"quotes\"\nand lines.");
    out.Sample("qzwmi_errors_total", {{"tag", "a\"b\\c\nd"}}, 3);
    out.Family("qzwmi_build_info", Exposition::Kind::Info, "Build.");
    out.Sample("qzwmi_build_info", {{"version", "1.0"}}, 1);
    out.Family("qzwmi_size_bytes", Exposition::Kind::Gauge, "Size.");
    out.Sample("qzwmi_size_bytes", {}, 85899345920.0);
    return out.Finish();
  };
  EXPECT_EQ(write(Format::Text),
            "# HELP qzwmi_errors_total Errors \\\\ with \"quotes\"\\nand lines.\n"
            "# TYPE qzwmi_errors_total counter\n"
            "qzwmi_errors_total{tag=\"a\\\"b\\\\c\\nd\"} 3\n"
            "# HELP qzwmi_build_info Build.\n# TYPE qzwmi_build_info gauge\nqzwmi_build_info{version=\"1.0\"} 1\n"
            "# HELP qzwmi_size_bytes Size.\n# TYPE qzwmi_size_bytes gauge\nqzwmi_size_bytes 85899345920\n");
  EXPECT_EQ(write(Format::OpenMetrics),
            "# HELP qzwmi_errors Errors \\\\ with \\\"quotes\\\"\\nand lines.\n"
            "# TYPE qzwmi_errors counter\n"
            "qzwmi_errors_total{tag=\"a\\\"b\\\\c\\nd\"} 3\n"
            "# HELP qzwmi_build Build.\n# TYPE qzwmi_build info\nqzwmi_build_info{version=\"1.0\"} 1\n"
            "# HELP qzwmi_size_bytes Size.\n# TYPE qzwmi_size_bytes gauge\nqzwmi_size_bytes 85899345920\n"
            "# EOF\n");
}

TEST(Metrics, NumbersAreWrittenExactly) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{0, "0"}, {0.0025, "0.0025"}, {8589934592.0, "8589934592"}, {1333e6, "1333000000"},
               {1796544887.25, "1796544887.25"}, {NAN, "NaN"}, {INFINITY, "+Inf"}, {-INFINITY, "-Inf"}};
  for (const auto& c : cases) EXPECT_EQ(NumberText(c.value), c.text);
}

TEST(Metrics, ServiceStatsCountIntoCumulativeBuckets) {
  ServiceStats stats;
  stats.RecordRequest("GetInstance", "ok", 0.002);
  stats.RecordRequest("GetInstance", "ok", 0.3);
  stats.RecordRequest("GetInstance", "error", 7);
  stats.RecordFailedLogin();
  stats.CountConnectionsWith([] { return int64_t{3}; });
  const ServiceStats::Snapshot s = stats.Read();
  EXPECT_EQ((s.requests.at({"GetInstance", "ok"})), 2u);
  EXPECT_EQ((s.requests.at({"GetInstance", "error"})), 1u);
  const std::array<uint64_t, kDurationBuckets.size()> buckets = {0, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2};
  EXPECT_EQ(s.buckets, buckets);
  EXPECT_EQ(s.durationCount, 3u);
  EXPECT_DOUBLE_EQ(s.durationSum, 7.302);
  EXPECT_EQ(s.failedLogins, 1u);
  EXPECT_EQ(s.openConnections, 3);
}

TEST(Metrics, TokenFileMustBeKeptFromOthers) {
  const struct {
    const char* what;
    std::string text;
    mode_t mode;
    bool good;
    std::string token;
  } cases[] = {
      {"owner only", "  s3cret-token \r\nignored\n", 0600, true, "s3cret-token"},
      {"owner and group", "abc", 0640, true, "abc"},
      {"readable by others", "abc", 0644, false, ""},
      {"no token", " \n", 0600, false, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = RootFile("token" + std::to_string(++n));
    qzwmitest::WriteWholeFile(path, c.text);
    chmod(path.c_str(), c.mode);
    std::string token, error;
    EXPECT_EQ(ReadTokenFile(path, &token, &error), c.good) << c.what << ": " << error;
    if (c.good) EXPECT_EQ(token, c.token) << c.what;
    else EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << c.what << ": " << error;
  }
}

TEST(Metrics, LoopbackPeers) {
  for (const char* peer : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1"}) EXPECT_TRUE(IsLoopbackPeer(peer)) << peer;
  for (const char* peer : {"10.0.0.1", "128.0.0.1", "::ffff:10.0.0.1", "", "localhost.evil"}) EXPECT_FALSE(IsLoopbackPeer(peer)) << peer;
}

// Every refusal is decided before the instances are read.
TEST(Metrics, EndpointRefusesWhatItMayNotAnswer) {
  ServiceStats stats;
  std::string checked;
  const auto check = [&](const std::string& header) {
    checked = header;
    return header == "Basic good";
  };
  MetricsEndpoint open({MetricsAuth::None, false, ""}, "", nullptr, &stats, {});
  MetricsEndpoint users({MetricsAuth::Users, false, ""}, "", check, &stats, {});
  MetricsEndpoint token({MetricsAuth::Token, false, ""}, "t0ken", nullptr, &stats, {});
  const struct {
    const char* what;
    MetricsEndpoint& endpoint;
    MetricsRequest request;
    int status;
    const char* header;  // a header the answer must carry, "Name: value"
    bool failedLogin;
  } cases[] = {
      {"another path", open, {"GET", "/metricsx", "", "", false, "127.0.0.1"}, 404, "", false},
      {"a write", open, {"POST", "/metrics", "", "", false, "127.0.0.1"}, 405, "Allow: GET, HEAD", false},
      {"no authentication from afar", open, {"GET", "/metrics", "", "", false, "192.0.2.7"}, 403, "", false},
      {"users without credentials", users, {"GET", "/metrics", "", "", false, "127.0.0.1"}, 401,
       "WWW-Authenticate: Basic realm=\"qzwmi\"", false},
      {"users with bad credentials", users, {"GET", "/metrics?x", "", "Basic bad", true, "127.0.0.1"}, 401,
       "WWW-Authenticate: Basic realm=\"qzwmi\"", true},
      {"token missing", token, {"GET", "/metrics", "", "", false, "192.0.2.7"}, 401,
       "WWW-Authenticate: Bearer realm=\"qzwmi\"", false},
      {"token wrong", token, {"GET", "/metrics", "", "Bearer t0ken2", true, "192.0.2.7"}, 401, "", true},
      {"token as Basic", token, {"GET", "/metrics", "", "Basic t0ken", true, "192.0.2.7"}, 401, "", true},
  };
  for (const auto& c : cases) {
    const MetricsAnswer answer = c.endpoint.AnswerMetrics(c.request);
    EXPECT_EQ(answer.status, c.status) << c.what;
    EXPECT_EQ(answer.failedLogin, c.failedLogin) << c.what;
    if (*c.header) {
      const std::string header = c.header;
      const std::pair<std::string, std::string> expected{header.substr(0, header.find(':')), header.substr(header.find(':') + 2)};
      EXPECT_NE(std::find(answer.headers.begin(), answer.headers.end(), expected), answer.headers.end()) << c.what;
    }
  }
  EXPECT_EQ(checked, "Basic bad");
  const ServiceStats::Snapshot s = stats.Read();
  EXPECT_EQ(s.failedLogins, 3u);
  EXPECT_EQ((s.requests.at({"metrics", "unauthorized"})), 5u);
  EXPECT_EQ((s.requests.at({"metrics", "refused"})), 3u);
}

TEST(Metrics, FileIsReplacedWhole) {
  const std::string path = RootFile("qzwmi.prom");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "old\n", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(path, "new text\n", &error)) << error;
  EXPECT_EQ(ReadWholeFile(path), "new text\n");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(QzGetSystemRoot()))
    files += entry.path().filename().string().rfind("qzwmi.prom", 0) == 0;
  EXPECT_EQ(files, 1u);  // no temporary file left beside it
}

}  // namespace
