#include "issue/WriteIssue.h"

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "issue/IssueCommon.h"
#include "patterns/BlockLayout.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace cardamor {

int doAWrite(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
             const readSelectionFlags& sel) {
  varnox::EventLog& log = thread.eventLog();
  uint64_t& mask = thread.conditionMask();

  // A host-managed (zoned) drive dictates where the next write goes.
  if (*drive.hostManaged != 0) {
    *drive.lba = *drive.writeLba;
    *drive.xferLength = *drive.writeXferLength;
    *drive.writeCmdUsed += 1;
    if (drive.setSkipGen) *drive.skipGen = 1;
  } else {
    steerClearOfSpliceChecks(drive, config, *drive.lba, *drive.xferLength);
  }

  const uint64_t cmdId = takeCmdId(drive);
  const uint64_t lba = *drive.lba;
  const uint32_t len = *drive.xferLength;

  int status = 0;
  if (len >= config.bucketCount) {
    status = varnox::VARNOX_ERR_READ_DATA;
    log.logf(2, "Requested buffer too large: need=%u, max=%u", len, config.bucketCount - 1);
  }

  drive.outstandingWrites.push_back(WriteRecord{cmdId, 0, lba, len, tag, 1, 0});

  bool w = conditionSet(config.writeCondition);
  bool s = conditionSet(config.writeSameCondition);
  bool t = conditionSet(config.trimCondition);
  if (int(w) + int(s) + int(t) > 1) {
    // An earlier agent of the flow picks the kind by leaving its condition in the mask.
    w = sel.write;
    s = sel.writeSame;
    t = sel.trim;
  }
  const uint64_t maskBefore = mask;
  const int chosen = int(w) + int(s) + int(t);
  if (chosen == 1) {
    varnox::applyCondition(w   ? config.writeCondition
                           : s ? config.writeSameCondition
                               : config.trimCondition,
                           mask);
  } else {
    status = varnox::VARNOX_ERR_COMMAND_CHOICE;
    log.log(2, chosen > 1 ? "Multiple write commands selected" : "No write command selected");
  }
  // The protection bytes belong to the write the flow sends after this agent, which an earlier
  // agent announces through the E2E Condition before the write's own condition is applied.
  const bool e2e = conditionHolds(config.e2eCondition, maskBefore);
  const uint32_t sectorSize = thread.sectorSize();
  const uint64_t stride = sectorSize + (e2e ? 8 : 0);
  const uint64_t blocks = (s || len == 0) ? 1 : len;

  if (status == 0 && !t) status = checkWriteBuffer(thread, drive, config, tag, blocks, stride);

  if (status == 0) {
    const uint32_t first =
        t ? TRIM_BUCKET : static_cast<uint32_t>(drive.randomSource.draw() % (config.bucketCount - len));
    *drive.bucketIndex = first;

    if (!t) {
      uint8_t* buffer = drive.localWriteBuffers[tag].get();
      WrittenBlocks layout;
      layout.buckets = drive.sectorBuckets.get();
      layout.sectorSize = sectorSize;
      layout.stride = stride;
      layout.first = first;
      layout.count = static_cast<uint32_t>(blocks);
      layout.embed = config.embedData;
      layout.lba = lba;
      layout.lbaStep = lbaStep(config.useSkipCommands);
      layout.cmdId = cmdId;
      buildWrittenBlocks(buffer, layout);
      pointWriteData(drive, buffer, blocks * stride);
    }

    const uint32_t step = lbaStep(config.useSkipCommands);
    const uint64_t end = lba + uint64_t{step} * len;
    const bool embedded = !t && config.embedData;
    if (len != 0) {
      drive.atomicContext.prefetchRange(lba, end - 1);  // overlaps the misses of the walk below
      status = drive.atomicContext.writeIssuedRange(cmdId, lba, len, step, first, w ? 1 : 0, embedded, s);
    }

    if (s) {
      drive.commandTrace->recordWriteSameIssued(lba, len, cmdId, tag, first);
    } else if (w) {
      drive.commandTrace->recordWriteIssued(lba, len, cmdId, tag, first);
    } else {
      drive.commandTrace->recordTrimIssued(lba, len, cmdId, tag);
    }
    if (status == 0) return 0;
  }

  log.logf(2, "doAWrite(): %s (%d)", varnox::EventLog::errStr(status), status);
  return status;
}

}  // namespace cardamor
