#include "TimeSeries.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "Summary.h"

namespace varnox::cli {
namespace {

SeriesLatency latencyOf(const LatencySnapshot& s) {
  return {static_cast<double>(s.percentileNs(0.5)) / 1e3, static_cast<double>(s.percentileNs(0.99)) / 1e3,
          static_cast<double>(s.percentileNs(0.999)) / 1e3};
}

// Kinds whose latencies the series keeps: the commands a flow sends.
bool isCommandKind(size_t kind) {
  return kind != static_cast<size_t>(StepSpec::Kind::Agent) && kind != static_cast<size_t>(StepSpec::Kind::GetStatus);
}

}  // namespace

TimeSeries::TimeSeries(std::vector<std::string> driveNames, double intervalSeconds, std::ostream* csv)
    : names_(std::move(driveNames)),
      interval_(intervalSeconds),
      csv_(csv),
      start_(std::chrono::steady_clock::now()),
      next_(intervalSeconds),
      last_(names_.size()),
      rows_(names_.size()) {
  if (csv_ != nullptr) *csv_ << kCsvHeader << '\n' << std::flush;
}

double TimeSeries::progressPeriod() const { return interval_ / std::ceil(interval_ / 0.2 - 1e-9); }

void TimeSeries::take(size_t drive, const Totals& now, double stamp) {
  Totals& last = last_[drive];
  const double dt = now.seconds - last.seconds;
  auto rate = [dt](uint64_t a, uint64_t b) { return dt > 0 && a >= b ? static_cast<double>(a - b) / dt : 0.0; };
  SeriesRow row;
  row.seconds = stamp;
  row.writeMBps = rate(now.bytesWritten, last.bytesWritten) / 1e6;
  row.verifyMBps = rate(now.bytesVerified, last.bytesVerified) / 1e6;
  row.iops = rate(now.commands, last.commands);
  LatencySnapshot all;
  for (size_t kind = 0; kind < kStepKindCount; ++kind) {
    const LatencySnapshot interval = now.latency[kind].since(last.latency[kind]);
    row.kindIops[kind] = rate(now.latency[kind].count, last.latency[kind].count);
    row.kindLatency[kind] = latencyOf(interval);
    all.add(interval);
  }
  row.latency = latencyOf(all);
  row.errors = now.errors >= last.errors ? now.errors - last.errors : 0;
  row.failures = now.failures >= last.failures ? now.failures - last.failures : 0;
  rows_[drive].push_back(row);
  last = now;
  if (csv_ != nullptr) {
    char line[320];
    std::snprintf(line, sizeof line, "%.3f,%s,%.3f,%.3f,%.0f,%.1f,%llu,%llu,%.1f,%.1f\n", row.seconds,
                  names_[drive].c_str(), row.writeMBps, row.verifyMBps, row.iops, row.latency.p99Us,
                  static_cast<unsigned long long>(row.errors), static_cast<unsigned long long>(row.failures),
                  row.latency.p50Us, row.latency.p999Us);
    *csv_ << line << std::flush;
  }
}

void TimeSeries::sample(const std::vector<const DriveProgress*>& drives) {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // The host calls on multiples of the period, a little after them (never before): the first
  // call at or past an interval's end takes its row. An earlier call (the run is ending) leaves
  // the partial interval to finish(). A millisecond's grace covers the rounding of the period.
  if (elapsed < next_ - 1e-3) return;
  const double stamp = next_;
  while (next_ <= elapsed + progressPeriod() / 2) next_ += interval_;
  for (size_t i = 0; i < drives.size() && i < names_.size(); ++i) {
    const DriveProgress& p = *drives[i];
    Totals now;
    now.seconds = elapsed;
    now.commands = p.commands.load(std::memory_order_relaxed);
    now.bytesWritten = p.bytesWritten.load(std::memory_order_relaxed);
    now.bytesVerified = p.bytesVerified.load(std::memory_order_relaxed);
    now.errors = p.errors.load(std::memory_order_relaxed);
    now.failures = p.failures.load(std::memory_order_relaxed);
    if (p.latency != nullptr)
      for (size_t kind = 0; kind < kStepKindCount; ++kind) now.latency[kind] = (*p.latency)[kind].snapshot();
    take(i, now, stamp);
  }
}

void TimeSeries::finish(const RunReport& report) {
  for (size_t i = 0; i < report.drives.size() && i < names_.size(); ++i) {
    const DriveReport& d = report.drives[i];
    Totals now;
    now.seconds = report.seconds;
    for (const auto& [kind, n] : d.commandsByKind) now.commands += n;
    for (const auto& [status, n] : d.completionsByStatus)
      if (status != "GOOD") now.errors += n;
    now.bytesWritten = d.bytesWritten;
    now.bytesVerified = d.bytesVerified;
    now.failures = d.failures;
    for (size_t kind = 0; kind < kStepKindCount; ++kind)
      if (auto it = d.latency.find(stepKindName(static_cast<StepSpec::Kind>(kind))); it != d.latency.end())
        now.latency[kind] = it->second;
    const Totals& last = last_[i];
    if (now.seconds - last.seconds >= interval_ / 10 || now.errors != last.errors || now.failures != last.failures)
      take(i, now, now.seconds);
  }
}

std::string TimeSeries::json(size_t drive) const {
  const std::vector<SeriesRow>& rows = rows_[drive];
  std::ostringstream out;
  out << "{\"intervalSeconds\": " << jsonDecimal(interval_)
      << ",\n       \"columns\": [\"time_s\", \"write_MBps\", \"verify_MBps\", \"iops\", \"p99_us\", \"errors\", "
         "\"failures\", \"p50_us\", \"p99_9_us\"],\n       \"rows\": [";
  for (size_t r = 0; r < rows.size(); ++r) {
    const SeriesRow& row = rows[r];
    out << (r == 0 ? "" : ", ") << '[' << jsonDecimal(row.seconds) << ", " << jsonDecimal(row.writeMBps) << ", "
        << jsonDecimal(row.verifyMBps) << ", " << jsonDecimal(row.iops) << ", " << jsonDecimal(row.latency.p99Us) << ", "
        << row.errors << ", " << row.failures << ", " << jsonDecimal(row.latency.p50Us) << ", "
        << jsonDecimal(row.latency.p999Us) << ']';
  }
  out << "],\n       \"kindColumns\": [\"time_s\", \"iops\", \"p50_us\", \"p99_us\", \"p99_9_us\"], \"kinds\": {";
  bool firstKind = true;
  for (size_t kind = 0; kind < kStepKindCount; ++kind) {
    if (!isCommandKind(kind)) continue;
    bool ran = false;
    for (const SeriesRow& row : rows) ran = ran || row.kindIops[kind] > 0;
    if (!ran) continue;
    out << (firstKind ? "" : ",") << "\n         " << jsonString(stepKindName(static_cast<StepSpec::Kind>(kind))) << ": [";
    firstKind = false;
    for (size_t r = 0; r < rows.size(); ++r) {
      const SeriesRow& row = rows[r];
      const SeriesLatency& l = row.kindLatency[kind];
      out << (r == 0 ? "" : ", ") << '[' << jsonDecimal(row.seconds) << ", " << jsonDecimal(row.kindIops[kind]) << ", "
          << jsonDecimal(l.p50Us) << ", " << jsonDecimal(l.p99Us) << ", " << jsonDecimal(l.p999Us) << ']';
    }
    out << ']';
  }
  out << "}}";
  return out.str();
}

}  // namespace varnox::cli
