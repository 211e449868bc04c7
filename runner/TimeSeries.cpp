#include "TimeSeries.h"

#include <cstdio>
#include <sstream>

namespace varnox::cli {

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

void TimeSeries::take(size_t drive, const Totals& now) {
  Totals& last = last_[drive];
  const double dt = now.seconds - last.seconds;
  auto rate = [dt](uint64_t a, uint64_t b) { return dt > 0 && a >= b ? static_cast<double>(a - b) / dt : 0.0; };
  SeriesRow row;
  row.seconds = now.seconds;
  row.writeMBps = rate(now.bytesWritten, last.bytesWritten) / 1e6;
  row.verifyMBps = rate(now.bytesVerified, last.bytesVerified) / 1e6;
  row.iops = rate(now.commands, last.commands);
  row.p99Ns = now.latency.since(last.latency).percentileNs(0.99);
  row.errors = now.errors >= last.errors ? now.errors - last.errors : 0;
  row.failures = now.failures >= last.failures ? now.failures - last.failures : 0;
  rows_[drive].push_back(row);
  last = now;
  if (csv_ != nullptr) {
    char line[256];
    std::snprintf(line, sizeof line, "%.3f,%s,%.3f,%.3f,%.0f,%.1f,%llu,%llu\n", row.seconds, names_[drive].c_str(),
                  row.writeMBps, row.verifyMBps, row.iops, static_cast<double>(row.p99Ns) / 1e3,
                  static_cast<unsigned long long>(row.errors), static_cast<unsigned long long>(row.failures));
    *csv_ << line << std::flush;
  }
}

void TimeSeries::sample(const std::vector<const DriveProgress*>& drives) {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (elapsed < next_) return;
  while (next_ <= elapsed) next_ += interval_;
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
      for (const LatencyHistogram& kind : *p.latency) now.latency.add(kind.snapshot());
    take(i, now);
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
    for (const auto& [kind, s] : d.latency) now.latency.add(s);
    const Totals& last = last_[i];
    if (now.seconds - last.seconds >= interval_ / 10 || now.errors != last.errors || now.failures != last.failures)
      take(i, now);
  }
}

std::string TimeSeries::json(size_t drive) const {
  std::ostringstream out;
  out << '[';
  for (size_t r = 0; r < rows_[drive].size(); ++r) {
    const SeriesRow& row = rows_[drive][r];
    char text[256];
    std::snprintf(text, sizeof text, "%s[%.3f, %.3f, %.3f, %.0f, %llu, %llu, %llu]", r == 0 ? "" : ", ", row.seconds,
                  row.writeMBps, row.verifyMBps, row.iops, static_cast<unsigned long long>(row.p99Ns),
                  static_cast<unsigned long long>(row.errors), static_cast<unsigned long long>(row.failures));
    out << text;
  }
  out << ']';
  return out.str();
}

}  // namespace varnox::cli
