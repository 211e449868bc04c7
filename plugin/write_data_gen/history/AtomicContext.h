#pragma once
// The per-drive memory of what every LBA under test must hold.
//
// For every LBA that was written, pre-read or read and still has outstanding work, a Record keeps
// the history of events that changed (or may have changed) the block, newest first, the number of
// outstanding read-back obligations (ref_count) and the reads in flight on it (wait_read). A record
// is erased as soon as nothing refers to it, so the table holds only LBAs with work outstanding.
//
// Two forms hold a record. The full form (a table entry, pooled events and wait entries) is used
// while anything is in flight over the LBA. When the LBA settles (a write completes or is
// aborted, a read or a skip meets an obligation, a foreign command over it completes) and what is
// left is one write, behind at most two invalidations, with no read waiting, the record moves to
// the compact form of 16 bytes (CompactTable.h); any new event, read or pending invalidation
// brings it back. Records settle into the compact form only while the full form holds more than
// kCompactAbove records: a test whose history fits in a few megabytes reads its blocks back long
// before memory matters, and would only pay for the moves. The compact form holds exactly the
// events the full form held, checked on every move, so no operation answers differently for it:
// it only saves memory.
//
// History order: descending cmdId, except that an event with cmdId 0 (an invalidation, or the
// placeholder of a read on an unknown LBA) always goes to the front, and whatever is added while
// a cmdId-0 event stands at the front goes in front of it.
//
// Error lines ("<E> ...") go to std::cerr with the LBA (and mostly the command id) in hexadecimal;
// the stream is left in hexadecimal.
//
// One context per drive, used only from that drive's thread; nothing here locks.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "history/CompactTable.h"
#include "history/LbaTable.h"
#include "history/SlotPool.h"
#include "patterns/BlockLayout.h"

namespace cardamor {

class SnapshotPool;

class AtomicContext {
 public:
  static constexpr uint32_t INVALID_BUCKET = cardamor::INVALID_BUCKET;
  static constexpr uint32_t TRIM_BUCKET = cardamor::TRIM_BUCKET;
  static constexpr uint32_t kNoSlot = IndexPool<int>::kNone;

  // Event types.
  static constexpr uint8_t kEventNone = 0;
  static constexpr uint8_t kEventWrite = 1;
  static constexpr uint8_t kEventAtomic = 2;
  static constexpr uint8_t kEventHash = 3;
  static constexpr uint8_t kEventInvalidate = 4;          // zone reset: content unknown
  static constexpr uint8_t kEventExternalInvalidate = 5;  // skipped by lookups, which flag it
  // Another writer's command over the block is in flight: until it completes the block may hold
  // the old data, the foreign data, or (a failed command lands per block) either; content unknown.
  static constexpr uint8_t kEventPendingInvalidate = 6;

  // Block types.
  static constexpr uint32_t kBlockUnknown = 0;
  static constexpr uint32_t kBlockNormal = 1;
  static constexpr uint32_t kBlockAtomic = 2;  // an atomic write not yet completed
  static constexpr uint32_t kBlockHash = 3;

  // log2 of the slots each pool adds at a time: one 2 MiB huge page of events (32768 x 56
  // bytes, rounded up), of wait entries (131072 x 16) and of table entries (65536 x 32).
  static constexpr uint32_t kEventChunkBits = 15;
  static constexpr uint32_t kWaitChunkBits = 17;
  static constexpr uint32_t kRecordChunkBits = 16;
  static constexpr uint32_t kEventChunk = uint32_t{1} << kEventChunkBits;

  // One history entry. blockType is stored in a byte so that an event fits in 56 bytes.
  struct Event {
    uint64_t cmdId = 0;
    uint64_t hashValue = 0;
    uint64_t embeddedCmdId = 0;
    uint64_t embeddedLba = 0;
    uint32_t blockNum = INVALID_BUCKET;
    uint32_t atomicIndex = 0;
    uint32_t atomicLength = 0;
    uint32_t atomicUnit = 0;
    uint32_t next = kNoSlot;  // pool index of the next (older) event of the history
    uint8_t eventType = kEventNone;
    uint8_t blockType = kBlockUnknown;
    bool embedded = false;
    // The power-on that marked the event "may be lost" (powerMark of its epoch), 0 when none did:
    // a read that completed before that power-on is judged without the mark.
    uint8_t lostAtPower = 0;
  };

