#include "MetricsText.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace varnox::cli {
namespace {

// StepSpec::Kind's names as the summary prints them, in the enum's order.
constexpr std::array<const char*, std::tuple_size_v<KindLatencies>> kKindNames = {
    "Agent",  "Write",     "WriteSame",   "Trim",      "WriteAtomic", "Read",
    "Verify", "SyncCache", "PowerToggle", "ZoneReset", "Invalidate",  "GetStatus"};

std::string labelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

struct Family {
  const char* name;  // without "_total"
  const char* help;
  uint64_t MetricsDrive::*field;
};

constexpr Family kCounters[] = {
    {"varnox_passes", "Passes of the drive's flow.", &MetricsDrive::passes},
    {"varnox_commands", "Commands sent to the drive.", &MetricsDrive::commands},
    {"varnox_written_bytes", "Bytes written with good status.", &MetricsDrive::bytesWritten},
    {"varnox_verified_bytes", "Bytes read back or verified with good status.", &MetricsDrive::bytesVerified},
    {"varnox_failures", "Data-integrity failures.", &MetricsDrive::failures},
    {"varnox_device_errors", "Errors the device made that no fault rule injected.",
     &MetricsDrive::deviceErrors},
    {"varnox_error_completions", "Completions with a status other than GOOD.",
     &MetricsDrive::errorCompletions},
    {"varnox_power_cycles", "Power cycles of the drive.", &MetricsDrive::powerCycles},
    {"varnox_resets", "Resets of the drive.", &MetricsDrive::resets},
};

}  // namespace

const std::vector<std::string>& runStates() {
  static const std::vector<std::string> states = {
      "preparing", "running", "passed", "failed", "refused", "device-failure", "inconclusive", "interrupted"};
  return states;
}

std::string runStateFor(int exitStatus) {
  switch (exitStatus) {
    case kExitPassed:
      return "passed";
    case kExitIntegrityFailure:
      return "failed";
    case kExitRefused:
      return "refused";
    case kExitDeviceFailure:
      return "device-failure";
    case kExitInconclusive:
      return "inconclusive";
    default:
      return "interrupted";
  }
}

const std::vector<uint64_t>& latencyBucketBoundsNs() {
  static const std::vector<uint64_t> bounds = [] {
    std::vector<uint64_t> b;
    for (int k = 10; k <= 35; ++k) b.push_back(uint64_t{1} << k);
    return b;
  }();
  return bounds;
}

