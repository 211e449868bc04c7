#include "history/AtomicContext.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>

#include "history/SnapshotPool.h"
#include "varnox/Errors.h"

namespace cardamor {

// A tracked LBA with one event and one read in flight must stay within 128 bytes: a 32-byte table
// entry (key, record, chain link) with at most 8 bytes of bucket, a 56-byte event and a 16-byte
// wait entry.
static_assert(sizeof(AtomicContext::Event) <= 56, "event grew");
static_assert(sizeof(AtomicContext::Record) <= 16, "record grew");
static_assert(sizeof(AtomicContext::WaitRead) <= 16, "wait entry grew");
static_assert(LbaTable<AtomicContext::Record>::entryBytes() <= 32, "table entry grew");

namespace {

// One "<E> " line on the error stream. The stream is switched to hexadecimal for the LBA and
// left that way, so the command id (and whatever is printed later) is hexadecimal too.
void errorLine(const char* text, uint64_t lba) {
  std::cerr << text << std::hex << lba << '\n';
}

void errorLine(const char* text, uint64_t lba, uint64_t cmdId) {
  std::cerr << text << std::hex << lba << " cmd_id:" << cmdId << '\n';
}

size_t defaultCompactAbove() {
  static const size_t value = [] {
    const char* text = std::getenv("CARDAMOR_COMPACT_ABOVE");
    if (text == nullptr || *text == '\0') return AtomicContext::kCompactAbove;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end == '\0') return static_cast<size_t>(parsed);
    std::fprintf(stderr, "CARDAMOR_COMPACT_ABOVE: \"%s\" is not a number of records; using %zu\n", text,
                 AtomicContext::kCompactAbove);
    return AtomicContext::kCompactAbove;
  }();
  return value;
}

}  // namespace

AtomicContext::AtomicContext() : AtomicContext(defaultCompactAbove()) {}

// The context keeps its reference to the pool as a plain pointer, so its header needs no pool type.
AtomicContext::AtomicContext(size_t compactAbove)
    : events_(kEventChunkBits),
      waits_(kWaitChunkBits),
      records_(kRecordChunkBits),
      compactAbove_(compactAbove),
      snapshotPool_(SnapshotPool::create().detach()) {}

AtomicContext::AtomicContext(AtomicContext&& other) noexcept
    : events_(std::move(other.events_)),
      waits_(std::move(other.waits_)),
      records_(std::move(other.records_)),
      compact_(std::move(other.compact_)),
      compactAbove_(other.compactAbove_),
      snapshotPool_(other.snapshotPool_) {
  other.snapshotPool_ = nullptr;
}

AtomicContext::~AtomicContext() { SnapshotPool::Ref::adopt(snapshotPool_); }

AtomicContext::Record* AtomicContext::getRecord(uint64_t lba) {
  if (Record* record = fullRecord(lba)) return record;
  // A compact record that could not be brought back (no memory) must not get a second record.
  return compact_.find(lba) ? nullptr : records_.findOrInsert(lba);
}

// Looking at a compact record brings it back to the full form, which holds the same events; the
// record settles again at its next completion, read or skip.
const AtomicContext::Record* AtomicContext::findRecord(uint64_t lba) const {
  return const_cast<AtomicContext*>(this)->fullRecord(lba);
}

void AtomicContext::prefetchRange(uint64_t firstLba, uint64_t lastLba) const {
  if (lastLba < firstLba || lastLba - firstLba >= kPrefetchSpan) return;
  for (uint64_t lba = firstLba; lba <= lastLba; ++lba) records_.prefetchBucket(lba);
  for (uint64_t lba = firstLba; lba <= lastLba; lba += 4) compact_.prefetch(lba);  // four per cache line
  compact_.prefetch(lastLba);
  for (uint64_t lba = firstLba; lba <= lastLba; ++lba) records_.prefetchEntry(lba);
  for (uint64_t lba = firstLba; lba <= lastLba; ++lba) {
    const Record* record = records_.find(lba);
    if (!record) continue;
    if (record->wait_read != kNoSlot) __builtin_prefetch(&waits_.at(record->wait_read));
    if (record->history != kNoSlot) __builtin_prefetch(&events_.at(record->history));
  }
}

