#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/ConfigData.h"
#include "completion/Compare.h"
#include "completion/Diagnosis.h"
#include "completion/PreReadCheck.h"
#include "completion/Receive.h"
#include "completion/SenseInfo.h"
#include "drive/DriveData.h"
#include "drive/PendingCompare.h"
#include "patterns/BlockLayout.h"
#include "varnox/DriveThread.h"

namespace cardamor {

namespace {
constexpr uint32_t kStatusGood = 0x00;
constexpr uint32_t kStatusTaskAborted = 0x40;
constexpr uint8_t kSpliceErrorRetries = 2;

// Unit error codes whose failure says nothing about a torn write, so a splice-check read that
// fails with one of them is no splice.
bool uecExcludedFromSplice(uint16_t uec) {
  return uec == 0xF7C3 || uec == 0xF815 || uec == 0xF510 || uec == 0xF827;
}

// Ends the read's registration at every block; the first failing status, else 0. keep hands
// the read-back obligation back, for a read that will be issued again.
int releaseBlocks(DriveData& drive, uint64_t cmdId, uint64_t lba, uint32_t xferLength, uint32_t step,
                  bool keep = false) {
  return drive.atomicContext.readFinishedRange(cmdId, lba, xferLength, step, keep, false);
}

// Whether an outstanding write overlaps a read; with skip commands the two touch common LBAs
// only when their first LBAs have the same parity.
bool overlaps(const WriteRecord& write, const ReadRecord& read, uint32_t step) {
  const uint64_t readEnd = read.lba + uint64_t{step} * read.xferLength;
  const uint64_t writeEnd = write.lba + uint64_t{step} * write.xferLength;
  if (!(write.lba < readEnd && writeEnd > read.lba)) return false;
  return step == 1 || (write.lba % 2) == (read.lba % 2);
}
// Whether a write may have changed [lba, lba + step x xferLength) since the splice check's first
// failing try `since` was issued: one over the range is outstanding (it may land at any time),
// or one issued after that try holds an event there. The check's kept obligations keep the
// range's records, so their histories tell.
bool writtenSince(const DriveData& drive, uint64_t since, uint64_t lba, uint32_t xferLength, uint32_t step) {
  const ReadRecord range{0, lba, xferLength, 0, 0, 0, 0};
  for (const WriteRecord& write : drive.outstandingWrites)
    if (overlaps(write, range, step)) return true;
  const AtomicContext& history = drive.atomicContext;
  for (uint32_t i = 0; i < xferLength; ++i) {
    const AtomicContext::Record* record = history.findRecord(lba + uint64_t{step} * i);
    for (const AtomicContext::Event* e = record ? history.eventAt(record->history) : nullptr; e;
         e = history.eventAt(e->next)) {
      if (e->cmdId == 0) continue;  // an invalidation stands in front whatever its age
      if (e->cmdId <= since) break;  // newest first: nothing later from here on
      if (e->eventType == AtomicContext::kEventWrite || e->eventType == AtomicContext::kEventAtomic) return true;
    }
  }
  return false;
}

// A splice check that the drive could not read: a write over the range was cut short, so the
// range holds part of that write and part of what was there before.
void describeSplice(DriveData& drive, uint64_t lba, uint32_t xferLength, uint64_t cmdId, const SenseInfo& sense) {
  Diagnosis& d = startDiagnosis(drive, "splice", lba, cmdId);
  if (!d.kind.empty()) return;
  d.kind = "torn";
  // The write whose abort or failure made this range suspect.
  const CommandTrace& trace = *drive.commandTrace;
  for (uint64_t i = trace.retainedCount(); i-- > 0;) {
    const TraceEntry& e = trace.chronological(i);
    if ((e.kind == TraceEventKind::WriteAborted || e.kind == TraceEventKind::WriteFinished) && e.lba == lba &&
        e.cmdId < cmdId) {
      d.expectedCmdId = e.cmdId;
      break;
    }
  }
  char kcq[16];
  std::snprintf(kcq, sizeof kcq, "%02X/%02X/%02X", sense.kcq.key, sense.kcq.code, sense.kcq.qual);
  d.text = (d.expectedCmdId != 0 ? "write " + std::to_string(d.expectedCmdId) : std::string("a write")) +
           " over " + std::to_string(xferLength) + " blocks was cut short, and the drive now fails reads of the range (" +
           kcq + "): part of it holds that write, part what was there before; where the boundary lies the drive does "
           "not say";
  d.noDriveFile = "the drive returned no data for the range";
  d.noReferenceFile = d.noDriveFile;
}

}  // namespace

int recvRead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
             const TagState& /*state*/) {
  const uint32_t tag = *drive.lastTagId;
  auto found = drive.outstandingReads.begin();
  while (found != drive.outstandingReads.end() && found->tag != tag) ++found;
  if (found == drive.outstandingReads.end()) {
    thread.eventLog().logf(2, "recvRead(): couldn't find read");
    return -1200;
  }
  const ReadRecord read = *found;
  drive.outstandingReads.erase(found);

  const uint32_t step = blockStep(config);
  const uint32_t status = *drive.lastStatusByte;
  CommandTrace& trace = *drive.commandTrace;
  SenseInfo sense;

  // A splice check's tries count only while nothing has written over its range since the first
  // of them failed: a write covering a torn range heals it, and a try after that would pass a
  // real splice. Once the range was written over, the failed try's evidence decides (a splice),
  // as no later try can confirm or clear it. The cost: a drive whose error on a splice check was
  // passing trouble fails when a write over the range follows before the retry.
  const bool evidenceStands =
      read.spliceSuspect != 0 && read.spliceSince != 0 &&
      writtenSince(drive, read.spliceSince, read.lba, read.xferLength, step);
  if (status == kStatusTaskAborted && !evidenceStands) {
    // The splice check is read again: once, or until a try completes when one has failed (an
    // aborted try says nothing). Its blocks keep their obligation for that retry: released
    // without it, a range that nothing else refers to would be forgotten and the retry could
    // not register its read (the history has no record left to expect).
    const bool retry = read.spliceSuspect != 0 && (read.retried == 0 || read.spliceSince != 0);
    // Statuses ignored: an aborted read is no error.
    releaseBlocks(drive, read.cmdId, read.lba, read.xferLength, step, retry);
    trace.recordReadAborted(read.lba, read.xferLength, read.cmdId, tag);
    if (retry) {
      // The splice check is read again next.
      ReadBackRequest retry;
      retry.cmdId = 0;
      retry.lba = read.lba;
      retry.xferLength = read.xferLength;
      retry.spliceSuspect = 1;
      retry.retried = read.retried == 0 ? 1 : read.retried;
      retry.spliceSince = read.spliceSince;
      drive.pendingReadBacks.push_front(retry);
    }
    return 0;
  }
  const bool tryFailed = status != kStatusGood && status != kStatusTaskAborted && parseSense(drive, sense);
  if (read.spliceSuspect != 0 && read.spliceSince != 0 && !tryFailed && evidenceStands) {
    // A try that passed, or was aborted, after the range was written over: the failed try stands.
    if (status == kStatusTaskAborted) {
      trace.recordReadAborted(read.lba, read.xferLength, read.cmdId, tag);
    } else {
      trace.recordReadFinished(read.lba, read.xferLength, read.cmdId, tag, sense.uec, sense.kcq);
    }
    trace.recordWriteSplice(read.lba, read.xferLength, read.cmdId, tag, sense.uec, sense.kcq);
    drive.spliceDetected = true;
    thread.eventLog().logf(2, "Write Splice Detected at LBA 0x%016llX Transfer Length 0x%lX",
                           static_cast<unsigned long long>(read.lba), static_cast<unsigned long>(read.xferLength));
    describeSplice(drive, read.lba, read.xferLength, read.cmdId, sense);
    return -1062;
  }
  if (tryFailed) {
    trace.recordReadFinished(read.lba, read.xferLength, read.cmdId, tag, sense.uec, sense.kcq);
    // A splice makes every read of the torn range fail; an error that passes is the drive's
    // passing trouble, not a torn write. The check is read twice more before a splice is
    // declared, so that errors a drive may make now and then (one in a thousand reads makes two
    // in a row likely somewhere in a long run) cannot fail it; but only while nothing wrote
    // over the range since the first failure (see above).
    const uint64_t since = read.spliceSince != 0 ? read.spliceSince : read.cmdId;
    const bool retry = read.spliceSuspect != 0 && !uecExcludedFromSplice(sense.uec) &&
                       read.retried < kSpliceErrorRetries &&
                       !writtenSince(drive, since, read.lba, read.xferLength, step);
    if (retry) {
      releaseBlocks(drive, read.cmdId, read.lba, read.xferLength, step, true);
      drive.pendingReadBacks.push_front(
          ReadBackRequest{0, read.lba, read.xferLength, 1, static_cast<uint8_t>(read.retried + 1), since});
      return 0;
    }
    if (read.spliceSuspect != 0 && !uecExcludedFromSplice(sense.uec)) {
      trace.recordWriteSplice(read.lba, read.xferLength, read.cmdId, tag, sense.uec, sense.kcq);
      drive.spliceDetected = true;
      thread.eventLog().logf(2, "Write Splice Detected at LBA 0x%016llX Transfer Length 0x%lX",
                             static_cast<unsigned long long>(read.lba),
                             static_cast<unsigned long>(read.xferLength));
      describeSplice(drive, read.lba, read.xferLength, read.cmdId, sense);
      return -1062;
    }
    // A hard read error of a normal read is the drive's failure, not a data-integrity one.
    return releaseBlocks(drive, read.cmdId, read.lba, read.xferLength, step);
  }

  trace.recordReadFinished(read.lba, read.xferLength, read.cmdId, tag, sense.uec, sense.kcq);
  if (read.spliceSuspect != 0 || *drive.readDataIsValid == 0) {
    // A splice check that read without error passes; its data is not compared.
    return releaseBlocks(drive, read.cmdId, read.lba, read.xferLength, step);
  }

  PendingCompare pending;
  for (const WriteRecord& write : drive.outstandingWrites) {
    if (write.cmdId < read.cmdId && overlaps(write, read, step)) {
      pending.racingWrites.push_back(write.cmdId);
      trace.recordRecvOutOfOrder(read.cmdId, tag, write.cmdId);
    }
  }
  if (!pending.racingWrites.empty()) {
    std::sort(pending.racingWrites.begin(), pending.racingWrites.end());
    // A read overtaking an older write is legal (it is compared once the write completes): an
    // info line, counted, and never a warning, of which a benign run would print thousands.
    thread.eventLog().logf(0, "recvRead(): recv read %llu out of order before write %llu",
                           static_cast<unsigned long long>(read.cmdId),
                           static_cast<unsigned long long>(pending.racingWrites.front()));
    drive.spliceDetected = true;
    ++drive.readsBeforeOlderWrite;
  }
  pending.cmdId = read.cmdId;
  pending.xferLength = read.xferLength;
  pending.lba = read.lba;
  pending.step = static_cast<uint8_t>(step);
  pending.powerEpoch = drive.powerEpoch;

  int result = 0;
  uint64_t size = 0;
  uint8_t* const data = drive.readDataPtr->getData(tag, &size);
  if (data == nullptr) {
    thread.eventLog().logf(2, "Read Buffer == NULL");
    result = -1022;
  } else if (const uint64_t sectorSize = thread.sectorSize(); size != 0 && size % sectorSize == 0) {
    // Compared where the host delivered it; the pass's end takes a copy if the compare has to
    // wait (keepReadData).
    pending.data.data = data;
    pending.data.capacity = size;
    pending.data.size = size;
  } else {
    // Room for whole sectors: a short last block is then compared against zero fill instead
    // of whatever lies behind the copy.
    const uint64_t room = (size + sectorSize - 1) / sectorSize * sectorSize;
    pending.data = takeReadData(drive);
    result = pending.data.grow(room);
    if (result == 0) {
      if (size != 0) std::memcpy(pending.data.data, data, size);
      if (room != size) std::memset(pending.data.data + size, 0, room - size);  // a recycled buffer is stale
      pending.data.size = size;
    }
  }
  if (result != 0) {
    thread.eventLog().logf(2, "recvRead(): %s (%d)", varnox::EventLog::errStr(result), result);
    return result;
  }
  pending.blockCount = read.xferLength;
  // The read's waiting entries stay registered until the compare releases them.
  drive.compareQueue.push_back(std::move(pending));
  return 0;
}

