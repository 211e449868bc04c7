// Moves LBA records between the full form and the 16-byte compact form of CompactTable.h.
#include "history/AtomicContext.h"

namespace cardamor {

namespace {

using Event = AtomicContext::Event;

// Every field a lookup, a snapshot or a report reads; `next` is the pool's link, not content.
bool sameContent(const Event& a, const Event& b) {
  return a.cmdId == b.cmdId && a.hashValue == b.hashValue && a.embeddedCmdId == b.embeddedCmdId &&
         a.embeddedLba == b.embeddedLba && a.blockNum == b.blockNum && a.atomicIndex == b.atomicIndex &&
         a.atomicLength == b.atomicLength && a.atomicUnit == b.atomicUnit && a.eventType == b.eventType &&
         a.blockType == b.blockType && a.embedded == b.embedded && a.lostAtPower == b.lostAtPower;
}

uint32_t markCode(uint8_t eventType) {
  if (eventType == AtomicContext::kEventInvalidate) return CompactEntry::kMarkZoneReset;
  if (eventType == AtomicContext::kEventExternalInvalidate) return CompactEntry::kMarkExternal;
  return CompactEntry::kMarkNone;
}

Event markEvent(uint32_t code) {
  Event event;  // cmdId 0, blockType unknown, INVALID_BUCKET, as invalidateRange adds it
  event.eventType = code == CompactEntry::kMarkZoneReset ? AtomicContext::kEventInvalidate
                                                         : AtomicContext::kEventExternalInvalidate;
  return event;
}

}  // namespace

AtomicContext::Event AtomicContext::decodeWrite(uint64_t lba, const CompactEntry& entry) {
  Event write;
  write.eventType = kEventWrite;
  write.cmdId = entry.cmdId;
  const uint32_t code = entry.field(CompactEntry::kBucketShift, CompactEntry::kBucketBits);
  write.blockNum = code == CompactEntry::kTrimCode ? TRIM_BUCKET : code;
  write.blockType = entry.flag(CompactEntry::kAtomicBit) ? kBlockAtomic : kBlockNormal;
  write.embedded = entry.flag(CompactEntry::kEmbeddedBit);
  // A write's block carries its own command id; its LBA, or for a WriteSame the range's first.
  write.embeddedCmdId = entry.cmdId;
  write.embeddedLba = lba - entry.delta();
  write.lostAtPower = static_cast<uint8_t>(entry.field(CompactEntry::kLostShift, 8));
  return write;
}

bool AtomicContext::encode(uint64_t lba, const Record& record, CompactEntry& entry) const {
  if (record.wait_read != kNoSlot || record.ref_count > CompactEntry::kMaxRefCount) return false;
  const Event* history[4] = {};
  int count = 0;
  for (const Event* e = eventAt(record.history); e; e = eventAt(e->next)) {
    if (count == 4) return false;
    history[count++] = e;
  }
  if (count == 0 || count > 3) return false;
  const Event& write = *history[count - 1];
  if (write.eventType != kEventWrite || lba < write.embeddedLba ||
      lba - write.embeddedLba > CompactEntry::kMaxDelta)
    return false;
  uint32_t code = write.blockNum;
  if (write.blockNum == TRIM_BUCKET) {
    code = CompactEntry::kTrimCode;
  } else if (write.blockNum >= CompactEntry::kTrimCode) {
    return false;
  }
  entry = CompactEntry{};
  entry.cmdId = write.cmdId;
  entry.setFlag(CompactEntry::kPresentBit, true);
  entry.setField(CompactEntry::kBucketShift, CompactEntry::kBucketBits, code);
  entry.setFlag(CompactEntry::kEmbeddedBit, write.embedded);
  entry.setFlag(CompactEntry::kAtomicBit, write.blockType == kBlockAtomic);
  entry.setField(CompactEntry::kLostShift, 8, write.lostAtPower);
  entry.setField(CompactEntry::kDeltaShift, 21, lba - write.embeddedLba);
  entry.setRefCount(record.ref_count);
  // Whatever the fields cannot say (another event type in front, a hash, an embedded command id
  // of its own, a blockType the write cannot have) shows up as a difference from what decode
  // gives back: each event is checked against its decoded form, one at a time (a whole decoded
  // array cost a fifth of a settle in clearing it).
  for (int i = 0; i + 1 < count; ++i) {
    const uint32_t mark = markCode(history[i]->eventType);
    if (mark == CompactEntry::kMarkNone || !sameContent(markEvent(mark), *history[i])) return false;
    entry.setField(i + 2 == count ? CompactEntry::kInnerMarkShift : CompactEntry::kOuterMarkShift, 2, mark);
  }
  return sameContent(decodeWrite(lba, entry), write);
}

bool AtomicContext::settle(uint64_t lba, Record& record) {
  if (records_.size() <= compactAbove_) return false;
  CompactEntry entry;
  if (!encode(lba, record, entry) || !compact_.store(lba, entry)) return false;
  for (uint32_t slot = record.history; slot != kNoSlot;) {
    const uint32_t next = events_.at(slot).next;
    events_.give(slot);
    slot = next;
  }
  records_.erase(lba);
  return true;
}

AtomicContext::Record* AtomicContext::promote(uint64_t lba, CompactEntry& entry) {
  const uint32_t marks[2] = {entry.outerMark(), entry.innerMark()};
  Record* record = records_.findOrInsert(lba);
  if (!record) return nullptr;
  // Newest first: the outer mark, the inner one, the write; each event made in its pool slot.
  uint32_t slots[3];
  int count = 0;
  for (int i = 0; i <= 2; ++i) {
    if (i < 2 && marks[i] == CompactEntry::kMarkNone) continue;
    slots[count] = events_.take();
    if (slots[count] == kNoSlot) {
      for (int j = 0; j < count; ++j) events_.give(slots[j]);
      records_.erase(lba);
      return nullptr;  // the compact entry stays as it was
    }
    events_.at(slots[count]) = i < 2 ? markEvent(marks[i]) : decodeWrite(lba, entry);
    if (count > 0) events_.at(slots[count - 1]).next = slots[count];
    ++count;
  }
  record->history = slots[0];
  record->ref_count = entry.refCount();
  record->wait_read = kNoSlot;
  compact_.erase(&entry);
  return record;
}

AtomicContext::Record* AtomicContext::fullRecord(uint64_t lba) {
  if (Record* record = records_.find(lba)) return record;
  if (CompactEntry* entry = compact_.find(lba)) return promote(lba, *entry);
  return nullptr;
}

void AtomicContext::promoteRange(uint64_t firstLba, uint64_t lastLba) {
  compact_.forEach(firstLba, lastLba, [&](uint64_t lba, CompactEntry& entry) { promote(lba, entry); });
}

AtomicContext::ExpectedBlock AtomicContext::expectedFrom(uint64_t lba, const CompactEntry& entry) const {
  ExpectedBlock expected;
  // Marks stand in front of the write; a zone reset's ends the walk at itself.
  for (const uint32_t mark : {entry.outerMark(), entry.innerMark()}) {
    if (mark == CompactEntry::kMarkNone) continue;
    if (mark != CompactEntry::kMarkExternal) {
      takeContent(markEvent(mark), expected);
      return expected;
    }
    expected.invalidated = true;
  }
  takeContent(decodeWrite(lba, entry), expected);
  return expected;
}

}  // namespace cardamor
