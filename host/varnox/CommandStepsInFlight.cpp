// The commands in flight: freeing a finished command's tag and buffers, and forgetting every
// command the device lost to a power toggle or a reset.
#include "CommandSteps.h"
#include "varnox/Errors.h"

namespace varnox {

int CommandSteps::powerToggle() {
  ++counters_.commandsOfKind[static_cast<size_t>(StepKind::PowerToggle)];
  ++counters_.commands;
  const uint64_t start = timed_ ? clock_.now() : 0;
  const int status = device_.powerToggle();
  if (recordLatency_) {
    InFlight toggle;
    toggle.kind = StepKind::PowerToggle;
    toggle.submitted = start;
    recordLatency(toggle, clock_.now());
  }
  if (journal_ != nullptr) journal_->recordPowerLoss();
  forgetInFlight();  // also the commands held back behind a sync cache: they never ran
  // A real drive's power control says what it did (how long the drive took to come back) or
  // why the drive is lost.
  const std::string said = device_.lastPowerToggle();
  if (status != 0) {
    if (said.empty())
      thread_.eventLog().logf(2, "PowerToggle: the device failed to cycle power (status %d)", status);
    else
      thread_.eventLog().logf(2, "PowerToggle: %s", said.c_str());
    return VARNOX_ERR_DEVICE;
  }
  if (!said.empty()) thread_.eventLog().logf(0, "PowerToggle: %s", said.c_str());
  return VARNOX_OK;
}

void CommandSteps::finishTag(uint32_t tag, JournalOutcome outcome) {
  if (cdb_) cdb_->unlock(tag);
  if (readData_) readData_->unlock(tag);
  if (parameterList_) parameterList_->unlock(tag);
  if (inFlight_[tag].active) {
    if (inFlight_[tag].journalId != 0) journal_->recordCompletion(inFlight_[tag].journalId, outcome);
    --inFlightCount_;
    if (inFlight_[tag].kind == StepKind::SyncCache && syncInFlight_ != 0) --syncInFlight_;
  }
  inFlight_[tag].active = false;
}

void CommandSteps::forgetInFlight() {
  for (uint32_t tag = 0; tag < inFlight_.size(); ++tag) {
    if (inFlight_[tag].active) {
      ++counters_.lostCommands;
      finishTag(tag);
    }
  }
  held_.clear();
  awaiting_.clear();  // never sent: recorded as lost above
  awaitingHead_ = 0;
  syncInFlight_ = 0;
  releaseOnNextStatus_ = false;
}

void CommandSteps::freeLostTags() {
  // Tags of commands the device lost are for the agents' reset recovery to free; when every tag
  // is held that way nothing would ever complete, so the host frees them rather than stall.
  FreeTagQueue& tags = thread_.freeTagQueue();
  uint32_t freed = 0;
  for (uint32_t tag = tags.getNotFreeTag(0, false); tag != kNoTag; tag = tags.getNotFreeTag(tag + 1, false)) {
    if (!inFlight_[tag].active) {
      tags.pushFreeTag(tag, 0);
      ++freed;
    }
  }
  if (freed != 0) {
    thread_.eventLog().logf(1, "GetStatus: freed %u tags of commands the device lost; no agent recovered them", freed);
  }
}

}  // namespace varnox