  // The one-byte mark of power epoch `epoch` (1 to 255, cycling; 0 is "never marked"). A read
  // waits for its compare at most a few passes, far fewer than 255 power cycles.
  static uint8_t powerMark(uint32_t epoch) { return static_cast<uint8_t>(epoch % 255 + 1); }

  // A read issued on the LBA and not yet finished.
  struct WaitRead {
    uint64_t cmdId = 0;
    uint32_t issuedAt = kNoSlot;  // the first history event when the read was issued
    uint32_t next = kNoSlot;
  };

  // Heads of the lists are pool indices (kNoSlot for an empty list).
  struct Record {
    uint64_t ref_count = 0;
    uint32_t history = kNoSlot;
    uint32_t wait_read = kNoSlot;
  };

  // What a read must see, as chosen by the lookups.
  struct ExpectedBlock {
    int32_t status = 0;  // 0 found; -1003 nothing suitable; -1004 no snapshot Node for the LBA
    uint32_t blockType = kBlockUnknown;
    uint32_t blockNum = INVALID_BUCKET;
    uint64_t hashValue = 0;
    bool embedded = false;
    uint64_t embeddedCmdId = 0;
    uint64_t embeddedLba = 0;
    bool invalidated = false;  // an external invalidation was skipped on the way
  };

  // A read's private copy of an LBA's history (see ReadSnapshot.h). Not copyable, because
  // observed points into the Node's own history.
  struct Node {
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const Event* observed = nullptr;  // the event whose content the read returned, if known
    std::vector<Event> history;       // newest first; the next links are not used
  };

  // compactAbove: settled records move to the compact form while the full form holds more than
  // this many records (0: always; SIZE_MAX: never, the reference the compact form is tested
  // against). The default is kCompactAbove, or the number in the environment variable
  // "CARDAMOR_COMPACT_ABOVE", with which whole test runs (the fault proof) can be made to use the
  // compact form for every settled block.
  static constexpr size_t kCompactAbove = size_t{1} << 16;
  AtomicContext();
  explicit AtomicContext(size_t compactAbove);
  AtomicContext(const AtomicContext&) = delete;
  AtomicContext& operator=(const AtomicContext&) = delete;
  AtomicContext(AtomicContext&& other) noexcept;
  AtomicContext& operator=(AtomicContext&&) = delete;
  ~AtomicContext();

  // Finds the record of lba or inserts an empty one; null when no memory could be had.
  Record* getRecord(uint64_t lba);

  // Records a write (normal, WriteSame or Trim) of one block: ref_count + 1, then an event of type
  // write, blockType normal. 0, or -1002 without memory.
  int writeIssued(uint64_t cmdId, uint64_t lba, uint32_t bucket, bool embedded, uint64_t embeddedCmdId,
                  uint64_t embeddedLba);

  // Records one block of an atomic write: ref_count + 1, then an event of type atomic, blockType
  // atomic. 0, or -1002 ("<E> atomicWriteIssued failed getRecord() lba:" when no record).
  int atomicWriteIssued(uint64_t cmdId, uint64_t lba, uint32_t bucket, bool embedded, uint64_t embeddedCmdId,
                        uint64_t embeddedLba, uint32_t atomicIndex, uint32_t atomicLength,
                        uint32_t atomicUnit);

  // The first event of cmdId: an atomic block becomes normal (the write completed).
  void writeFinished(uint64_t cmdId, uint64_t lba);

  // The first event of cmdId: a write event's blockNum becomes INVALID_BUCKET (old or new data).
  void writeAborted(uint64_t cmdId, uint64_t lba);

