#include "issue/ReadIssue.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "issue/IssueCommon.h"
#include "patterns/BlockLayout.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace cardamor {

namespace {

bool awaitsRead(const WriteRecord& write) {
  return write.readBack != 0 && write.readCmdId == 0;
}

// The verify stamp of a block with no predictable content: bucket INVALID_BUCKET, zero byte.
constexpr uint8_t kInvalidStamp[4] = {0x08, 0x00, 0x01, 0x00};

}  // namespace

int doAReadOrVerify(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
                    const readSelectionFlags& sel) {
  varnox::EventLog& log = thread.eventLog();
  if (drive.setSkipGen) *drive.skipGen = 1;
  const uint64_t cmdId = takeCmdId(drive);

  std::optional<ReadBackRequest> request;
  std::optional<WriteRecord> write;
  bool forceRead = false;
  if (!drive.pendingReadBacks.empty()) {
    request = drive.pendingReadBacks.front();
    drive.pendingReadBacks.pop_front();
    forceRead = request->spliceSuspect != 0;
  } else {
    // Reading a write that is still outstanding races it; the completion side judges the order.
    auto it = std::find_if(drive.outstandingWrites.begin(), drive.outstandingWrites.end(), awaitsRead);
    if (it != drive.outstandingWrites.end()) {
      it->readCmdId = cmdId;
      write = *it;
    } else {
      log.log(2, "doAReadOrVerify(): failed to select write to read");
    }
  }

  const ReadBackRequest* req = request ? &*request : nullptr;
  const WriteRecord* wr = write ? &*write : nullptr;
  const bool canRead = conditionSet(config.readCondition);
  bool r = canRead;
  bool v = conditionSet(config.verifyCondition);
  if (r && v) {
    r = sel.read;
    v = sel.verify;
  }
  if (r && v) {
    log.log(2, "Both Read and Verify condition selected during same execution loop.");
    return varnox::VARNOX_ERR_COMMAND_CHOICE;
  }
  if (!r && !v) {
    log.log(2, "Niether read nor verify selected during execution loop.");
    return varnox::VARNOX_ERR_COMMAND_CHOICE;
  }
  // Two ranges are read instead of verified whenever the flow can read. One with a write in
  // flight over it: the drive judges a verify the moment it runs it, so it cannot wait for that
  // write's outcome as a read does (a verify-only flow keeps the verify; its completion treats a
  // miscompare over a write still outstanding as of unknown outcome). And one written with skip
  // commands: a verify covers consecutive LBAs, and the blocks in between were never written.
  if (v && canRead) {
    const uint64_t lba = req ? req->lba : wr ? wr->lba : 0;
    const uint32_t len = req ? req->xferLength : wr ? wr->xferLength : 0;
    if (config.useSkipCommands || ((req || wr) && overlapsOutstandingWrite(drive, config, lba, len))) {
      r = true;
      // A chooser may have left the verify's condition in the mask: the verify step must not
      // run beside the read.
      thread.conditionMask() &= ~(config.verifyCondition.anyBits | config.verifyCondition.allBits);
    }
  }
  // A range that may hold a torn write is read whole: only the agent can tell a splice.
  if (forceRead || r) return doARead(thread, drive, config, tag, cmdId, req, wr);
  return doAVerify(thread, drive, config, tag, cmdId, req, wr);
}

