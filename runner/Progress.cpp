#include "Progress.h"

#include <algorithm>
#include <unistd.h>

namespace varnox::cli {

ProgressTotals sumProgress(const std::vector<const DriveProgress*>& drives) {
  ProgressTotals t;
  for (const DriveProgress* d : drives) {
    if (d == nullptr) continue;
    t.passes += d->passes.load(std::memory_order_relaxed);
    t.commands += d->commands.load(std::memory_order_relaxed);
    t.bytesWritten += d->bytesWritten.load(std::memory_order_relaxed);
    t.bytesVerified += d->bytesVerified.load(std::memory_order_relaxed);
    t.readBackDistance = std::max(t.readBackDistance, d->readBackDistance.load(std::memory_order_relaxed));
    t.failures += d->failures.load(std::memory_order_relaxed);
  }
  return t;
}

std::string formatProgress(const ProgressTotals& now, const ProgressTotals& before, double intervalSeconds,
                           double elapsedSeconds) {
  // Counters only grow; a drive that restarted its count must not show a huge rate.
  auto rate = [&](uint64_t a, uint64_t b) { return intervalSeconds > 0 && a >= b ? (a - b) / intervalSeconds : 0.0; };
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "%7.1f s  passes %lu  cmd/s %.0f  write %.1f MB/s  verify %.1f MB/s  distance %lu  failures %lu",
                elapsedSeconds, static_cast<unsigned long>(now.passes), rate(now.commands, before.commands),
                rate(now.bytesWritten, before.bytesWritten) / 1e6, rate(now.bytesVerified, before.bytesVerified) / 1e6,
                static_cast<unsigned long>(now.readBackDistance), static_cast<unsigned long>(now.failures));
  return buf;
}

ProgressLine::ProgressLine(std::FILE* stream)
    : stream_(stream), enabled_(stream != nullptr && isatty(fileno(stream)) != 0), start_(Clock::now()), last_(start_) {}

void ProgressLine::update(const std::vector<const DriveProgress*>& drives) {
  if (!enabled_) return;
  Clock::time_point now = Clock::now();
  ProgressTotals totals = sumProgress(drives);
  double interval = std::chrono::duration<double>(now - last_).count();
  double elapsed = std::chrono::duration<double>(now - start_).count();
  // \r and erase-to-end keep one line however long the previous one was.
  std::fprintf(stream_, "\r\033[K%s", formatProgress(totals, previous_, interval, elapsed).c_str());
  std::fflush(stream_);
  drawn_ = true;
  previous_ = totals;
  last_ = now;
}

void ProgressLine::finish() {
  if (!drawn_) return;
  std::fprintf(stream_, "\r\033[K");
  std::fflush(stream_);
  drawn_ = false;
}

}  // namespace varnox::cli
