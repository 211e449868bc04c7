#pragma once
// The live progress display: shown on a terminal only, redrawn in place each time the run reports
// (about every 200 ms), cleared before the summary. One line for one drive, one line per drive
// when there are several. Sizes and rates in binary units, as in the summary.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ostream>
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

// "  12.0 s  passes 4000  cmd/s 500  write 1.5 MiB/s  verify 1.2 MiB/s  distance 64  failures 0"
// Rates are the change since `before` over `intervalSeconds` (none shown for an empty interval).
std::string formatProgress(const ProgressTotals& now, const ProgressTotals& before, double intervalSeconds,
                           double elapsedSeconds);

// "12.3 MiB/s": a rate in the summary's units.
std::string formatRate(double bytesPerSecond);

class ProgressLine {
 public:
  // Draws on `stream` when it is a terminal; otherwise stays silent. `names` are the drives' names
  // in the order the run reports them.
  ProgressLine(std::FILE* stream, std::vector<std::string> names = {});
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void update(const std::vector<const DriveProgress*>& drives);
  // Clears the lines so the summary starts on a clean one.
  void finish();
  bool enabled() const { return enabled_; }

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* stream_;
  bool enabled_;
  std::vector<std::string> names_;
  size_t drawnLines_ = 0;
  Clock::time_point start_;
  Clock::time_point last_;
  std::vector<ProgressTotals> previous_;
};

// Progress of preconditioning, which fills a device before the run: on a terminal a line that
// shows how far each drive got; when a drive is done, always "varnox: drive D0: preconditioned
// 1.0 GiB in 2.3 s" on `log`.
class PreconditionLine {
 public:
  PreconditionLine(std::FILE* terminal, std::ostream& log);
  void update(const std::string& drive, uint64_t doneBytes, uint64_t totalBytes);

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* terminal_;
  bool enabled_;
  std::ostream& log_;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
};

}  // namespace varnox::cli