void AtomicContext::prefetchBuckets(uint64_t firstLba, uint64_t count) const {
  if (count == 0 || count > kPrefetchSpan) return;
  // Neighbouring LBAs share a cache line of buckets (see LbaTable.h): one touch per eight.
  for (uint64_t i = 0; i < count; i += 8) records_.prefetchBucket(firstLba + i);
  records_.prefetchBucket(firstLba + count - 1);
  for (uint64_t i = 0; i < count; i += 4) compact_.prefetch(firstLba + i);
  compact_.prefetch(firstLba + count - 1);
}

size_t AtomicContext::bytesReserved() const {
  return events_.bytesReserved() + waits_.bytesReserved() + records_.bytesReserved() +
         compact_.bytesReserved();
}

size_t AtomicContext::bytesInUse() const {
  return records_.size() * LbaTable<Record>::entryBytes() + records_.bucketBytes() +
         events_.inUse() * sizeof(Event) + waits_.inUse() * sizeof(WaitRead) +
         compact_.size() * sizeof(CompactEntry);
}

int AtomicContext::addEvent(Record& record, const Event& event) {
  uint32_t slot = events_.take();
  if (slot == kNoSlot) return varnox::VARNOX_ERR_NO_MEMORY;
  Event& added = events_.at(slot);
  added = event;
  const uint64_t cmdId = event.cmdId;
  if (record.history == kNoSlot || cmdId == 0 || cmdId > events_.at(record.history).cmdId) {
    added.next = record.history;
    record.history = slot;
    return varnox::VARNOX_OK;
  }
  // Behind the first event and every later one that is newer than this one.
  uint32_t prev = record.history;
  for (;;) {
    uint32_t next = events_.at(prev).next;
    if (next == kNoSlot || events_.at(next).cmdId <= cmdId) break;
    prev = next;
  }
  added.next = events_.at(prev).next;
  events_.at(prev).next = slot;
  return varnox::VARNOX_OK;
}

uint32_t AtomicContext::findEvent(const Record& record, uint64_t cmdId) const {
  uint32_t slot = record.history;
  while (slot != kNoSlot && events_.at(slot).cmdId != cmdId) slot = events_.at(slot).next;
  return slot;
}

void AtomicContext::takeContent(const Event& event, ExpectedBlock& expected) {
  expected.blockType = event.blockType;
  expected.blockNum = event.blockNum;
  expected.hashValue = event.hashValue;
  expected.embedded = event.embedded;
  expected.embeddedCmdId = event.embeddedCmdId;
  expected.embeddedLba = event.embeddedLba;
}

AtomicContext::ExpectedBlock AtomicContext::expectedFrom(uint32_t slot) const {
  ExpectedBlock expected;
  while (slot != kNoSlot && events_.at(slot).eventType == kEventExternalInvalidate) {
    expected.invalidated = true;
    slot = events_.at(slot).next;
  }
  if (slot == kNoSlot) {
    expected.status = varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
    return expected;
  }
  const Event& event = events_.at(slot);
  takeContent(event, expected);
  return expected;
}

void AtomicContext::dropIfEmpty(uint64_t lba) {
  const Record* record = records_.find(lba);
  if (!record) return;
  if (record->ref_count == 0 && record->history == kNoSlot && record->wait_read == kNoSlot) records_.erase(lba);
}

bool AtomicContext::releaseIfIdle(uint64_t lba, Record& record) {
  if (record.ref_count != 0 || record.wait_read != kNoSlot) return false;
  for (uint32_t slot = record.history; slot != kNoSlot;) {
    uint32_t next = events_.at(slot).next;
    events_.give(slot);
    slot = next;
  }
  records_.erase(lba);
  return true;
}

