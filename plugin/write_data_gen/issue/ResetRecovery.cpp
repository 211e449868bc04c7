#include "issue/ResetRecovery.h"

#include <cinttypes>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "trace/CommandTrace.h"
#include "varnox/DriveThread.h"

namespace cardamor {

namespace {

// With skip commands a command of n blocks touches every other LBA.
uint64_t blockStep(const ConfigData& config) { return config.useSkipCommands ? 2 : 1; }

void freeTags(varnox::DriveThread& thread, DriveData& drive) {
  varnox::FreeTagQueue& tags = thread.freeTagQueue();
  for (uint32_t tag = tags.getNotFreeTag(0, false); tag != varnox::kNoTag;
       tag = tags.getNotFreeTag(0, false)) {
    drive.readDataPtr->unlock(tag);
    drive.cdb->unlock(tag);
    drive.parameterList->unlock(tag);
    tags.pushFreeTag(tag, 0);
    // Nothing the device held will complete now.
    *drive.readDataIsValid = 0;
    *drive.lastTagId = 255;
    *drive.lastStatusByte = 0xFFFFFFFF;
  }
}

}  // namespace

int handleReset(varnox::DriveThread& thread, const ConfigData& config, DriveData& drive) {
  freeTags(thread, drive);
  CommandTrace* trace = drive.commandTrace.get();
  AtomicContext& history = drive.atomicContext;
  const uint64_t step = blockStep(config);

  for (const PreReadRecord& p : drive.outstandingPreReads) {
    if (trace) trace->recordReadAborted(p.lba, p.xferLength, p.cmdId, p.tag);
    for (uint32_t i = 0; i < p.xferLength; ++i) history.readFinished(p.cmdId, p.lba + step * i, false);
  }
  drive.outstandingPreReads.clear();

  // A verify only checks; once it is gone its LBAs are no longer waited on.
  for (const VerifyRecord& v : drive.outstandingVerifies) {
    if (trace) trace->recordVerifyAborted(v.lba, v.xferLength, v.cmdId, v.tag);
    for (uint64_t b = v.lba; b < v.lba + v.xferLength; ++b) history.readFinished(v.cmdId, b, false);
  }
  drive.outstandingVerifies.clear();

  // Reads are asked again: each goes to the front, so they end up in reverse issue order ahead
  // of everything that was already waiting, and their history records stay.
  std::vector<std::pair<uint64_t, ReadBackRequest*>> requeued;  // by the read's cmdId
  for (const ReadRecord& r : drive.outstandingReads) {
    if (trace) trace->recordReadAborted(r.lba, r.xferLength, r.cmdId, r.tag);
    for (uint64_t b = r.lba; b < r.lba + step * r.xferLength; b += step) history.readFinished(r.cmdId, b, true);
    std::printf("re-queuing read cmd_id:%" PRIu64 ":%" PRIx64 "\n", r.cmdId, r.cmdId);
    // A splice check keeps its count and the failing try it holds: a lost try is no evidence
    // either way, and the tries before it still count.
    drive.pendingReadBacks.push_front(ReadBackRequest{0, r.lba, r.xferLength, r.spliceSuspect, r.retried, r.spliceSince});
    requeued.emplace_back(r.cmdId, &drive.pendingReadBacks.front());
  }
  drive.outstandingReads.clear();

  // A lost write may or may not have reached the media. An atomic write must have landed whole
  // or not at all, so its range is always read back; a normal one only when splices are hunted.
  //
  // Each write holds one read-back obligation on its blocks, and exactly one read may meet it.
  // A write whose read was already chosen has handed it to that read (re-queued above, or
  // completed and waiting for its compare): a second read-back would find no obligation left
  // ("Internal consistency failure"), so none is queued, and a splice check rides on the
  // re-queued read instead. A write for which no read will come gives its obligation up, as a
  // failed write does at completion; kept, its records would never be released, and continuous
  // power cycles would grow the history without bound.
  for (const WriteRecord& w : drive.outstandingWrites) {
    if (trace) trace->recordWriteAborted(w.lba, w.xferLength, w.cmdId, w.tag);
    for (uint64_t b = w.lba; b < w.lba + step * w.xferLength; b += step) history.writeAborted(w.cmdId, b);
    if (w.readCmdId != 0) {
      if (!w.atomic && config.writeSpliceDetection) {
        for (auto& [readCmdId, request] : requeued)
          if (readCmdId == w.readCmdId) request->spliceSuspect = 1;
      }
      continue;
    }
    if (w.readBack == 0) {
      for (uint64_t b = w.lba; b < w.lba + step * w.xferLength; b += step) history.readSkip(b);
    } else if (w.atomic) {
      drive.pendingReadBacks.push_back(ReadBackRequest{w.cmdId, w.lba, w.xferLength, 0, 0, 0});
    } else if (config.writeSpliceDetection) {
      drive.pendingReadBacks.push_back(ReadBackRequest{w.cmdId, w.lba, w.xferLength, 1, 0, 0});
    } else {
      for (uint64_t b = w.lba; b < w.lba + step * w.xferLength; b += step) history.readSkip(b);
    }
  }
  drive.outstandingWrites.clear();
  std::fflush(stdout);
  return 0;
}

}  // namespace cardamor
