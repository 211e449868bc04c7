#pragma once
// Progress where there is no terminal (nohup, CI, a lab's scheduler): instead of a line redrawn in
// place, a plain line every interval with elapsed time, passes, throughput, failures and, where
// the run has a limit, the time left.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Progress.h"
#include "varnox/TestRun.h"

namespace varnox::cli {

// "eta 1m 30s": what is left of a run with `durationSeconds` (or `passes` per drive, the slowest
// drive at `slowestPasses` after `elapsedSeconds`); empty when it cannot be told yet.
std::string etaText(double elapsedSeconds, double durationSeconds, uint64_t passes, uint64_t slowestPasses);

class ProgressLog {
 public:
  // Writes on `stream` when it is not a terminal (a ProgressLine draws there otherwise), every
  // `intervalSeconds` (0: never).
  ProgressLog(std::FILE* stream, double intervalSeconds, double durationSeconds, uint64_t passes);
  void update(const std::vector<const DriveProgress*>& drives);

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* stream_;
  bool enabled_;
  double interval_;
  double duration_;
  uint64_t passes_;
  Clock::time_point start_;
  Clock::time_point last_;
  ProgressTotals previous_;
};

}  // namespace varnox::cli