int AtomicContext::writeIssued(uint64_t cmdId, uint64_t lba, uint32_t bucket, bool embedded,
                               uint64_t embeddedCmdId, uint64_t embeddedLba) {
  Record* record = getRecord(lba);
  if (!record) return varnox::VARNOX_ERR_NO_MEMORY;
  Event event;
  event.eventType = kEventWrite;
  event.cmdId = cmdId;
  event.blockType = kBlockNormal;
  event.blockNum = bucket;
  event.embedded = embedded;
  event.embeddedCmdId = embeddedCmdId;
  event.embeddedLba = embeddedLba;
  ++record->ref_count;
  int status = addEvent(*record, event);
  if (status != varnox::VARNOX_OK) {
    --record->ref_count;
    dropIfEmpty(lba);
  }
  return status;
}

int AtomicContext::atomicWriteIssued(uint64_t cmdId, uint64_t lba, uint32_t bucket, bool embedded,
                                     uint64_t embeddedCmdId, uint64_t embeddedLba, uint32_t atomicIndex,
                                     uint32_t atomicLength, uint32_t atomicUnit) {
  Record* record = getRecord(lba);
  if (!record) {
    errorLine("<E> atomicWriteIssued failed getRecord() lba:", lba, cmdId);
    return varnox::VARNOX_ERR_NO_MEMORY;
  }
  Event event;
  event.eventType = kEventAtomic;
  event.cmdId = cmdId;
  event.blockType = kBlockAtomic;
  event.blockNum = bucket;
  event.embedded = embedded;
  event.embeddedCmdId = embeddedCmdId;
  event.embeddedLba = embeddedLba;
  event.atomicIndex = atomicIndex;
  event.atomicLength = atomicLength;
  event.atomicUnit = atomicUnit;
  ++record->ref_count;
  int status = addEvent(*record, event);
  if (status != varnox::VARNOX_OK) {
    --record->ref_count;
    dropIfEmpty(lba);
  }
  return status;
}

void AtomicContext::writeFinished(uint64_t cmdId, uint64_t lba) {
  if (Record* record = records_.find(lba)) {
    uint32_t slot = findEvent(*record, cmdId);
    if (slot != kNoSlot && events_.at(slot).blockType == kBlockAtomic)
      events_.at(slot).blockType = kBlockNormal;
    settle(lba, *record);
  } else if (CompactEntry* entry = compact_.find(lba)) {
    // The first event with cmdId 0 is an invalidation in front, which stays as it is.
    const bool markFirst = cmdId == 0 && entry->innerMark() != CompactEntry::kMarkNone;
    if (entry->cmdId == cmdId && !markFirst) entry->setFlag(CompactEntry::kAtomicBit, false);
  }
}

void AtomicContext::writeAborted(uint64_t cmdId, uint64_t lba) {
  if (Record* record = records_.find(lba)) {
    uint32_t slot = findEvent(*record, cmdId);
    // An aborted atomic write is all or nothing and keeps its bucket; a plain write may be torn.
    if (slot != kNoSlot && events_.at(slot).eventType == kEventWrite)
      events_.at(slot).blockNum = INVALID_BUCKET;
    settle(lba, *record);
  } else if (CompactEntry* entry = compact_.find(lba)) {
    // A compact history's only event with a command id is its write.
    const bool markFirst = cmdId == 0 && entry->innerMark() != CompactEntry::kMarkNone;
    if (entry->cmdId == cmdId && !markFirst)
      entry->setField(CompactEntry::kBucketShift, CompactEntry::kBucketBits, INVALID_BUCKET);
  }
}

int AtomicContext::addHash(uint64_t cmdId, uint64_t lba, uint64_t hashValue, bool addRef) {
  Record* record = getRecord(lba);
  if (!record) return varnox::VARNOX_ERR_NO_MEMORY;
  Event event;
  event.eventType = kEventHash;
  event.cmdId = cmdId;
  event.blockType = kBlockHash;
  event.blockNum = INVALID_BUCKET;
  event.hashValue = hashValue;
  int status = addEvent(*record, event);
  if (status != varnox::VARNOX_OK) {
    dropIfEmpty(lba);
    return status;
  }
  if (addRef) ++record->ref_count;
  return varnox::VARNOX_OK;
}