void slideRead(DriveData& drive, uint64_t& lba, uint32_t& xferLength, bool skip) {
  const uint64_t r = drive.randomSource.draw();
  if (((r >> 62) & 1) == 0) return;
  const uint32_t newLen = *drive.xferLength;
  const uint32_t oldLen = xferLength;
  xferLength = newLen;
  const uint32_t step = lbaStep(skip);
  const uint64_t minLba = *drive.minLba;
  const uint64_t maxLba = *drive.maxLba;

  // Lengths are 32-bit block counts; LBAs are 64-bit.
  uint64_t lower = lba + step - static_cast<uint32_t>(step * newLen);
  if (lower < minLba || lower > lba) lower = minLba;  // below MinLBA, or wrapped below zero
  uint64_t upper = lba + static_cast<uint32_t>(step * oldLen) - step;
  if (upper > maxLba) upper = maxLba + step - static_cast<uint32_t>(step * newLen);
  if (skip) {
    if ((upper & 1) != (lba & 1)) upper -= 1;
    if ((lower & 1) != (lba & 1)) lower += 1;
  }
  if (newLen > oldLen) upper = lba;  // a longer read still covers the source's first block
  if (newLen < oldLen) lower = lba;  // a shorter one starts inside the source
  // A longer read starting at the source's first block can run past MaxLBA (near the end of the
  // range, or with skip commands, whose reads span twice their length): the drive refuses such a
  // read. The last start that still ends at MaxLBA bounds it, on the source's parity.
  const uint64_t span = uint64_t{step} * newLen;
  if (span <= maxLba + step) {
    uint64_t lastStart = maxLba + step - span;
    if (skip && (lastStart & 1) != (lba & 1) && lastStart > 0) lastStart -= 1;
    if (upper > lastStart) upper = lastStart;
    if (lower > upper) lower = upper;
  }
  if (upper <= lower) {
    if (upper < lba) lba = upper;
    return;
  }
  lba = skip ? lower + (r % ((upper - lower) / 2 + 1)) * 2 : lower + r % (upper - lower + 1);
}

int doARead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
            uint64_t cmdId, const ReadBackRequest* request, const WriteRecord* write) {
  varnox::EventLog& log = thread.eventLog();
  uint64_t wLba = 0;
  uint32_t wLen = 0;
  uint8_t spliceSuspect = 0;
  uint8_t retried = 0;
  uint64_t spliceSince = 0;
  if (request != nullptr) {
    wLba = request->lba;
    wLen = request->xferLength;
    spliceSuspect = request->spliceSuspect;
    retried = request->retried;
    spliceSince = request->spliceSince;
  } else if (write != nullptr) {
    wLba = write->lba;
    wLen = write->xferLength;
  } else {
    log.log(2, "doARead(): Invalid WriteSent and WriteFinished");
    return varnox::VARNOX_ERR_INTERNAL;
  }

  uint64_t rLba = wLba;
  uint32_t rLen = wLen;
  // A splice check must see exactly the torn write's blocks.
  if (config.slideReads && spliceSuspect == 0) slideRead(drive, rLba, rLen, config.useSkipCommands);

  varnox::applyCondition(config.readCondition, thread.conditionMask());
  const AtomicContext::ExpectedBlock expected = drive.atomicContext.lookup(rLba);
  drive.commandTrace->recordReadIssued(rLba, rLen, cmdId, tag, expected.blockNum, expected.invalidated);
  drive.outstandingReads.push_back(ReadRecord{cmdId, rLba, rLen, tag, spliceSuspect, retried, spliceSince});
  *drive.lba = rLba;
  *drive.xferLength = rLen;

  const uint32_t step = lbaStep(config.useSkipCommands);
  const uint64_t rEnd = rLba + uint64_t{step} * rLen;
  const uint64_t wEnd = wLba + uint64_t{step} * wLen;
  drive.atomicContext.prefetchRange(std::min(rLba, wLba), std::max(rEnd, wEnd) - 1);  // overlaps the loop's misses
  for (uint64_t b = std::min(rLba, wLba); b < std::max(rEnd, wEnd); b += step) {
    int status;
    if (b < rLba || b >= rEnd) {
      status = drive.atomicContext.readSkip(b);  // a source block this read leaves out
    } else {
      status = drive.atomicContext.readIssued(cmdId, b, b >= wLba && b < wEnd);
    }
    if (status != 0) {
      log.logf(2, "doARead(): %s (%d)", varnox::EventLog::errStr(status), status);
      return status;
    }
  }
  return 0;
}

