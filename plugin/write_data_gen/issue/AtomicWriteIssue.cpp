#include "issue/AtomicWriteIssue.h"

#include <algorithm>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "issue/IssueCommon.h"
#include "patterns/BlockLayout.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace cardamor {

namespace {

bool notTaken(const PreReadRecord& record) {
  return record.atomicCmdId == 0;
}

}  // namespace

int issuePreRead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag) {
  const uint64_t cmdId = takeCmdId(drive);
  drive.commandTrace->recordPreReadIssued(*drive.lba, *drive.xferLength, cmdId, tag);
  drive.outstandingPreReads.push_back(
      PreReadRecord{cmdId, 0, *drive.lba, *drive.xferLength, tag, *drive.atomicBound});
  varnox::applyCondition(config.readCondition, thread.conditionMask());
  // The pre-read waits on its blocks like a read (without an obligation), so that no record it
  // covers is dropped while it is out. Otherwise a write issued after it could complete, be read
  // back and vanish from the history, and the pre-read's late hash would then stand alone as
  // the block's content although the drive holds that newer write.
  const uint32_t step = lbaStep(config.useSkipCommands);
  for (uint32_t i = 0; i < *drive.xferLength; ++i) {
    const int status = drive.atomicContext.readIssued(cmdId, *drive.lba + uint64_t{step} * i, false);
    if (status != 0) {
      thread.eventLog().logf(2, "issuePreRead(): %s (%d)", varnox::EventLog::errStr(status), status);
      return status;
    }
  }
  return 0;
}

int doAWriteAtomic(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
                   const readSelectionFlags& /*sel*/) {
  varnox::EventLog& log = thread.eventLog();
  uint64_t& mask = thread.conditionMask();

  steerClearOfSpliceChecks(drive, config, *drive.lba, *drive.xferLength);
  bool reuseHash = false;
  uint64_t preReadCmdId = 0;
  // With skip commands the write covers every other LBA, and so must the question.
  const uint32_t skipStep = lbaStep(config.useSkipCommands);
  if (!drive.atomicContext.rangeKnown(*drive.lba, *drive.lba + uint64_t{skipStep} * *drive.xferLength, skipStep)) {
    const PreReadRecord* source = nullptr;
    PreReadRecord finished;
    auto done = std::find_if(drive.finishedPreReads.begin(), drive.finishedPreReads.end(), notTaken);
    if (done != drive.finishedPreReads.end()) {
      // The pre-read's hash events hold references that this write releases block by block.
      finished = *done;
      drive.finishedPreReads.erase(done);
      reuseHash = true;
      source = &finished;
    } else {
      auto pending =
          std::find_if(drive.outstandingPreReads.begin(), drive.outstandingPreReads.end(), notTaken);
      if (pending != drive.outstandingPreReads.end()) {
        pending->atomicCmdId = drive.nextCmdId;
        source = &*pending;
      }
    }
    if (source == nullptr) return issuePreRead(thread, drive, config, tag);
    if (drive.setSkipGen) *drive.skipGen = 1;
    *drive.lba = source->lba;
    *drive.xferLength = source->xferLength;
    *drive.atomicBound = source->atomicBound;
    preReadCmdId = source->cmdId;
  }

  const uint64_t cmdId = takeCmdId(drive);
  const uint64_t lba = *drive.lba;
  const uint32_t len = *drive.xferLength;
  const uint32_t bound = *drive.atomicBound;

  int status = 0;
  if (len >= config.bucketCount) {
    status = varnox::VARNOX_ERR_READ_DATA;
    log.logf(2, "Requested buffer too large: need=%u, max=%u", len, config.bucketCount - 1);
  }

  drive.outstandingWrites.push_back(WriteRecord{cmdId, 0, lba, len, tag, 1, 1});
  varnox::applyCondition(config.writeAtomicCondition, mask);
  const bool e2e = conditionHolds(config.e2eCondition, mask);
  const uint32_t sectorSize = thread.sectorSize();
  const uint64_t stride = sectorSize + (e2e ? 8 : 0);
  const uint64_t blocks = len == 0 ? 1 : len;

  if (status == 0) status = checkWriteBuffer(thread, drive, config, tag, blocks, stride);

  if (status == 0) {
    const uint32_t first = static_cast<uint32_t>(drive.randomSource.draw() % (config.bucketCount - len));
    *drive.bucketIndex = first;

    // Atomic blocks always carry LBA and identifier: a torn unit is told apart by them.
    uint8_t* buffer = drive.localWriteBuffers[tag].get();
    WrittenBlocks layout;
    layout.buckets = drive.sectorBuckets.get();
    layout.sectorSize = sectorSize;
    layout.stride = stride;
    layout.first = first;
    layout.count = static_cast<uint32_t>(blocks);
    layout.embed = true;
    layout.lba = lba;
    layout.lbaStep = lbaStep(config.useSkipCommands);
    layout.cmdId = cmdId;
    buildWrittenBlocks(buffer, layout);
    pointWriteData(drive, buffer, blocks * stride);

    const uint32_t step = lbaStep(config.useSkipCommands);
    const uint64_t end = lba + uint64_t{step} * len;
    uint32_t index = 0;
    uint32_t unit = 0;
    uint64_t unitLen = bound;
    uint32_t bucket = first;
    for (uint64_t b = lba; b < end; b += step) {
      // The last, shorter unit, counted in blocks: with skip commands the LBAs left are twice as many.
      if (index == 0 && (end - b) / step < unitLen) unitLen = (end - b) / step;
      status = drive.atomicContext.atomicWriteIssued(cmdId, b, bucket, true, cmdId, b, index,
                                                     static_cast<uint32_t>(unitLen), unit);
      if (status == 0 && reuseHash) status = drive.atomicContext.dropHash(preReadCmdId, b);
      if (unitLen != 0 && ++index == unitLen) {
        index = 0;
        ++unit;
      }
      ++bucket;
      if (status != 0) break;
    }

    drive.commandTrace->recordWriteAtomicIssued(lba, len, cmdId, tag, first);
    if (status == 0) return 0;
  }

  log.logf(2, "doAWriteAtomic(): %s (%d)", varnox::EventLog::errStr(status), status);
  return status;
}

}  // namespace cardamor