int recvPreRead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                const TagState& /*state*/) {
  const uint32_t tag = *drive.lastTagId;
  auto found = drive.outstandingPreReads.begin();
  while (found != drive.outstandingPreReads.end() && found->tag != tag) ++found;
  if (found == drive.outstandingPreReads.end()) {
    thread.eventLog().logf(2, "recvPreRead(): couldn't find pre-read");
    return -1200;
  }
  const PreReadRecord preRead = *found;
  drive.outstandingPreReads.erase(found);

  const uint32_t step = blockStep(config);
  const uint32_t status = *drive.lastStatusByte;
  CommandTrace& trace = *drive.commandTrace;
  SenseInfo sense;
  if (status == kStatusTaskAborted) {
    trace.recordReadAborted(preRead.lba, preRead.xferLength, preRead.cmdId, tag);
    releaseBlocks(drive, preRead.cmdId, preRead.lba, preRead.xferLength, step);
    return 0;
  }
  if (status != kStatusGood && parseSense(drive, sense)) {
    trace.recordReadFinished(preRead.lba, preRead.xferLength, preRead.cmdId, tag, sense.uec, sense.kcq);
    releaseBlocks(drive, preRead.cmdId, preRead.lba, preRead.xferLength, step);
    return 0;
  }
  trace.recordReadFinished(preRead.lba, preRead.xferLength, preRead.cmdId, tag, sense.uec, sense.kcq);

  int result = 0;
  uint64_t size = 0;
  const uint8_t* data = drive.readDataPtr->getData(tag, &size);
  if (data == nullptr) {
    thread.eventLog().logf(2, "recvPreRead() Read Buffer == NULL");
    result = -1022;
  } else {
    const uint64_t sectorSize = thread.sectorSize();
    const bool addRef = preRead.atomicCmdId == 0;
    if (*drive.readDataIsValid != 0) {
      const int checked =
          checkPreReadData(thread, drive, config, preRead.cmdId, preRead.lba, preRead.xferLength, step, data, size);
      if (checked != 0) return checked;
    }
    // Protection bytes delivered behind each block are not part of its content.
    const uint64_t stride = readDataStride(size, preRead.xferLength, sectorSize);
    for (uint32_t i = 0; i < preRead.xferLength; ++i) {
      // A buffer shorter than the transfer leaves the missing blocks without a hash
      // event: their content stays unknown rather than being hashed from stray memory.
      const uint64_t offset = uint64_t{i} * stride;
      if (offset + sectorSize > size) break;
      const uint64_t hash = blockHash(data + offset, sectorSize);
      const int rc =
          drive.atomicContext.addHash(preRead.cmdId, preRead.lba + uint64_t{step} * i, hash, addRef);
      if (rc != 0) {
        result = rc;
        break;
      }
    }
  }
  // The hashes are in: the blocks need not be held for the pre-read any longer.
  releaseBlocks(drive, preRead.cmdId, preRead.lba, preRead.xferLength, step);
  if (preRead.atomicCmdId == 0) drive.finishedPreReads.push_back(preRead);
  if (result != 0) {
    thread.eventLog().logf(2, "recvPreRead(): %s (%d)", varnox::EventLog::errStr(result), result);
    return result;
  }
  return 0;
}

}  // namespace cardamor
