#include "entry/Execute.h"

#include <algorithm>
#include <vector>

#include "base/ConfigData.h"
#include "completion/Compare.h"
#include "completion/Dispatch.h"
#include "completion/PreReadCheck.h"
#include "completion/SliceSync.h"
#include "drive/DriveData.h"
#include "issue/ClearReadRange.h"
#include "issue/CommandSelection.h"
#include "issue/IssueCommon.h"
#include "varnox/Clock.h"
#include "varnox/DriveThread.h"

namespace cardamor {

namespace {

// Pops the queue's front range; the queue locks itself for the test and the pop, never across
// the processing of a range.
bool popRange(varnox::LBARangeQueue& queue, varnox::LBARange& range) {
  return !queue.empty() && queue.pop(range);
}

}  // namespace

int execute(varnox::DriveThread& thread, const ConfigData& config, DriveData& drive) {
  if (drive.deferredSetup) {
    // One shot, also when it fails: a failed allocation is not retried on later passes.
    std::unique_ptr<DeferredSetup> step = std::move(drive.deferredSetup);
    const int status = (*step)(&thread, &drive, &config);
    step.reset();
    if (status != 0) return status;
  }

  // The completion waiting in the status variables was handed over before any power cut this
  // pass reports (the flow may run a command step after GetStatus, and the cut came with it): it
  // belongs to the epoch before the cut, and is processed before the power-on marks anything.
  bool dispatched = false;
  int status = 0;
  if (*drive.epo != 0) {
    status = dispatchCompletion(thread, drive, config);
    dispatched = true;
    drive.commandTrace->recordPowerToggleOn();
    *drive.epo = 0;
    ++drive.powerEpoch;
    // A volatile write cache may lose, at a power loss, whatever was written since the last
    // sync cache that completed, and the writes that sync did not cover because they were
    // still in flight when it was sent: those blocks may now hold their old or their new
    // content. Everything older must still be there. A sync does not clear a mark: a write lost
    // at a cut stays lost, and demanding its data after the sync would fail a legal drive. Only a
    // read after the power-on that finds the data clears it (see keepSeen). The sync bound moves on across power-ons, so a write sent after a
    // power-on and covered by a sync that completed is demanded at every later cut.
    // Another slice's sync that completed before the loss made this slice's writes durable too.
    if (drive.syncedCompletionsBeforePowerOn != nullptr) applySliceSync(drive, *drive.syncedCompletionsBeforePowerOn);
    if (drive.writeCacheVolatile != nullptr && *drive.writeCacheVolatile != 0) {
      std::vector<uint64_t> outstanding;
      for (const WriteRecord& write : drive.outstandingWrites) outstanding.push_back(write.cmdId);
      std::sort(outstanding.begin(), outstanding.end());
      drive.atomicContext.mayBeLost(drive.syncedBelowCmdId, outstanding, drive.unsyncedBelowCmdIds, drive.powerEpoch);
    }
    drive.lastPowerEventMs = static_cast<double>(varnox::queryPerformanceCounter()) /
                             (static_cast<double>(varnox::queryPerformanceFrequency()) / 1000.0);
  }

  // Resets and invalidations first, so a read completing in this pass is judged against them.
  varnox::LBARange range;
  if (drive.csZoneReset != nullptr) {
    while (popRange(*drive.csZoneReset, range)) {
      clearReadRange(config, drive, range.first, range.last);
      drive.atomicContext.invalidateRange(range.first, range.last, true);
      drive.commandTrace->recordZoneReset(range.first, range.last);
    }
  }
  // Another writer's range comes twice: when its command is sent (the blocks' content is open
  // while it is in flight, since it may still fail and land per block or not at all) and when it
  // completed, as sent when it landed, turned round as {last + 1, first} when it failed or was
  // lost. Only a landed one makes the old data wrong; a failed one leaves the blocks unknown
  // until rewritten. Which of the two a range is, the commands in flight tell (the same range
  // again is the outcome; they never overlap): judging by whether a pending invalidation was
  // still in front took an outcome behind a write of ours for a new command, and let the next
  // command's issue settle it in its place.
  if (drive.invalidateRanges != nullptr) {
    while (popRange(*drive.invalidateRanges, range)) {
      const bool failed = range.first > range.last;
      if (failed) range = varnox::LBARange{range.last, range.first - 1};
      auto& inFlight = drive.foreignWritesInFlight;
      const auto sent = std::find_if(inFlight.begin(), inFlight.end(), [&](const varnox::LBARange& r) {
        return r.first == range.first && r.last == range.last;
      });
      if (sent != inFlight.end()) {
        inFlight.erase(sent);
        drive.atomicContext.externalWriteSettled(range.first, range.last, !failed);
        continue;
      }
      if (failed) continue;
      inFlight.push_back(range);
      drive.atomicContext.externalWriteIssued(range.first, range.last);
      drive.commandTrace->recordInvalidateRange(range.first, range.last);
    }
  }

  // The history of the range the LBA chooser picked is needed if this pass writes; loading its
  // buckets now lets a large history's cache misses overlap the completion work below.
  drive.atomicContext.prefetchBuckets(*drive.lba, *drive.xferLength);
  // And that of the read-back this pass may issue, whose blocks a large history holds compact.
  if (!drive.pendingReadBacks.empty()) {
    const ReadBackRequest& next = drive.pendingReadBacks.front();
    drive.atomicContext.prefetchBuckets(next.lba, uint64_t{next.xferLength} * lbaStep(config.useSkipCommands));
  }

  if (!dispatched) status = dispatchCompletion(thread, drive, config);
  // Other slices' syncs since the last power-on: after its marks, which a sync never clears.
  if (drive.syncedCompletions != nullptr) applySliceSync(drive, *drive.syncedCompletions);
  if (status == 0 && !drive.deferredOrderings.empty()) status = checkDeferredPreReads(thread, drive, config);
  if (status == 0) status = doCompares(thread, drive, config);
  // The host may issue the completed read's tag again once this pass ends.
  if (const int kept = keepReadData(drive); status == 0) status = kept;
  if (status == 0) status = commandSelection(thread, drive, config);
  if (status == 0) return 0;
  thread.eventLog().logf(2, "execute(): %s (%d)", varnox::EventLog::errStr(status), status);
  return status;
}

}  // namespace cardamor
