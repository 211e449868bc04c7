#include "ProgressLog.h"

#include <unistd.h>

#include <algorithm>

#include "Units.h"

namespace varnox::cli {

std::string etaText(double elapsedSeconds, double durationSeconds, uint64_t passes, uint64_t slowestPasses) {
  if (durationSeconds > 0) return "eta " + formatDuration(std::max(0.0, durationSeconds - elapsedSeconds));
  if (passes == 0 || slowestPasses == 0) return {};
  const double left = elapsedSeconds * static_cast<double>(passes - std::min(passes, slowestPasses)) /
                      static_cast<double>(slowestPasses);
  return "eta " + formatDuration(left);
}

ProgressLog::ProgressLog(std::FILE* stream, double intervalSeconds, double durationSeconds, uint64_t passes)
    : stream_(stream),
      enabled_(stream != nullptr && intervalSeconds > 0 && isatty(fileno(stream)) == 0),
      interval_(intervalSeconds),
      duration_(durationSeconds),
      passes_(passes),
      start_(Clock::now()),
      last_(start_) {}

void ProgressLog::update(const std::vector<const DriveProgress*>& drives) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  const double since = std::chrono::duration<double>(now - last_).count();
  if (since < interval_) return;
  const ProgressTotals totals = sumProgress(drives);
  uint64_t slowest = UINT64_MAX;
  for (const DriveProgress* d : drives)
    slowest = std::min<uint64_t>(slowest, d->passes.load(std::memory_order_relaxed));
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::string line = "varnox: " + formatProgress(totals, previous_, since, elapsed);
  if (const std::string eta = etaText(elapsed, duration_, passes_, drives.empty() ? 0 : slowest);
      !eta.empty())
    line += "  " + eta;
  std::fprintf(stream_, "%s\n", line.c_str());
  std::fflush(stream_);
  previous_ = totals;
  last_ = now;
}

}  // namespace varnox::cli
