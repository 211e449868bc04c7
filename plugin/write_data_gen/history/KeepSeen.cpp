// Takes the "may be lost" mark off content that a read after the power-on has shown survived.
#include "history/AtomicContext.h"

namespace cardamor {

void AtomicContext::keepSeen(uint64_t lba, const Event& seen) {
  if (seen.blockType != kBlockAtomic || seen.lostAtPower == 0) return;
  auto same = [&](const Event& event) {
    return event.cmdId == seen.cmdId && event.eventType == seen.eventType && event.lostAtPower == seen.lostAtPower &&
           event.blockType == kBlockAtomic;
  };
  if (Record* record = records_.find(lba)) {
    // Only through marked events in front: a write of ours issued since stands before it, and
    // that write decides what the block holds next.
    for (uint32_t slot = record->history; slot != kNoSlot; slot = events_.at(slot).next) {
      Event& event = events_.at(slot);
      if (same(event)) {
        event.blockType = event.eventType == kEventHash ? kBlockHash : kBlockNormal;
        event.lostAtPower = 0;
        return;
      }
      if (event.blockType != kBlockAtomic || event.lostAtPower == 0) return;
    }
    return;
  }
  CompactEntry* entry = compact_.find(lba);
  // An invalidation in front stops it, as in the full form.
  if (!entry || seen.eventType != kEventWrite || entry->cmdId != seen.cmdId || !entry->flag(CompactEntry::kAtomicBit) ||
      entry->field(CompactEntry::kLostShift, 8) != seen.lostAtPower || entry->innerMark() != CompactEntry::kMarkNone)
    return;
  entry->setFlag(CompactEntry::kAtomicBit, false);
  entry->setField(CompactEntry::kLostShift, 8, 0);
}

}  // namespace cardamor
