#pragma once
// The run's live metrics as text a Prometheus server scrapes: per drive the counters (commands,
// passes, bytes written and verified, failures, device errors, error completions, power cycles,
// resets), the latency of each command kind as a histogram with fixed logarithmic buckets, and
// the run's state. Every series of a drive carries its name, path, serial and model as labels.
// Two flavours of one content: OpenMetrics for a scrape that asks for it, the classic text
// format for the node exporter's textfile collector (and promtool), which reads only that.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "varnox/LatencyHistogram.h"
#include "varnox/TestRun.h"

namespace varnox::cli {

struct MetricsDrive {
  std::string name;
  std::string path;    // "sim" or the file or block device
  std::string serial;  // empty when the drive has none
  std::string model;
  uint64_t passes = 0;
  uint64_t commands = 0;
  uint64_t bytesWritten = 0;
  uint64_t bytesVerified = 0;
  uint64_t failures = 0;
  uint64_t deviceErrors = 0;      // errors no fault rule injected
  uint64_t errorCompletions = 0;  // completions other than GOOD, injected ones included
  uint64_t powerCycles = 0;
  uint64_t resets = 0;
  std::map<std::string, LatencySnapshot> latency;  // by command kind ("Write", "Read", ...)
};

enum class MetricsFormat { OpenMetrics, Classic };

// What a run can be in: "preparing", "running", then how it ended ("passed", "failed",
// "refused", "device-failure", "inconclusive", "interrupted").
const std::vector<std::string>& runStates();
std::string runStateFor(int exitStatus);

// Upper bounds of the latency histogram's buckets in nanoseconds: 2^10 (1.024 us) to 2^35
// (34.4 s), doubling.
const std::vector<uint64_t>& latencyBucketBoundsNs();

std::string metricsText(const std::string& state, const std::vector<MetricsDrive>& drives,
                        MetricsFormat format);

// A drive's figures from its live counters (while the run runs) and from its report (at the end);
// `identity` gives name, path, serial and model.
MetricsDrive metricsFromProgress(const MetricsDrive& identity, const DriveProgress& progress);
MetricsDrive metricsFromReport(const MetricsDrive& identity, const DriveReport& report);

}  // namespace varnox::cli
