// Power loss and reset on the simulated drive: outstanding commands dropped, their writes kept, lost or cut.
#include <cstring>

#include "sim/BlockStore.h"
#include "sim/FaultHook.h"
#include "sim/PersistentMedium.h"
#include "sim/SimulatedDrive.h"
#include "sim/SimulatedDriveSlot.h"
#include "sim/WriteCache.h"

namespace varnox::sim {

// What a completed read returned stays: the outstanding writes it saw are no longer undone over
// its blocks (whole atomic units, so that a later cut cannot tear one). On a split drive only the
// read's own group can have written its blocks.
void SimulatedDrive::commitRead(const Slot& read) {
  const uint64_t end = read.readLba + read.readBlocks;
  for (uint32_t tag : queueOf(read).tags) {
    Slot& w = slots_[tag];
    if (w.sequence == 0 || w.sequence > read.readAfter || w.undo.empty()) continue;
    if (w.blockCount != 0 && (w.firstLba >= end || read.readLba >= w.firstLba + w.blockCount)) continue;
    for (size_t i = 0; i < w.undo.size(); ++i) {
      const uint64_t lba = w.undo[i].lba;
      if (w.undo[i].kept || lba < read.readLba || lba >= end) continue;
      const uint64_t unit = w.undo[i].unit;
      for (size_t j = i; j > 0 && w.undo[j - 1].unit == unit; --j) w.undo[j - 1].kept = true;
      for (size_t j = i; j < w.undo.size() && w.undo[j].unit == unit; ++j) w.undo[j].kept = true;
    }
  }
}

void SimulatedDrive::dropOutstanding(bool powerLost) {
  const bool cacheLost = powerLost && cache_;
  // Every group's commands: the groups of a split drive are all kept out meanwhile.
  for (auto& queue : queues_) dropQueue(*queue, cacheLost);
  delayed_ = 0;
  if (cacheLost) {
    cache_->loseContents(*store_);
    // The store is back to what the medium file has held since the last sync.
    if (medium_) medium_->forgetBlocks();
    if (hook_) hook_->cacheLost();
  }
}

void SimulatedDrive::dropQueue(Queue& queue, bool cacheLost) {
  std::vector<uint32_t>& tags = queue.tags;
  if (hook_)
    for (uint32_t tag : tags) hook_->dropped(tag);
  // Newest first, so that an undone block gets back exactly what the older command left.
  for (size_t i = tags.size(); !cacheLost && i-- > 0;) {
    Slot& slot = slots_[tags[i]];
    if (slot.sequence == 0 || !slot.undoable || slot.undo.empty()) continue;
    uint64_t units = slot.undo.back().unit + 1;
    uint64_t keep = units;  // the transfer finished before the cut
    switch (splitmix(fateRandom_) % 3) {
      case 1:
        keep = 0;  // nothing reached the medium
        break;
      case 2:
        keep = units > 1 ? 1 + splitmix(fateRandom_) % (units - 1) : 0;  // cut part-way
        break;
    }
    undoSlot(slot, keep);
  }
  for (uint32_t tag : tags) {
    slots_[tag].busy = false;
    slots_[tag].readyAtNs = 0;
  }
  tags.clear();
  queue.size.store(0, std::memory_order_relaxed);
}

void SimulatedDrive::undoSlot(Slot& slot, uint64_t keepUnits) {
  // Units of more than one block (an atomic write's) are undone in the medium file all or none.
  const bool wholeUnits = !slot.undo.empty() && slot.undo.size() > slot.undo.back().unit + 1;
  for (size_t i = slot.undo.size(); i-- > 0;) {
    const Slot::UndoEntry& entry = slot.undo[i];
    if (entry.unit < keepUnits) break;
    if (entry.kept || store_->writer(entry.lba) != slot.sequence)
      continue;  // read since, or a newer write covers it
    std::memcpy(store_->block(entry.lba), slot.images.data() + i * storedBlockBytes_, storedBlockBytes_);
    store_->setWriter(entry.lba, entry.writer);
    if (medium_) medium_->changed(entry.lba, 1);
    if (medium_ && wholeUnits) medium_->keepWhole(entry.lba, 1);
  }
}

int SimulatedDrive::powerToggle() {
  dropOutstanding(true);
  if (medium_) persist(nullptr);
  powerCycles_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int SimulatedDrive::reset() {
  dropOutstanding(false);
  if (medium_) persist(nullptr);
  resets_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

bool SimulatedDrive::takeResetEvent() {
  bool event = resetEvent_;
  resetEvent_ = false;
  return event;
}

bool SimulatedDrive::takePowerLossEvent() {
  bool event = powerLossEvent_;
  powerLossEvent_ = false;
  return event;
}

}  // namespace varnox::sim