  // Records what a pre-read saw: an event of type hash (ref_count + 1 when addRef). 0 or -1002.
  int addHash(uint64_t cmdId, uint64_t lba, uint64_t hashValue, bool addRef);

  // Releases the obligation of the hash event of cmdId. 0, -1003 or -1200.
  int dropHash(uint64_t cmdId, uint64_t lba);

  // Registers a read. With expect the read meets one obligation (ref_count - 1); without it an
  // unknown LBA gets a placeholder event. 0, -1002, -1003 (expect on an unknown LBA) or -1200.
  int readIssued(uint64_t cmdId, uint64_t lba, bool expect);

  // Gives up one read-back obligation without reading. 0 or -1003.
  int readSkip(uint64_t lba);

  // Ends a read's registration and returns what it had to see. keep: the read will be issued
  // again, so the obligation comes back (ref_count + 1). Status -1003 when not registered.
  ExpectedBlock readFinished(uint64_t cmdId, uint64_t lba, bool keep);

  // What a read issued now must see.
  ExpectedBlock lookup(uint64_t lba) const;

  // A volatile cache lost power: every write, atomic write or pre-read hash with a command id of
  // at least fromCmdId, or listed in `unsynced` (sorted: writes still in flight when the last
  // completed sync cache was sent, which it did not cover), except the writes still outstanding
  // (`outstanding`, sorted; reset recovery makes them unknown), becomes blockType atomic: lookups
  // and reads pass over it to the content before, and accept either. `epoch` is the power-on's
  // epoch: each event marked keeps powerMark(epoch) in lostAtPower.
  void mayBeLost(uint64_t fromCmdId, const std::vector<uint64_t>& outstanding,
                 const std::vector<uint64_t>& unsynced = {}, uint32_t epoch = 0);

  // A read that completed with no power-on since showed that the block holds `seen`, a write or
  // pre-read hash a power loss had marked "may be lost": that content survived the cut and stays
  // until something newer is written. The mark comes off, so a later read that finds the older
  // content again fails (a drive that shows new data after power-on and then reverts it).
  // Nothing changes when newer data of ours has been issued since or the event is not there.
  void keepSeen(uint64_t lba, const Event& seen);

  // Marks every existing record of [firstLba, lastLba]: zone reset (type 4) or external (type 5).
  void invalidateRange(uint64_t firstLba, uint64_t lastLba, bool zoneReset);

  // Another writer sent its command over [firstLba, lastLba]: every existing record gets a
  // pending invalidation (type 6) in front.
  void externalWriteIssued(uint64_t firstLba, uint64_t lastLba);
  // That command completed: each block's pending invalidation (also behind a write of ours sent
  // while the command was in flight, which the drive ran after it) becomes externally
  // invalidated when the command landed, or of unknown content (type 4) when it failed, was lost
  // or landed only in part.
  // Whether any block of the range had a pending invalidation to settle.
  bool externalWriteSettled(uint64_t firstLba, uint64_t lastLba, bool landed);
  // Whether the read cmdId was issued over a block of [firstLba, lastLba] whose pending
  // invalidation has not settled yet: its compare must wait for that outcome.
  bool awaitsExternalWrite(uint64_t cmdId, uint64_t firstLba, uint64_t lastLba) const;

  // Whether an atomic write over [firstLba, endLba) may skip its pre-read: every LBA of the range
  // and endLba itself have records, and each block of the range is known as normal or hash.
  // With `step` 2 (skip commands) the range is every other LBA from firstLba below endLba.
  bool rangeKnown(uint64_t firstLba, uint64_t endLba, uint32_t step = 1) const;

  // Starts loading the records of [firstLba, lastLba], their wait entries and newest events,
  // stage by stage, so that a walk over a read's range that follows overlaps its cache misses.
  // Only a hint: changes nothing, and does nothing for a range longer than kPrefetchSpan.
  static constexpr uint64_t kPrefetchSpan = 1024;
  void prefetchRange(uint64_t firstLba, uint64_t lastLba) const;
  // Only the first stage of that, for `count` LBAs from firstLba: it never waits for memory, so
  // it can be issued well ahead of the walk that needs it.
  void prefetchBuckets(uint64_t firstLba, uint64_t count) const;

