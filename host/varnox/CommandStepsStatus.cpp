// GetStatus: hands one completion back to the agents through the status variables, checks it
// for protection information and device errors, and counts it.
#include "BufferReuse.h"
#include "CommandSteps.h"
#include "varnox/Errors.h"

namespace varnox {

int CommandSteps::getStatus() {
  FreeTagQueue& tags = thread_.freeTagQueue();
  if (releaseOnNextStatus_ && syncInFlight_ == 0) releaseHeld();
  if (journal_ != nullptr) {
    if (const int status = sendJournaled(); status != VARNOX_OK) return status;
  }
  DeviceCompletion completion;
  bool got = device_.poll(completion, false);
  if (!got && tags.peekNextFreeTag() == kNoTag) {
    // Nothing at the device and every tag waiting for the journal: only its sync can free one.
    if (device_.outstanding() == 0 && awaitingHead_ < awaiting_.size()) {
      journal_->waitDurable(awaiting_[awaitingHead_].journalId);
      if (const int status = sendJournaled(); status != VARNOX_OK) return status;
    }
    if (device_.outstanding() > 0) got = device_.poll(completion, true);
    if (!got && device_.outstanding() == 0 && awaitingHead_ == awaiting_.size()) freeLostTags();
  }
  // A completion for a tag the device has since lost (reset) carries nothing to report.
  if (got && (completion.tag >= inFlight_.size() || !inFlight_[completion.tag].active)) got = false;
  const uint64_t now = timed_ ? clock_.now() : 0;
  if (!got) {
    *lastStatusByte_ = kNoStatus;
    return checkTimeouts(now);
  }

  const uint32_t tag = completion.tag;
  const InFlight done = inFlight_[tag];
  // The drive proved a block's data and its protection bytes apart: the data's integrity failed.
  uint64_t failedLba = done.lba;
  if (const std::string check = protectionCheckFailure(completion, failedLba); !check.empty()) {
    finishTag(tag, JournalOutcome::Failed);
    tags.pushFreeTag(tag, 0);
    return fail("GetStatus", VARNOX_ERR_MISCOMPARE,
                "Protection information check failed at LBA 0x%016llX: %s, on a %s of %u blocks from LBA 0x%016llX",
                static_cast<unsigned long long>(failedLba), check.c_str(), stepKindName(done.kind), done.blocks,
                static_cast<unsigned long long>(done.lba));
  }
  if (deviceErrors_.count(completion, stepKindName(done.kind), done.lba, done.blocks)) {
    finishTag(tag, completionDeliveredData(completion) ? JournalOutcome::Done : JournalOutcome::Failed);
    tags.pushFreeTag(tag, 0);
    return fail("GetStatus", VARNOX_ERR_DEVICE, "%s", deviceErrors_.describe().c_str());
  }
  *lastTagId_ = tag;
  *lastStatusByte_ = completion.status;
  if (completionNumber_ != nullptr) *completionNumber_ = completion.sequence;
  if (completion.sense.empty()) {
    if (lastErrSense_->ownsData) {
      lastErrSense_->size = 0;
    } else {
      lastErrSense_->release();
    }
  } else if (!copyInto(*lastErrSense_, completion.sense.data(), completion.sense.size())) {
    return fail("GetStatus", VARNOX_ERR_NO_MEMORY, "no memory for sense data");
  }
  const bool good = completion.status == kStatusGood;
  // A RECOVERED ERROR delivered the data as GOOD does, and it is checked the same way.
  const bool delivered = completionDeliveredData(completion);
  const JournalOutcome outcome = delivered ? JournalOutcome::Done : JournalOutcome::Failed;
  *readDataIsValid_ = (done.kind == StepKind::Read && delivered) ? 1 : 0;
  uint64_t cdbBytes = 0;
  const uint8_t* cdb = cdb_ ? cdb_->getData(tag, &cdbBytes) : nullptr;
  if (cdb != nullptr && !copyInto(*recvCdb_->buffer(tag), cdb, cdbBytes)) {
    return fail("GetStatus", VARNOX_ERR_NO_MEMORY, "no memory for the received CDB");
  }

  ++counters_.completionsOfStatus[completion.status];
  if (recordLatency_) recordLatency(done, now);
  if (!good) ++counters_.errorCompletions;
  if (good && isWrite(done.kind)) {
    counters_.bytesWritten += done.bytes;
    ++counters_.goodWrites;
  }
  if (done.kind == StepKind::Read || done.kind == StepKind::Verify) {
    if (delivered) {
      counters_.bytesVerified += done.bytes;
      ++counters_.goodReadBacks;
    }
    // A verify's MISCOMPARE is a comparison made too; the count is only whether any was.
    if (delivered || (done.kind == StepKind::Verify && completionIsMiscompare(completion))) ++counters_.dataChecks;
  }
  if (done.kind == StepKind::SyncCache) releaseOnNextStatus_ = true;
  finishTag(tag, outcome);
  tags.markCompleted(tag);
  tags.pushFreeTag(tag, 0);
  return checkTimeouts(now);
}

}  // namespace varnox