std::string metricsText(const std::string& state, const std::vector<MetricsDrive>& drives,
                        MetricsFormat format) {
  const bool open = format == MetricsFormat::OpenMetrics;
  std::string out;
  auto header = [&](const std::string& family, const std::string& sample, const char* type, const char* help,
                    const char* unit) {
    // OpenMetrics names a counter's family without "_total"; the classic format names the sample.
    const std::string& named = open ? family : sample;
    out += "# HELP " + named + ' ' + help + '\n';
    out += "# TYPE " + named + ' ' + type + '\n';
    if (open && unit != nullptr) out += "# UNIT " + named + ' ' + unit + '\n';
  };
  auto labels = [](const MetricsDrive& d) {
    return "drive=\"" + labelValue(d.name) + "\",path=\"" + labelValue(d.path) + "\",serial=\"" +
           labelValue(d.serial) + "\",model=\"" + labelValue(d.model) + '"';
  };

  header("varnox_run_state", "varnox_run_state", "gauge", "1 for the state the run is in, 0 for the others.",
         nullptr);
  for (const std::string& s : runStates())
    out += "varnox_run_state{state=\"" + s + "\"} " + (s == state ? "1" : "0") + '\n';

  for (const Family& f : kCounters) {
    const std::string family = f.name;
    const bool bytes = family.ends_with("_bytes");
    header(family, family + "_total", "counter", f.help, bytes ? "bytes" : nullptr);
    for (const MetricsDrive& d : drives)
      out += family + "_total{" + labels(d) + "} " + std::to_string(d.*f.field) + '\n';
  }

  // The bounds are powers of two in nanoseconds, as are the drive's histogram's, so each of its
  // buckets (about 1% wide) lies wholly below one bound: the counts are exact, except that a
  // latency of exactly a bound counts in the bucket above it.
  const std::vector<uint64_t>& bounds = latencyBucketBoundsNs();
  const std::string histogram = "varnox_command_latency_seconds";
  header(histogram, histogram, "histogram",
         "Latency of the drive's commands by kind, submission to completion.", "seconds");
  for (const MetricsDrive& d : drives) {
    for (const auto& [kind, snapshot] : d.latency) {
      std::vector<uint64_t> counts(bounds.size() + 1, 0);
      for (size_t i = 0; i < snapshot.buckets.size(); ++i) {
        if (snapshot.buckets[i] == 0) continue;
        const uint64_t high = LatencyHistogram::bucketHighNs(i);
        const size_t slot = high == UINT64_MAX
                                ? bounds.size()
                                : std::lower_bound(bounds.begin(), bounds.end(), high + 1) - bounds.begin();
        counts[slot] += snapshot.buckets[i];
      }
      const std::string base = labels(d) + ",kind=\"" + labelValue(kind) + '"';
      uint64_t cumulative = 0;
      for (size_t i = 0; i < bounds.size(); ++i) {
        cumulative += counts[i];
        out += histogram + "_bucket{" + base + ",le=\"" + number(static_cast<double>(bounds[i]) * 1e-9) +
               "\"} " + std::to_string(cumulative) + '\n';
      }
      out += histogram + "_bucket{" + base + ",le=\"+Inf\"} " + std::to_string(snapshot.count) + '\n';
      out += histogram + "_count{" + base + "} " + std::to_string(snapshot.count) + '\n';
      out += histogram + "_sum{" + base + "} " + number(static_cast<double>(snapshot.sumNs) * 1e-9) + '\n';
    }
  }
  if (open) out += "# EOF\n";
  return out;
}

MetricsDrive metricsFromProgress(const MetricsDrive& identity, const DriveProgress& p) {
  MetricsDrive d = identity;
  d.passes = p.passes.load(std::memory_order_relaxed);
  d.commands = p.commands.load(std::memory_order_relaxed);
  d.bytesWritten = p.bytesWritten.load(std::memory_order_relaxed);
  d.bytesVerified = p.bytesVerified.load(std::memory_order_relaxed);
  d.failures = p.failures.load(std::memory_order_relaxed);
  d.deviceErrors = p.deviceErrors.load(std::memory_order_relaxed);
  d.errorCompletions = p.errors.load(std::memory_order_relaxed);
  d.powerCycles = p.powerCycles.load(std::memory_order_relaxed);
  d.resets = p.resets.load(std::memory_order_relaxed);
  if (p.latency != nullptr) {
    for (size_t kind = 0; kind < p.latency->size(); ++kind) {
      LatencySnapshot s = (*p.latency)[kind].snapshot();
      if (s.count != 0) d.latency[kKindNames[kind]] = std::move(s);
    }
  }
  return d;
}

MetricsDrive metricsFromReport(const MetricsDrive& identity, const DriveReport& r) {
  MetricsDrive d = identity;
  d.passes = r.passes;
  for (const auto& [kind, count] : r.commandsByKind) d.commands += count;
  d.bytesWritten = r.bytesWritten;
  d.bytesVerified = r.bytesVerified;
  d.failures = r.failures;
  d.deviceErrors = r.deviceErrors;
  for (const auto& [status, count] : r.completionsByStatus)
    if (status != "GOOD") d.errorCompletions += count;
  d.powerCycles = r.deviceStats.powerCycles;
  d.resets = r.deviceStats.resets;
  d.latency = r.latency;
  return d;
}

}  // namespace varnox::cli