  // Inspection (snapshots, reports, tests). findRecord, getRecord and forEachRecord see every
  // record: a compact one they look at is brought back to the full form first, so the pointers
  // they hand out stay valid until the next operation on the context.
  const Record* findRecord(uint64_t lba) const;
  const Event* eventAt(uint32_t slot) const { return slot == kNoSlot ? nullptr : &events_.at(slot); }
  const WaitRead* waitAt(uint32_t slot) const { return slot == kNoSlot ? nullptr : &waits_.at(slot); }
  size_t recordCount() const { return records_.size() + compact_.size(); }
  // fn(lba, record) for every record with firstLba <= lba <= lastLba, ascending.
  template <typename Fn>
  void forEachRecord(uint64_t firstLba, uint64_t lastLba, Fn&& fn) const {
    const_cast<AtomicContext*>(this)->promoteRange(firstLba, lastLba);
    records_.forEach(firstLba, lastLba, fn);
  }
  // fn(lba, record) for the records in the full form only, which hold every read in flight.
  template <typename Fn>
  void forEachFullRecord(uint64_t firstLba, uint64_t lastLba, Fn&& fn) const {
    records_.forEach(firstLba, lastLba, fn);
  }
  // Whether lba's record is in the compact form, and how many are.
  bool isCompact(uint64_t lba) const { return compact_.find(lba) != nullptr; }
  size_t compactCount() const { return compact_.size(); }
  template <typename Fn>
  void forEachRecord(Fn&& fn) const {
    forEachRecord(0, UINT64_MAX, fn);
  }
  // Events and wait entries handed out and not yet returned (both 0 when no record is left).
  size_t eventsInUse() const { return events_.inUse(); }
  size_t waitsInUse() const { return waits_.inUse(); }
  // Where the read snapshots of this history take their memory from (see SnapshotPool.h); null
  // only in a moved-from context.
  SnapshotPool* snapshotPool() const { return snapshotPool_; }
  // Bytes held by all pools, used or free, and the part of it in use.
  size_t bytesReserved() const;
  size_t bytesInUse() const;

 private:
  // Fills a pool slot and inserts it by the ordering rule. -1002 without memory.
  int addEvent(Record& record, const Event& event);
  uint32_t findEvent(const Record& record, uint64_t cmdId) const;
  ExpectedBlock expectedFrom(uint32_t slot) const;
  // The content fields of a read's expectation, from the event that holds them (both forms).
  static void takeContent(const Event& event, ExpectedBlock& expected);
  // Erases the record when no obligation or read is left on it; whether it did.
  bool releaseIfIdle(uint64_t lba, Record& record);
  // Erases the record of lba if it holds nothing at all (one just made for a failed operation).
  void dropIfEmpty(uint64_t lba);

  // The compact form (CompactForm.cpp). fullRecord finds lba's record, bringing a compact one
  // back; settle moves a full record that fits to the compact form (false when it stays).
  Record* fullRecord(uint64_t lba);
  Record* promote(uint64_t lba, CompactEntry& entry);
  void promoteRange(uint64_t firstLba, uint64_t lastLba);
  bool settle(uint64_t lba, Record& record);
  // The events a compact entry stands for, newest first; returns how many (1 to 3).
  static int decode(uint64_t lba, const CompactEntry& entry, Event (&events)[3]);
  bool encode(uint64_t lba, const Record& record, CompactEntry& entry) const;
  ExpectedBlock expectedFrom(uint64_t lba, const CompactEntry& entry) const;

  IndexPool<Event> events_;
  IndexPool<WaitRead> waits_;
  LbaTable<Record> records_;
  CompactTable compact_;
  size_t compactAbove_ = kCompactAbove;
  SnapshotPool* snapshotPool_ = nullptr;  // one counted reference (SnapshotPool::Ref)
};

}  // namespace cardamor
