#pragma once
// The run over time: one row per drive and interval with the write and verify rates, IOPS, the
// p50, p99 and p99.9 latency of the commands completed in the interval, and the errors
// (completions other than GOOD) and failures of the interval; and per command kind its IOPS and
// percentiles. Rows go to a CSV stream as they are taken (so a run that is killed keeps what it
// had) and stay in memory for the JSON record and the HTML report. Rows are stamped on whole
// multiples of the interval from the start (the last, partial one at the run's end): the host
// calls back on a period the interval is a multiple of (progressPeriod), and each row's rates
// are taken over the time that really passed since the last.
#include <array>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "varnox/TestRun.h"

namespace varnox::cli {

// Latencies of one interval, in microseconds as the CSV has them; 0 when nothing completed.
struct SeriesLatency {
  double p50Us = 0;
  double p99Us = 0;
  double p999Us = 0;
};

struct SeriesRow {
  double seconds = 0;  // since the start, at the end of the interval
  double writeMBps = 0;
  double verifyMBps = 0;
  double iops = 0;
  SeriesLatency latency;
  uint64_t errors = 0;
  uint64_t failures = 0;
  // By command kind (StepSpec::Kind as index): commands per second and latencies.
  std::array<double, kStepKindCount> kindIops{};
  std::array<SeriesLatency, kStepKindCount> kindLatency{};
};

class TimeSeries {
 public:
  static constexpr const char* kCsvHeader =
      "time_s,drive,write_MBps,verify_MBps,iops,p99_us,errors,failures,p50_us,p99_9_us";

  // `csv` (not owned, may be null) gets the header now and every row as it is taken.
  TimeSeries(std::vector<std::string> driveNames, double intervalSeconds, std::ostream* csv);

  // The host's progress period that fits the interval a whole number of times, at most 0.2 s.
  double progressPeriod() const;
  double interval() const { return interval_; }
  // Times start now (the run starts; the constructor may come before a long preparation).
  void start() { start_ = std::chrono::steady_clock::now(); }
  // Called with the live counters every progress period: takes a row per drive when the
  // period's call falls on the end of an interval.
  void sample(const std::vector<const DriveProgress*>& drives);
  // The last, partial interval, from the report (the live counters are gone by then); taken
  // when it is at least a tenth of an interval or holds an error or failure.
  void finish(const RunReport& report);

  const std::vector<std::string>& driveNames() const { return names_; }
  const std::vector<SeriesRow>& rows(size_t drive) const { return rows_[drive]; }
  // `{"intervalSeconds": 1.0, "columns": [...], "rows": [[...], ...], "kinds": {...}}`: the CSV's
  // columns but the drive's name, in its units, and per command kind that ran its own table.
  std::string json(size_t drive) const;

 private:
  struct Totals {
    double seconds = 0;
    uint64_t commands = 0;
    uint64_t bytesWritten = 0;
    uint64_t bytesVerified = 0;
    uint64_t errors = 0;
    uint64_t failures = 0;
    std::array<LatencySnapshot, kStepKindCount> latency;
  };
  void take(size_t drive, const Totals& now, double stamp);

  std::vector<std::string> names_;
  double interval_;
  std::ostream* csv_;
  std::chrono::steady_clock::time_point start_;
  double next_;
  std::vector<Totals> last_;
  std::vector<std::vector<SeriesRow>> rows_;
};

}  // namespace varnox::cli