int doAVerify(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
              uint64_t cmdId, const ReadBackRequest* request, const WriteRecord* write) {
  varnox::EventLog& log = thread.eventLog();
  uint64_t lba = 0;
  uint32_t len = 0;
  if (request != nullptr) {
    lba = request->lba;
    len = request->xferLength;
  } else if (write != nullptr) {
    lba = write->lba;
    len = write->xferLength;
  } else {
    log.log(2, "doAVerify(): Invalid WriteSent and WriteFinished");
    return varnox::VARNOX_ERR_INTERNAL;
  }
  // A verify always covers consecutive LBAs; skip commands do not apply to it.
  const uint64_t end = lba + len;

  // The drive can only be asked to match blocks whose content is known: verify the first run
  // of known blocks.
  const AtomicContext& history = drive.atomicContext;
  uint64_t s = lba;
  while (s < end && history.lookup(s).blockNum == INVALID_BUCKET) ++s;
  uint8_t expectMiscompare = 0;
  uint64_t e = s;
  while (e < end) {
    const AtomicContext::ExpectedBlock expected = history.lookup(e);
    // The block that ends the run is not verified: its invalidation says nothing of the run.
    if (expected.blockNum == INVALID_BUCKET) break;
    if (expected.invalidated) expectMiscompare = 1;
    ++e;
  }
  uint32_t count;
  if (e == s) {
    // Nothing known: verify it all against data that cannot match.
    s = lba;
    count = std::max<uint32_t>(len, 1);
    e = s + count;
    expectMiscompare = 1;
  } else {
    count = static_cast<uint32_t>(e - s);
  }

  uint64_t& mask = thread.conditionMask();
  varnox::applyCondition(config.verifyCondition, mask);
  const uint64_t stride = thread.sectorSize() + (conditionHolds(config.e2eCondition, mask) ? 8 : 0);
  int status = checkWriteBuffer(thread, drive, config, tag, std::max<uint32_t>(count, 1), stride);
  if (status != 0) {
    log.logf(2, "doAVerify(): %s (%d)", varnox::EventLog::errStr(status), status);
    return status;
  }
  buildVerifyData(thread, drive, config, cmdId, tag, s, count);

  const AtomicContext::ExpectedBlock first = history.lookup(s);
  drive.commandTrace->recordVerifyIssued(s, count, cmdId, tag, first.blockNum, first.invalidated);
  drive.outstandingVerifies.push_back(VerifyRecord{cmdId, s, count, tag, expectMiscompare});
  *drive.lba = s;
  *drive.xferLength = count;

  for (uint64_t b = lba; b < end; ++b) {
    if (b < s || b >= e) {
      status = drive.atomicContext.readSkip(b);
    } else {
      status = drive.atomicContext.readIssued(cmdId, b, true);
    }
    if (status != 0) {
      log.logf(2, "doAVerify(): %s (%d)", varnox::EventLog::errStr(status), status);
      return status;
    }
  }
  return 0;
}

void buildVerifyData(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId,
                     uint32_t tag, uint64_t lba, uint32_t count) {
  const bool e2e = conditionHolds(config.e2eCondition, thread.conditionMask());
  const uint32_t sectorSize = thread.sectorSize();
  const uint64_t stride = sectorSize + (e2e ? 8 : 0);
  const uint64_t total = count == 0 ? stride : count * stride;
  uint8_t* buffer = drive.localWriteBuffers[tag].get();
  const uint8_t* buckets = drive.sectorBuckets.get();

  for (uint32_t k = 0; k < count; ++k) {
    uint8_t* block = buffer + k * stride;
    const AtomicContext::ExpectedBlock expected = drive.atomicContext.lookup(lba + k);
    if (expected.blockNum < kBucketLimit) {
      std::memcpy(block, buckets + uint64_t{expected.blockNum} * sectorSize, sectorSize);
      if (expected.embedded) embedLbaAndCmdId(block, expected.embeddedLba, expected.embeddedCmdId);
    } else if (expected.blockNum == TRIM_BUCKET) {
      std::memcpy(block, drive.trimBuffer.get(), sectorSize);
    } else {
      // Random bytes of the table (a byte offset, not a bucket), stamped so that no drive data
      // can match them and a dump shows whose verify supplied them.
      const uint64_t offset = drive.randomSource.draw() % config.bucketCount;
      std::memcpy(block, buckets + offset, sectorSize);
      std::memcpy(block, kInvalidStamp, sizeof kInvalidStamp);
      embedCmdId(block, cmdId);
    }
  }
  pointWriteData(drive, buffer, total);
}

}  // namespace cardamor
