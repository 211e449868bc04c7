// Timing the commands: latency by step kind, and the command timeout that ends a drive whose
// device stops answering, also while the last commands drain.
#include <algorithm>

#include "CommandSteps.h"
#include "varnox/Errors.h"

namespace varnox {

void CommandSteps::setTiming(double timeoutSeconds, bool recordLatency) {
  recordLatency_ = recordLatency;
  timeoutSeconds_ = timeoutSeconds > 0 ? timeoutSeconds : 0;
  const double ns = timeoutSeconds_ * 1e9;
  timeoutTicks_ = timeoutSeconds_ > 0 ? std::max<uint64_t>(1, clock_.fromNanoseconds(ns < 1.8e19 ? static_cast<uint64_t>(ns) : UINT64_MAX)) : 0;
  // Scanning the tags is cheap but not free: a sixteenth of the timeout, at most 100 ms, finds
  // a late command soon enough.
  scanPeriodTicks_ = std::min(timeoutTicks_ / 16, clock_.fromNanoseconds(100'000'000));
  timed_ = recordLatency_ || timeoutTicks_ != 0;
}

void CommandSteps::recordLatency(const InFlight& done, uint64_t now) {
  latency_->byKind[static_cast<size_t>(done.kind)].record(clock_.toNanoseconds(now - done.submitted));
}

int CommandSteps::checkTimeouts(uint64_t now) {
  if (timeoutTicks_ == 0 || now < nextScan_) return VARNOX_OK;
  nextScan_ = now + scanPeriodTicks_;
  const InFlight* oldest = nullptr;
  uint32_t oldestTag = 0;
  for (uint32_t tag = 0; tag < inFlight_.size(); ++tag) {
    const InFlight& f = inFlight_[tag];
    if (f.active && now - f.submitted > timeoutTicks_ && (oldest == nullptr || f.submitted < oldest->submitted)) {
      oldest = &f;
      oldestTag = tag;
    }
  }
  if (oldest == nullptr) return VARNOX_OK;
  timedOut_ = true;
  thread_.eventLog().logf(2,
                          "Command timed out on drive %s: tag %u, opcode 0x%02X (%s), LBA 0x%016llX, %u blocks, "
                          "outstanding %.3f s (command_timeout %g s)",
                          thread_.driveName().c_str(), oldestTag, oldest->opcode, stepKindName(oldest->kind),
                          static_cast<unsigned long long>(oldest->lba), oldest->blocks,
                          static_cast<double>(clock_.toNanoseconds(now - oldest->submitted)) / 1e9, timeoutSeconds_);
  return VARNOX_ERR_DEVICE;
}

int CommandSteps::drain() {
  DeviceCompletion completion;
  while (device_.outstanding() > 0) {
    if (device_.poll(completion, true)) {
      if (completion.tag < inFlight_.size() && inFlight_[completion.tag].active) {
        if (recordLatency_) recordLatency(inFlight_[completion.tag], clock_.now());
        finishTag(completion.tag,
                  completionDeliveredData(completion) ? JournalOutcome::Done : JournalOutcome::Failed);
      }
      continue;
    }
    // Without a timeout the drain waits as long as a command may still complete; one the device
    // will never complete must not end the run as if it had, so it fails the drive.
    if (timeoutTicks_ == 0) {
      if (device_.neverCompleting() == 0 || device_.neverCompleting() < device_.outstanding()) continue;
      return reportNeverCompleted(clock_.now());
    }
    if (const int status = checkTimeouts(clock_.now()); status != VARNOX_OK) return status;
  }
  return VARNOX_OK;
}

int CommandSteps::reportNeverCompleted(uint64_t now) {
  const InFlight* oldest = nullptr;
  uint32_t oldestTag = 0;
  for (uint32_t tag = 0; tag < inFlight_.size(); ++tag) {
    const InFlight& f = inFlight_[tag];
    if (f.active && (oldest == nullptr || f.submitted < oldest->submitted)) {
      oldest = &f;
      oldestTag = tag;
    }
  }
  timedOut_ = true;
  if (oldest == nullptr) {
    thread_.eventLog().logf(2, "%u commands never completed on drive %s by the end of the run",
                            device_.outstanding(), thread_.driveName().c_str());
    return VARNOX_ERR_DEVICE;
  }
  thread_.eventLog().logf(
      2,
      "Command never completed on drive %s: tag %u, opcode 0x%02X (%s), LBA 0x%016llX, %u blocks, "
      "outstanding %.3f s at the end of the run (%u of the device's commands will never complete; "
      "command_timeout 0 waits for every one)",
      thread_.driveName().c_str(), oldestTag, oldest->opcode, stepKindName(oldest->kind),
      static_cast<unsigned long long>(oldest->lba), oldest->blocks,
      oldest->submitted == 0 ? 0.0 : static_cast<double>(clock_.toNanoseconds(now - oldest->submitted)) / 1e9,
      device_.neverCompleting());
  return VARNOX_ERR_DEVICE;
}

}  // namespace varnox
