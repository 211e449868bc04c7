#pragma once
// The run over time: one row per drive and interval with the write and verify rates, IOPS, the
// p99 latency of the commands completed in the interval, and the errors (completions other than
// GOOD) and failures of the interval. Rows go to a CSV stream as they are taken (so a run that
// is killed keeps what it had) and stay in memory for the JSON and the HTML report.
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "varnox/TestRun.h"

namespace varnox::cli {

struct SeriesRow {
  double seconds = 0;  // since the start, at the end of the interval
  double writeMBps = 0;
  double verifyMBps = 0;
  double iops = 0;
  uint64_t p99Ns = 0;  // 0: nothing completed
  uint64_t errors = 0;
  uint64_t failures = 0;
};

class TimeSeries {
 public:
  static constexpr const char* kCsvHeader = "time_s,drive,write_MBps,verify_MBps,iops,p99_us,errors,failures";

  // `csv` (not owned, may be null) gets the header now and every row as it is taken.
  TimeSeries(std::vector<std::string> driveNames, double intervalSeconds, std::ostream* csv);

  // Times start now (the run starts; the constructor may come before a long preparation).
  void start() { start_ = std::chrono::steady_clock::now(); }
  // Called with the live counters (about every 200 ms): takes a row per drive once an interval
  // has passed since the last.
  void sample(const std::vector<const DriveProgress*>& drives);
  // The last, partial interval, from the report (the live counters are gone by then); taken
  // when it is at least a tenth of an interval or holds an error or failure.
  void finish(const RunReport& report);

  const std::vector<std::string>& driveNames() const { return names_; }
  const std::vector<SeriesRow>& rows(size_t drive) const { return rows_[drive]; }
  // `[[seconds, writeMBps, verifyMBps, iops, p99Ns, errors, failures], ...]`
  std::string json(size_t drive) const;

 private:
  struct Totals {
    double seconds = 0;
    uint64_t commands = 0;
    uint64_t bytesWritten = 0;
    uint64_t bytesVerified = 0;
    uint64_t errors = 0;
    uint64_t failures = 0;
    LatencySnapshot latency;
  };
  void take(size_t drive, const Totals& now);

  std::vector<std::string> names_;
  double interval_;
  std::ostream* csv_;
  std::chrono::steady_clock::time_point start_;
  double next_;
  std::vector<Totals> last_;
  std::vector<std::vector<SeriesRow>> rows_;
};

}  // namespace varnox::cli