int AtomicContext::dropHash(uint64_t cmdId, uint64_t lba) {
  Record* record = fullRecord(lba);
  if (!record) {
    errorLine("<E> dropHash couldn't find record lba:", lba);
    return varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
  }
  if (findEvent(*record, cmdId) == kNoSlot) {
    errorLine("<E> dropHash no hash event found. lba:", lba, cmdId);
    return varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
  }
  if (record->ref_count == 0) {
    errorLine("<E> SANITY_CHECK dropHash ref_count=0 lba:", lba, cmdId);
    return varnox::VARNOX_ERR_INTERNAL;
  }
  --record->ref_count;
  if (!releaseIfIdle(lba, *record)) settle(lba, *record);
  return varnox::VARNOX_OK;
}

int AtomicContext::readIssued(uint64_t cmdId, uint64_t lba, bool expect) {
  Record* record = fullRecord(lba);
  if (!record && expect) {
    errorLine("<E> readIssued !record && expect lba:", lba, cmdId);
    return varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
  }
  if (record && expect && record->ref_count == 0) {
    errorLine("<E> SANITY_CHECK readIssued expect=1 ref_count=0 lba:", lba, cmdId);
    return varnox::VARNOX_ERR_INTERNAL;
  }
  // Taken before anything changes, so that running out of memory leaves the record as it was.
  uint32_t wait = waits_.take();
  if (wait == kNoSlot) return varnox::VARNOX_ERR_NO_MEMORY;

  if (!record) {
    record = getRecord(lba);
    if (!record) {
      waits_.give(wait);
      errorLine("<E> readIssued failed getRecord, !record !expect lba:", lba, cmdId);
      return varnox::VARNOX_ERR_NO_MEMORY;
    }
    Event placeholder;  // type none, cmdId 0, blockType unknown, INVALID_BUCKET
    if (addEvent(*record, placeholder) != varnox::VARNOX_OK) {
      waits_.give(wait);
      records_.erase(lba);
      return varnox::VARNOX_ERR_NO_MEMORY;
    }
  } else if (expect) {
    --record->ref_count;
  }

  WaitRead& entry = waits_.at(wait);
  entry.cmdId = cmdId;
  entry.issuedAt = record->history;
  entry.next = record->wait_read;
  record->wait_read = wait;
  return varnox::VARNOX_OK;
}

int AtomicContext::readSkip(uint64_t lba) {
  Record* record = records_.find(lba);
  if (!record) {
    if (CompactEntry* entry = compact_.find(lba)) {
      // No read waits on a compact record: the last obligation met erases it.
      if (entry->refCount() == 0) return varnox::VARNOX_OK;
      if (entry->refCount() == 1) {
        compact_.erase(entry);
      } else {
        entry->setRefCount(entry->refCount() - 1);
      }
      return varnox::VARNOX_OK;
    }
    errorLine("<E> readSkip couldn't find record lba:", lba);
    return varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
  }
  if (record->ref_count == 0) return varnox::VARNOX_OK;
  --record->ref_count;
  if (!releaseIfIdle(lba, *record)) settle(lba, *record);
  return varnox::VARNOX_OK;
}

AtomicContext::ExpectedBlock AtomicContext::readFinished(uint64_t cmdId, uint64_t lba, bool keep) {
  ExpectedBlock missing;
  missing.status = varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
  Record* found = records_.find(lba);
  if (!found && compact_.find(lba)) {
    // A compact record has no read waiting.
    errorLine("<E> readFinished couldn't find wait_read lba:", lba, cmdId);
    return missing;
  }
  if (!found) {
    errorLine("<E> readFinished couldn't find record lba:", lba, cmdId);
    return missing;
  }
  Record& record = *found;
  uint32_t prev = kNoSlot;
  uint32_t slot = record.wait_read;
  while (slot != kNoSlot && waits_.at(slot).cmdId != cmdId) {
    prev = slot;
    slot = waits_.at(slot).next;
  }
  if (slot == kNoSlot) {
    errorLine("<E> readFinished couldn't find wait_read lba:", lba, cmdId);
    return missing;
  }
  WaitRead& entry = waits_.at(slot);
  if (prev == kNoSlot) {
    record.wait_read = entry.next;
  } else {
    waits_.at(prev).next = entry.next;
  }
  ExpectedBlock expected = expectedFrom(entry.issuedAt);
  waits_.give(slot);
  if (keep) {
    ++record.ref_count;
    settle(lba, record);
  } else if (!releaseIfIdle(lba, record)) {
    settle(lba, record);
  }
  return expected;
}

