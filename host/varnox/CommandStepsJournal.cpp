// The command steps' side of the journal: the intent of every command that changes the drive's
// blocks is recorded before it is sent, and the command waits (with every command after it, so
// the drive sees them in the order the agents issued them) until the record is durable.
#include "CommandSteps.h"
#include "varnox/Errors.h"

namespace varnox {

uint64_t CommandSteps::journalIntent(StepKind kind, const DeviceCommand& command, uint64_t lba, uint32_t blocks,
                                     uint64_t stride) {
  JournalIntent intent;
  intent.tag = command.tag;
  intent.lba = lba;
  intent.blocks = blocks;
  intent.lbaStride = command.lbaStride;
  intent.data = command.dataOut;
  intent.dataStride = stride;
  intent.blockBytes = device_.geometry().logicalBlockSize;
  switch (kind) {
    case StepKind::Write:
    case StepKind::Invalidate:
      intent.kind = JournalKind::Write;
      break;
    case StepKind::WriteAtomic:
      intent.kind = JournalKind::Atomic;
      intent.atomicUnit = atomicBound_ && *atomicBound_ != 0 && *atomicBound_ <= 0xFFFF ? *atomicBound_ : 0;
      break;
    case StepKind::WriteSame:
      intent.kind = JournalKind::WriteSame;
      break;
    case StepKind::Trim:
      intent.kind = JournalKind::Trim;
      intent.lbaStride = lbaStride_;
      intent.data = nullptr;
      break;
    case StepKind::ZoneReset: {
      const uint64_t zone = device_.geometry().zoneBlocks;
      intent.kind = JournalKind::ZoneReset;
      intent.lba = zone == 0 ? *zoneResetLba_ : *zoneResetLba_ - *zoneResetLba_ % zone;
      intent.blocks = static_cast<uint32_t>(zone);
      intent.lbaStride = 1;
      intent.data = nullptr;
      break;
    }
    case StepKind::SyncCache:
      intent.kind = JournalKind::SyncCache;
      intent.lba = 0;
      intent.blocks = 0;
      intent.data = nullptr;
      break;
    default:
      return 0;  // reads and verifies change nothing
  }
  const uint64_t id = journal_->recordIntent(intent);
  return id == 0 ? UINT64_MAX : id;
}

int CommandSteps::sendJournaled() {
  while (awaitingHead_ < awaiting_.size()) {
    const Awaiting& next = awaiting_[awaitingHead_];
    if (next.journalId != 0 && !journal_->durable(next.journalId)) break;
    if (!journal_->healthy(nullptr)) return fail(*next.stepName, VARNOX_ERR_GENERIC, "%s", journalError().c_str());
    ++awaitingHead_;
    // Behind a sync cache still in flight, or behind commands already held for one, it waits on.
    if (next.hold && (syncInFlight_ != 0 || !held_.empty())) {
      held_.emplace_back(next.command, *next.stepName);
    } else if (const int status = submit(next.command, *next.stepName); status != VARNOX_OK) {
      finishTag(next.command.tag, JournalOutcome::Lost);
      return status;
    }
  }
  if (awaitingHead_ == awaiting_.size()) {
    awaiting_.clear();
    awaitingHead_ = 0;
  }
  return VARNOX_OK;
}

std::string CommandSteps::journalError() const {
  const char* why = "";
  journal_->healthy(&why);
  return std::string("the journal cannot record this command: ") + why;
}

}  // namespace varnox
