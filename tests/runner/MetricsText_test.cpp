// The metrics text: latencies land in the right fixed bucket and the buckets add up, labels are
// escaped, and the two flavours differ only where their formats do.
#include "MetricsText.h"

#include <gtest/gtest.h>

#include <string>

namespace varnox::cli {
namespace {

std::string sampleValue(const std::string& text, const std::string& series) {
  const size_t at = text.find('\n' + series + ' ');
  if (at == std::string::npos) return "<missing " + series + ">";
  const size_t start = at + series.size() + 2;
  return text.substr(start, text.find('\n', start) - start);
}

MetricsDrive drive() {
  MetricsDrive d;
  d.name = "D0";
  d.path = "/dev/disk/by-id/x\"y\\z";
  d.serial = "S\n1";
  d.model = "M";
  return d;
}

TEST(MetricsText, LatenciesLandInTheirFixedBucketAndTheBucketsAreCumulative) {
  LatencyHistogram histogram;
  // ns: within the first bucket, at its bound (counts above it), inside (2.048 us, 4.096 us],
  // 1.5 ms, and beyond the last bound.
  for (uint64_t ns : {1000ull, 1024ull, 3000ull, 1500000ull, 40000000000ull}) histogram.record(ns);
  MetricsDrive d = drive();
  d.latency["Write"] = histogram.snapshot();
  const std::string text = metricsText("running", {d}, MetricsFormat::Classic);
  const std::string labels =
      "drive=\"D0\",path=\"/dev/disk/by-id/x\\\"y\\\\z\",serial=\"S\\n1\",model=\"M\",kind=\"Write\"";
  struct Case {
    const char* le;
    const char* cumulative;
  };
  for (const Case& c :
       {Case{"1.024e-06", "1"}, Case{"2.048e-06", "2"}, Case{"4.096e-06", "3"}, Case{"0.001048576", "3"},
        Case{"0.002097152", "4"}, Case{"34.3597384", "4"}, Case{"+Inf", "5"}}) {
    EXPECT_EQ(sampleValue(text, "varnox_command_latency_seconds_bucket{" + labels + ",le=\"" + c.le + "\"}"),
              c.cumulative)
        << c.le;
  }
  EXPECT_EQ(sampleValue(text, "varnox_command_latency_seconds_count{" + labels + "}"), "5");
  EXPECT_EQ(sampleValue(text, "varnox_command_latency_seconds_sum{" + labels + "}"), "40.001505");
}

TEST(MetricsText, CountersAndStateInBothFlavours) {
  MetricsDrive d = drive();
  d.commands = 12;
  d.bytesWritten = 4096;
  d.resets = 2;
  d.powerCycles = 1;
  d.deviceErrors = 3;
  const std::string labels =
      "{drive=\"D0\",path=\"/dev/disk/by-id/x\\\"y\\\\z\",serial=\"S\\n1\",model=\"M\"}";
  const std::string open = metricsText("failed", {d}, MetricsFormat::OpenMetrics);
  const std::string classic = metricsText("failed", {d}, MetricsFormat::Classic);
  for (const std::string& text : {open, classic}) {
    EXPECT_EQ(sampleValue(text, "varnox_commands_total" + labels), "12");
    EXPECT_EQ(sampleValue(text, "varnox_written_bytes_total" + labels), "4096");
    EXPECT_EQ(sampleValue(text, "varnox_resets_total" + labels), "2");
    EXPECT_EQ(sampleValue(text, "varnox_power_cycles_total" + labels), "1");
    EXPECT_EQ(sampleValue(text, "varnox_device_errors_total" + labels), "3");
    for (const std::string& state : runStates())
      EXPECT_EQ(sampleValue(text, "varnox_run_state{state=\"" + state + "\"}"),
                state == "failed" ? "1" : "0");
  }
  // OpenMetrics names a counter's family without _total and ends with # EOF; the classic
  // format names the sample and has no end marker.
  EXPECT_NE(open.find("# TYPE varnox_commands counter\n"), std::string::npos);
  EXPECT_NE(open.find("# UNIT varnox_written_bytes bytes\n"), std::string::npos);
  EXPECT_TRUE(open.ends_with("\n# EOF\n"));
  EXPECT_NE(classic.find("# TYPE varnox_commands_total counter\n"), std::string::npos);
  EXPECT_EQ(classic.find("# EOF"), std::string::npos);
  EXPECT_EQ(classic.find("# UNIT"), std::string::npos);
}

TEST(MetricsText, TheEndOfARunReadsFromItsReport) {
  DriveReport r;
  r.passes = 10;
  r.commandsByKind = {{"Write", 4}, {"Read", 5}};
  r.completionsByStatus = {{"GOOD", 6}, {"CHECK CONDITION", 2}, {"TASK ABORTED", 1}};
  r.failures = 1;
  r.deviceErrors = 1;
  r.deviceStats.powerCycles = 3;
  r.deviceStats.resets = 4;
  const MetricsDrive d = metricsFromReport(drive(), r);
  EXPECT_EQ(d.name, "D0");
  EXPECT_EQ(d.commands, 9u);
  EXPECT_EQ(d.errorCompletions, 3u);
  EXPECT_EQ(d.powerCycles, 3u);
  EXPECT_EQ(d.resets, 4u);
  for (auto [status, state] : {std::pair{0, "passed"},
                               {1, "failed"},
                               {2, "refused"},
                               {3, "device-failure"},
                               {4, "inconclusive"},
                               {130, "interrupted"},
                               {143, "interrupted"}})
    EXPECT_EQ(runStateFor(status), state) << status;
}

}  // namespace
}  // namespace varnox::cli
