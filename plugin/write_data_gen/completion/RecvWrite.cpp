#include <algorithm>

#include "base/ConfigData.h"
#include "completion/Receive.h"
#include "completion/SenseInfo.h"
#include "completion/SliceSync.h"
#include "drive/DriveData.h"
#include "varnox/DriveThread.h"

namespace cardamor {

namespace {
constexpr uint32_t kStatusGood = 0x00;
constexpr uint32_t kStatusTaskAborted = 0x40;
constexpr uint8_t kKeyMediumError = 3;
}  // namespace

uint32_t blockStep(const ConfigData& config) {
  return config.useSkipCommands ? 2 : 1;
}

int recvWrite(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
              const TagState& state) {
  const uint32_t tag = *drive.lastTagId;
  auto found = drive.outstandingWrites.begin();
  while (found != drive.outstandingWrites.end() && found->tag != tag) ++found;
  if (found == drive.outstandingWrites.end()) {
    thread.eventLog().logf(2, "recvWrite(): Couldn't find write");
    return -1200;
  }
  const WriteRecord write = *found;
  drive.outstandingWrites.erase(found);
  noteWriteCompletion(drive, write.cmdId);

  const uint32_t step = blockStep(config);
  const uint64_t end = write.lba + uint64_t{step} * write.xferLength;
  bool suspect = false;
  bool keep = write.readBack != 0;
  SenseInfo sense;
  AtomicContext& history = drive.atomicContext;
  const uint32_t status = *drive.lastStatusByte;

  auto finished = [&] {
    drive.commandTrace->recordWriteFinished(state.lba, state.xferLength, write.cmdId, tag, sense.uec,
                                            sense.kcq);
    history.writeFinishedRange(write.cmdId, write.lba, write.xferLength, step);
  };

  if (status == kStatusGood) {
    finished();
  } else if (status == kStatusTaskAborted) {
    for (uint64_t lba = write.lba; lba < end; lba += step) history.writeAborted(write.cmdId, lba);
    drive.commandTrace->recordWriteAborted(state.lba, state.xferLength, write.cmdId, tag);
    suspect = write.atomic == 0 && config.writeSpliceDetection;
    keep = write.atomic != 0 || suspect;
  } else if (!parseSense(drive, sense)) {
    finished();  // corrected by the device: as GOOD, but the trace keeps the sense
  } else {
    // Blocks before the reported failing LBA were written; from it on the content is unknown.
    uint64_t from = sense.validBit != 0 ? sense.information : write.lba;
    if (from < write.lba) from = write.lba;
    for (uint64_t lba = write.lba; lba < end; lba += step) {
      if (lba >= from) history.writeAborted(write.cmdId, lba);
    }
    // A medium error is the drive refusing the block, not a torn transfer: no splice check.
    suspect = write.atomic == 0 && config.writeSpliceDetection && sense.kcq.key != kKeyMediumError;
    keep = write.atomic != 0 || suspect;
    drive.commandTrace->recordWriteFinished(state.lba, state.xferLength, write.cmdId, tag, sense.uec,
                                            sense.kcq);
  }

  if (write.readCmdId != 0) {
    // A read of this range is already on its way; it becomes the splice check.
    if (suspect) {
      for (ReadRecord& read : drive.outstandingReads) {
        if (read.cmdId == write.readCmdId) {
          read.spliceSuspect = 1;
          break;
        }
      }
    }
    return 0;
  }
  if (keep) {
    ReadBackRequest request;
    request.cmdId = write.cmdId;
    request.lba = write.lba;
    request.xferLength = write.xferLength;
    request.spliceSuspect = suspect ? 1 : 0;
    request.retried = 0;
    drive.pendingReadBacks.push_back(request);
    return 0;
  }
  for (uint64_t lba = write.lba; lba < end; lba += step) {
    const int rc = history.readSkip(lba);
    if (rc != 0) {
      thread.eventLog().logf(2, "recvWrite(): %s (%d)", varnox::EventLog::errStr(rc), rc);
      return rc;
    }
  }
  return 0;
}

void recvSyncCache(DriveData& drive, const ConfigData& /*config*/) {
  drive.syncCacheOutstanding = false;
  const uint32_t status = *drive.lastStatusByte;
  SenseInfo sense;
  // No special case for a corrected error or an abort: only GOOD counts as synchronized.
  if (status != kStatusGood) decodeSense(drive, sense);
  if (status == kStatusGood) {
    drive.syncCacheSucceeded = true;
    if (drive.syncCacheFromCmdId >= drive.syncedBelowCmdId) {
      drive.syncedBelowCmdId = drive.syncCacheFromCmdId;
      // Writes in flight when it was sent are not covered; those of an earlier sync that had
      // completed by then are.
      drive.unsyncedBelowCmdIds = drive.syncCacheSkipsCmdIds;
    }
  }
  drive.commandTrace->recordSyncCacheFinished(*drive.lastTagId, sense.uec, sense.kcq);
}

}  // namespace cardamor