AtomicContext::ExpectedBlock AtomicContext::lookup(uint64_t lba) const {
  if (const Record* record = records_.find(lba)) return expectedFrom(record->history);
  if (const CompactEntry* entry = compact_.find(lba)) return expectedFrom(lba, *entry);
  return expectedFrom(kNoSlot);
}

void AtomicContext::mayBeLost(uint64_t fromCmdId, const std::vector<uint64_t>& outstanding,
                              const std::vector<uint64_t>& unsynced, uint32_t epoch) {
  const uint8_t mark = powerMark(epoch);
  records_.forEach(0, UINT64_MAX, [&](uint64_t, Record& record) {
    for (uint32_t slot = record.history; slot != kNoSlot; slot = events_.at(slot).next) {
      Event& event = events_.at(slot);
      const bool data = event.eventType == kEventWrite || event.eventType == kEventAtomic || event.eventType == kEventHash;
      if (!data || event.blockType == kBlockAtomic) continue;
      // A write lost in flight (or failed) left its blocks unknown: they may hold any part of it,
      // even after a power loss, since a flush the host did not wait for (another drive thread's
      // sync cache on the same drive) may have kept it. Marked as may-be-lost it would allow
      // only the content before, and fail the data it may legally hold.
      if (event.eventType == kEventWrite && event.blockNum == INVALID_BUCKET) continue;
      // A pre-read's hash is what the block held when it was read: only a later sync covers it.
      const bool covered = event.cmdId < fromCmdId &&
                           (event.eventType == kEventHash ||
                            !std::binary_search(unsynced.begin(), unsynced.end(), event.cmdId));
      if (covered) continue;
      if (event.eventType != kEventHash && std::binary_search(outstanding.begin(), outstanding.end(), event.cmdId))
        continue;
      event.blockType = kBlockAtomic;
      event.lostAtPower = mark;
    }
  });
  // The same rule for the one write of each compact record, a write lost in flight included.
  compact_.forEach(0, UINT64_MAX, [&](uint64_t, CompactEntry& entry) {
    if (entry.flag(CompactEntry::kAtomicBit)) return;
    if (entry.field(CompactEntry::kBucketShift, CompactEntry::kBucketBits) == INVALID_BUCKET) return;
    const bool covered =
        entry.cmdId < fromCmdId && !std::binary_search(unsynced.begin(), unsynced.end(), entry.cmdId);
    if (covered || std::binary_search(outstanding.begin(), outstanding.end(), entry.cmdId)) return;
    entry.setFlag(CompactEntry::kAtomicBit, true);
    entry.setField(CompactEntry::kLostShift, 8, mark);
  });
}

