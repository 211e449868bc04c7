#include "Progress.h"

#include <algorithm>
#include <unistd.h>

#include "Units.h"

namespace varnox::cli {
namespace {

bool isTerminal(std::FILE* stream) { return stream != nullptr && isatty(fileno(stream)) != 0; }

}  // namespace

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

std::string formatRate(double bytesPerSecond) {
  return formatBytes(static_cast<uint64_t>(std::max(0.0, bytesPerSecond))) + "/s";
}

std::string formatProgress(const ProgressTotals& now, const ProgressTotals& before, double intervalSeconds,
                           double elapsedSeconds) {
  // Counters only grow; a drive that restarted its count must not show a huge rate.
  auto rate = [&](uint64_t a, uint64_t b) { return intervalSeconds > 0 && a >= b ? (a - b) / intervalSeconds : 0.0; };
  char buf[256];
  std::snprintf(buf, sizeof buf, "%7.1f s  passes %lu  cmd/s %.0f  write %s  verify %s  distance %lu  failures %lu",
                elapsedSeconds, static_cast<unsigned long>(now.passes), rate(now.commands, before.commands),
                formatRate(rate(now.bytesWritten, before.bytesWritten)).c_str(),
                formatRate(rate(now.bytesVerified, before.bytesVerified)).c_str(),
                static_cast<unsigned long>(now.readBackDistance), static_cast<unsigned long>(now.failures));
  return buf;
}

ProgressLine::ProgressLine(std::FILE* stream, std::vector<std::string> names)
    : stream_(stream), enabled_(isTerminal(stream)), names_(std::move(names)), start_(Clock::now()), last_(start_) {}

void ProgressLine::update(const std::vector<const DriveProgress*>& drives) {
  if (!enabled_) return;
  Clock::time_point now = Clock::now();
  double interval = std::chrono::duration<double>(now - last_).count();
  double elapsed = std::chrono::duration<double>(now - start_).count();
  // Several drives get a line each, led by the drive's name; one drive keeps the single line.
  std::vector<ProgressTotals> totals;
  if (drives.size() > 1) {
    for (const DriveProgress* d : drives) totals.push_back(sumProgress({d}));
  } else {
    totals.push_back(sumProgress(drives));
  }
  previous_.resize(totals.size());
  std::string text;
  for (size_t i = 0; i < totals.size(); ++i) {
    if (i > 0) text += '\n';
    if (totals.size() > 1) text += (i < names_.size() ? names_[i] : "D" + std::to_string(i)) + " ";
    text += formatProgress(totals[i], previous_[i], interval, elapsed);
  }
  // Back to the first line drawn, then erase to the end of the screen: the lines are redrawn in
  // place however long the previous ones were.
  if (drawnLines_ > 1) std::fprintf(stream_, "\033[%zuA", drawnLines_ - 1);
  std::fprintf(stream_, "\r\033[J%s", text.c_str());
  std::fflush(stream_);
  drawnLines_ = totals.size();
  previous_ = std::move(totals);
  last_ = now;
}

void ProgressLine::finish() {
  if (drawnLines_ == 0) return;
  if (drawnLines_ > 1) std::fprintf(stream_, "\033[%zuA", drawnLines_ - 1);
  std::fprintf(stream_, "\r\033[J");
  std::fflush(stream_);
  drawnLines_ = 0;
}

PreconditionLine::PreconditionLine(std::FILE* terminal, std::ostream& log)
    : terminal_(terminal), enabled_(isTerminal(terminal)), log_(log) {}

void PreconditionLine::update(const std::string& drive, uint64_t doneBytes, uint64_t totalBytes) {
  const Clock::time_point now = Clock::now();
  if (doneBytes == 0) start_ = now;
  if (doneBytes >= totalBytes) {
    if (enabled_) std::fprintf(terminal_, "\r\033[K");
    if (enabled_) std::fflush(terminal_);
    log_ << "varnox: drive " << drive << ": preconditioned " << formatBytes(totalBytes) << " in "
         << formatDuration(std::chrono::duration<double>(now - start_).count()) << '\n';
    return;
  }
  // Without a terminal the start is said once, so that a log shows what the wait is for.
  if (!enabled_ && doneBytes == 0)
    log_ << "varnox: drive " << drive << ": preconditioning " << formatBytes(totalBytes) << '\n';
  if (!enabled_ || (doneBytes > 0 && now - lastDrawn_ < std::chrono::milliseconds(200))) return;
  lastDrawn_ = now;
  std::fprintf(terminal_, "\r\033[Kprecondition %s: %s of %s (%.0f%%)", drive.c_str(), formatBytes(doneBytes).c_str(),
               formatBytes(totalBytes).c_str(), 100.0 * static_cast<double>(doneBytes) / static_cast<double>(totalBytes));
  std::fflush(terminal_);
}

}  // namespace varnox::cli
