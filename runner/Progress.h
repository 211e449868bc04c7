#pragma once
// The live progress line: shown on a terminal only, redrawn in place each time the run reports
// (about every 200 ms), cleared before the summary.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "varnox/TestRun.h"

namespace varnox::cli {

// The counters of all drives added up; the read-back distance is the largest of any drive.
struct ProgressTotals {
  uint64_t passes = 0;
  uint64_t commands = 0;
  uint64_t bytesWritten = 0;
  uint64_t bytesVerified = 0;
  uint64_t readBackDistance = 0;
  uint64_t failures = 0;
};

ProgressTotals sumProgress(const std::vector<const DriveProgress*>& drives);

// "  12.0 s  passes 4000  cmd/s 500  write 0.5 MB/s  verify 0.3 MB/s  distance 64  failures 0"
// Rates are the change since `before` over `intervalSeconds` (none shown for an empty interval).
std::string formatProgress(const ProgressTotals& now, const ProgressTotals& before, double intervalSeconds,
                           double elapsedSeconds);

class ProgressLine {
 public:
  // Draws on `stream` when it is a terminal; otherwise stays silent.
  explicit ProgressLine(std::FILE* stream);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void update(const std::vector<const DriveProgress*>& drives);
  // Clears the line so the summary starts on a clean one.
  void finish();
  bool enabled() const { return enabled_; }

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* stream_;
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
  ProgressTotals previous_;
};

}  // namespace varnox::cli