void AtomicContext::invalidateRange(uint64_t firstLba, uint64_t lastLba, bool zoneReset) {
  Event event;  // cmdId 0 puts it in front; blockType unknown, INVALID_BUCKET
  event.eventType = zoneReset ? kEventInvalidate : kEventExternalInvalidate;
  bool failed = false;
  records_.forEach(firstLba, lastLba, [&](uint64_t, Record& record) {
    // Without memory the mark is lost and a later compare may report the range; nothing better
    // can be done here, and a failed allocation of 13107 events means the test is already doomed.
    if (!failed) failed = addEvent(record, event) != varnox::VARNOX_OK;
  });
  // A compact record takes up to two marks in place; a third brings it back to the full form.
  const uint32_t code = zoneReset ? CompactEntry::kMarkZoneReset : CompactEntry::kMarkExternal;
  compact_.forEach(firstLba, lastLba, [&](uint64_t lba, CompactEntry& entry) {
    if (entry.innerMark() == CompactEntry::kMarkNone) {
      entry.setField(CompactEntry::kInnerMarkShift, 2, code);
    } else if (entry.outerMark() == CompactEntry::kMarkNone) {
      entry.setField(CompactEntry::kOuterMarkShift, 2, code);
    } else if (Record* record = promote(lba, entry); record && !failed) {
      failed = addEvent(*record, event) != varnox::VARNOX_OK;
    }
  });
}

void AtomicContext::externalWriteIssued(uint64_t firstLba, uint64_t lastLba) {
  Event event;  // cmdId 0 puts it in front; blockType unknown, INVALID_BUCKET
  event.eventType = kEventPendingInvalidate;
  bool failed = false;
  promoteRange(firstLba, lastLba);  // a pending invalidation is work in flight
  records_.forEach(firstLba, lastLba, [&](uint64_t, Record& record) {
    if (!failed) failed = addEvent(record, event) != varnox::VARNOX_OK;
  });
}

bool AtomicContext::externalWriteSettled(uint64_t firstLba, uint64_t lastLba, bool landed) {
  bool settled = false;
  std::vector<uint64_t> changed;  // settled after the walk, which must not erase
  records_.forEach(firstLba, lastLba, [&](uint64_t lba, Record& record) {
    // Also behind a write of ours sent while the other writer's command was in flight.
    for (uint32_t slot = record.history; slot != kNoSlot; slot = events_.at(slot).next) {
      Event& event = events_.at(slot);
      if (event.eventType != kEventPendingInvalidate) continue;
      event.eventType = landed ? kEventExternalInvalidate : kEventInvalidate;
      settled = true;
      changed.push_back(lba);
      break;
    }
  });
  for (uint64_t lba : changed) {
    if (Record* record = records_.find(lba)) settle(lba, *record);
  }
  return settled;
}

bool AtomicContext::awaitsExternalWrite(uint64_t cmdId, uint64_t firstLba, uint64_t lastLba) const {
  bool pending = false;
  // Reads wait only on full records.
  records_.forEach(firstLba, lastLba, [&](uint64_t, const Record& record) {
    const WaitRead* wait = waitAt(record.wait_read);
    while (wait && wait->cmdId != cmdId) wait = waitAt(wait->next);
    if (!wait) return;
    for (const Event* e = eventAt(wait->issuedAt); e && e->cmdId == 0 && !pending; e = eventAt(e->next))
      pending = e->eventType == kEventPendingInvalidate;
  });
  return pending;
}

bool AtomicContext::rangeKnown(uint64_t firstLba, uint64_t endLba, uint32_t step) const {
  // The record after the range must exist too: without it the atomic write's last unit may reach
  // into blocks whose content is unknown.
  auto known = [&](uint64_t lba) { return records_.find(lba) || compact_.find(lba); };
  if (!known(firstLba) || !known(endLba)) return false;
  for (uint64_t lba = firstLba; lba < endLba; lba += step) {
    const Record* record = records_.find(lba);
    if (!record) {
      // A compact history: any invalidation in front is of unknown content; behind an atomic
      // (power-marked) write there is nothing.
      const CompactEntry* entry = compact_.find(lba);
      if (!entry || entry->innerMark() != CompactEntry::kMarkNone || entry->flag(CompactEntry::kAtomicBit))
        return false;
      continue;
    }
    uint32_t slot = record->history;
    while (slot != kNoSlot && events_.at(slot).blockType == kBlockAtomic) slot = events_.at(slot).next;
    if (slot == kNoSlot) return false;
    uint32_t blockType = events_.at(slot).blockType;
    if (blockType != kBlockNormal && blockType != kBlockHash) return false;
  }
  return true;
}

}  // namespace cardamor
