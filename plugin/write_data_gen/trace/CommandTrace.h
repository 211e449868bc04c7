#pragma once
// The per-drive ring of recent command events, and the per-tag record of the last command
// event on each tag that completion dispatch reads.
//
// Lifecycle: test setup computes the slot count with `traceSlotCount` and creates the trace with
// `CommandTrace::create` (null when memory runs out); DriveData::commandTrace owns it.
// deleteDriveData destroys it, which releases its context text, its entry storage, then the
// trace itself (member order below keeps that order). All memory is taken at creation:
// recording is constant time and never allocates.
//
// Threading: one drive thread records into its own trace; there is no locking.
//
// Reading: `lastCommand` during the test; at finish the dump reads the counters, the slots in
// chronological order (`chronological`) and the context text. A slot holds only the fields its
// kind writes; the other fields keep whatever an older event left there, so readers look only
// at the fields of the slot's kind.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "tavik/Kcq.h"
#include "varnox/Clock.h"

namespace cardamor {

// Tags come from the host's tag queue and are always below this.
inline constexpr uint32_t MAX_QUEUE_DEPTH = 1024;

enum class TraceEventKind : uint8_t {
  Empty = 0,  // a slot never written
  WriteIssued = 1,
  WriteFinished = 2,
  WriteAborted = 3,
  WriteAtomicIssued = 4,
  WriteSameIssued = 5,
  TrimIssued = 6,
  PreReadIssued = 7,
  ReadIssued = 8,
  ReadFinished = 9,
  ReadAborted = 10,
  VerifyIssued = 11,
  VerifyFinished = 12,
  VerifyAborted = 13,
  Miscompare = 14,
  WriteSplice = 15,
  RecvOutOfOrder = 16,
  PowerToggleOff = 17,
  PowerToggleOn = 18,
  SyncCacheIssued = 19,
  SyncCacheFinished = 20,
  InvalidateRange = 21,
  ZoneReset = 22,
};

// One traced event. Field use per kind:
//   lba: first LBA; Invalidate Range / Zone Reset: first LBA of the range;
//        Recv Out Of Order: command id of the older, still outstanding write.
//   cmdId: command id; Invalidate Range / Zone Reset: last LBA of the range (inclusive).
//   tag: command tag; Power Toggle Off/On: tick count in ms; Miscompare: the drive's bucket.
//   bucket: issue events: bucket of the first block (Read/Verify Issued: the expected one);
//           finished events, Write Splice, Sync Cache Finished: the UEC in the low 16 bits;
//           Miscompare: the reference bucket.
//   invalidated: Read/Verify Issued, Miscompare: the expected data had been invalidated.
struct TraceEntry {
  uint64_t lba = 0;
  uint64_t cmdId = 0;
  uint32_t xferLength = 0;
  uint32_t tag = 0;
  uint32_t bucket = 0;
  varnox::Kcq kcq;
  uint8_t invalidated = 0;
  TraceEventKind kind = TraceEventKind::Empty;
};

// Last command event recorded on a tag. Issue events set all three fields; finished, aborted
// and sync-cache events set the kind only, so a completed tag no longer dispatches as pending.
struct TagState {
  uint64_t lba = 0;
  uint32_t xferLength = 0;
  TraceEventKind kind = TraceEventKind::Empty;
};

// Ring size for a configuration: with a Trace Depth, four slots per unit of depth but never
// fewer than 2000; without one, four per queued range plus 100. Unsigned 32-bit arithmetic.
inline uint32_t traceSlotCount(uint32_t traceDepth, uint32_t maxQueueSize) {
  if (traceDepth != 0) {
    const uint32_t slots = 4u * traceDepth;
    return slots < 2000u ? 2000u : slots;
  }
  return 4u * maxQueueSize + 100u;
}

namespace detail {
// Debug-build check of a caller's precondition, reported with the condition's text.
inline void traceAssert([[maybe_unused]] bool ok, [[maybe_unused]] const char* text) {
#ifndef NDEBUG
  if (!ok) {
    std::fprintf(stderr, "Assertion failed: %s\n", text);
    std::abort();
  }
#endif
}
}  // namespace detail

class CommandTrace {
 public:
  // Creates a trace with `slotCount` empty slots (at least one); null when memory runs out.
  static std::unique_ptr<CommandTrace> create(uint64_t slotCount) {
    std::unique_ptr<CommandTrace> trace(new (std::nothrow) CommandTrace());
    if (!trace) return nullptr;
    if (slotCount != 0) {
      trace->entries_.reset(new (std::nothrow) TraceEntry[slotCount]());
      if (!trace->entries_) return nullptr;
    }
    trace->trace_queue_size_ = slotCount;
    return trace;
  }

  CommandTrace(const CommandTrace&) = delete;
  CommandTrace& operator=(const CommandTrace&) = delete;

  // --- record operations: each writes only its kind's fields into the next slot.
  void recordWriteIssued(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint32_t bucket) {
    recordIssue(TraceEventKind::WriteIssued, lba, xferLength, cmdId, tag, bucket);
  }
  void recordWriteFinished(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint16_t uec,
                           varnox::Kcq kcq) {
    recordFinished(TraceEventKind::WriteFinished, lba, xferLength, cmdId, tag, uec, kcq);
  }
  void recordWriteAborted(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag) {
    recordAborted(TraceEventKind::WriteAborted, lba, xferLength, cmdId, tag);
  }
  void recordWriteAtomicIssued(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint32_t bucket) {
    recordIssue(TraceEventKind::WriteAtomicIssued, lba, xferLength, cmdId, tag, bucket);
  }
  void recordWriteSameIssued(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint32_t bucket) {
    recordIssue(TraceEventKind::WriteSameIssued, lba, xferLength, cmdId, tag, bucket);
  }
  void recordTrimIssued(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag) {
    beginCommand(TraceEventKind::TrimIssued, lba, xferLength, cmdId, tag);
    setTagState(tag, TraceEventKind::TrimIssued, lba, xferLength);
    advance();
  }
  void recordPreReadIssued(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag) {
    beginCommand(TraceEventKind::PreReadIssued, lba, xferLength, cmdId, tag);
    setTagState(tag, TraceEventKind::PreReadIssued, lba, xferLength);
    advance();
  }
  void recordReadIssued(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint32_t bucket,
                        bool invalidated) {
    recordCheckIssued(TraceEventKind::ReadIssued, lba, xferLength, cmdId, tag, bucket, invalidated);
  }
  void recordReadFinished(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint16_t uec,
                          varnox::Kcq kcq) {
    recordFinished(TraceEventKind::ReadFinished, lba, xferLength, cmdId, tag, uec, kcq);
  }
  void recordReadAborted(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag) {
    recordAborted(TraceEventKind::ReadAborted, lba, xferLength, cmdId, tag);
  }
  void recordVerifyIssued(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint32_t bucket,
                          bool invalidated) {
    recordCheckIssued(TraceEventKind::VerifyIssued, lba, xferLength, cmdId, tag, bucket, invalidated);
  }
  void recordVerifyFinished(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint16_t uec,
                            varnox::Kcq kcq) {
    recordFinished(TraceEventKind::VerifyFinished, lba, xferLength, cmdId, tag, uec, kcq);
  }
  void recordVerifyAborted(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag) {
    recordAborted(TraceEventKind::VerifyAborted, lba, xferLength, cmdId, tag);
  }
  // driveBucket: the bucket recognised in the drive's data; referenceBucket: the one expected.
  void recordMiscompare(uint64_t lba, uint32_t referenceBucket, uint32_t driveBucket, uint64_t cmdId,
                        bool invalidated) {
    if (TraceEntry* e = slot()) {
      e->lba = lba;
      e->cmdId = cmdId;
      e->tag = driveBucket;
      e->bucket = referenceBucket;
      e->invalidated = invalidated ? 1 : 0;
      e->kind = TraceEventKind::Miscompare;
    }
    advance();
  }
  void recordWriteSplice(uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag, uint16_t uec,
                         varnox::Kcq kcq) {
    if (TraceEntry* e = beginCommand(TraceEventKind::WriteSplice, lba, xferLength, cmdId, tag)) {
      e->bucket = uec;
      e->kcq = kcq;
    }
    advance();
  }
  // writeCmdId: the older overlapping write that was still outstanding when the read completed.
  void recordRecvOutOfOrder(uint64_t cmdId, uint32_t tag, uint64_t writeCmdId) {
    checkTag(tag);
    if (TraceEntry* e = slot()) {
      e->cmdId = cmdId;
      e->tag = tag;
      e->lba = writeCmdId;
      e->kind = TraceEventKind::RecvOutOfOrder;
    }
    advance();
  }
  void recordPowerToggleOff() { recordTick(TraceEventKind::PowerToggleOff); }
  void recordPowerToggleOn() { recordTick(TraceEventKind::PowerToggleOn); }
  void recordSyncCacheIssued(uint32_t tag) {
    checkTag(tag);
    if (TraceEntry* e = slot()) {
      e->tag = tag;
      e->kind = TraceEventKind::SyncCacheIssued;
    }
    setTagKind(tag, TraceEventKind::SyncCacheIssued);
    advance();
  }
  void recordSyncCacheFinished(uint32_t tag, uint16_t uec, varnox::Kcq kcq) {
    checkTag(tag);
    if (TraceEntry* e = slot()) {
      e->tag = tag;
      e->bucket = uec;
      e->kcq = kcq;
      e->kind = TraceEventKind::SyncCacheFinished;
    }
    setTagKind(tag, TraceEventKind::SyncCacheFinished);
    advance();
  }
  void recordInvalidateRange(uint64_t firstLba, uint64_t lastLba) {
    recordRange(TraceEventKind::InvalidateRange, firstLba, lastLba);
  }
  void recordZoneReset(uint64_t firstLba, uint64_t lastLba) { recordRange(TraceEventKind::ZoneReset, firstLba, lastLba); }

  // --- reading
  // The last command event recorded on the tag; all zero if none (or the tag is out of range).
  TagState lastCommand(uint32_t tag) const { return tag < MAX_QUEUE_DEPTH ? tags_[tag] : TagState{}; }

  void setContextText(std::string text) { context_text_ = std::move(text); }
  const std::string& context_text() const { return context_text_; }

  uint64_t trace_queue_size() const { return trace_queue_size_; }
  uint64_t trace_count() const { return trace_count_; }
  uint64_t trace_idx() const { return trace_idx_; }
  // Slot by its index in the ring (below trace_queue_size()).
  const TraceEntry& entry(uint64_t slotIndex) const { return entries_[slotIndex]; }
  // Number of events still held: min(trace_count, trace_queue_size).
  uint64_t retainedCount() const { return trace_count_ < trace_queue_size_ ? trace_count_ : trace_queue_size_; }
  // The i-th oldest retained event (i below retainedCount()): from slot 0 until the ring has
  // wrapped, afterwards from trace_idx, the oldest surviving slot.
  const TraceEntry& chronological(uint64_t i) const {
    if (trace_count_ <= trace_queue_size_) return entries_[i];
    const uint64_t slotIndex = trace_idx_ + i;
    return entries_[slotIndex < trace_queue_size_ ? slotIndex : slotIndex - trace_queue_size_];
  }

 private:
  CommandTrace() = default;

  static void checkTag(uint32_t tag) {
    detail::traceAssert(tag < MAX_QUEUE_DEPTH, "tag_id < MAX_QUEUE_DEPTH && tag_id >= 0");
  }

  // The slot the next event goes to; null only for a ring without slots, which creation by
  // setup never makes (the event is then dropped rather than written out of bounds).
  TraceEntry* slot() {
    detail::traceAssert(trace_idx_ < trace_queue_size_, "trace_idx < trace_queue_size");
    return trace_idx_ < trace_queue_size_ ? &entries_[trace_idx_] : nullptr;
  }

  void advance() {
    if (trace_queue_size_ == 0) return;
    if (++trace_idx_ == trace_queue_size_) trace_idx_ = 0;
    ++trace_count_;
  }

  // A tag of 1024 or more (a caller's bug caught by the debug check) still traces the event
  // but leaves the per-tag table alone, so release builds never write past its end.
  void setTagState(uint32_t tag, TraceEventKind kind, uint64_t lba, uint32_t xferLength) {
    if (tag < MAX_QUEUE_DEPTH) tags_[tag] = TagState{lba, xferLength, kind};
  }
  void setTagKind(uint32_t tag, TraceEventKind kind) {
    if (tag < MAX_QUEUE_DEPTH) tags_[tag].kind = kind;
  }

  // Writes the fields every command event shares and returns the slot (null when dropped).
  TraceEntry* beginCommand(TraceEventKind kind, uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag) {
    checkTag(tag);
    TraceEntry* e = slot();
    if (e) {
      e->lba = lba;
      e->cmdId = cmdId;
      e->xferLength = xferLength;
      e->tag = tag;
      e->kind = kind;
    }
    return e;
  }

  void recordIssue(TraceEventKind kind, uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag,
                   uint32_t bucket) {
    if (TraceEntry* e = beginCommand(kind, lba, xferLength, cmdId, tag)) e->bucket = bucket;
    setTagState(tag, kind, lba, xferLength);
    advance();
  }
  void recordCheckIssued(TraceEventKind kind, uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag,
                         uint32_t bucket, bool invalidated) {
    if (TraceEntry* e = beginCommand(kind, lba, xferLength, cmdId, tag)) {
      e->bucket = bucket;
      e->invalidated = invalidated ? 1 : 0;
    }
    setTagState(tag, kind, lba, xferLength);
    advance();
  }
  void recordFinished(TraceEventKind kind, uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag,
                      uint16_t uec, varnox::Kcq kcq) {
    if (TraceEntry* e = beginCommand(kind, lba, xferLength, cmdId, tag)) {
      e->bucket = uec;
      e->kcq = kcq;
    }
    setTagKind(tag, kind);
    advance();
  }
  void recordAborted(TraceEventKind kind, uint64_t lba, uint32_t xferLength, uint64_t cmdId, uint32_t tag) {
    beginCommand(kind, lba, xferLength, cmdId, tag);
    setTagKind(tag, kind);
    advance();
  }
  void recordTick(TraceEventKind kind) {
    if (TraceEntry* e = slot()) {
      e->tag = varnox::tickCountMs();
      e->kind = kind;
    }
    advance();
  }
  void recordRange(TraceEventKind kind, uint64_t firstLba, uint64_t lastLba) {
    if (TraceEntry* e = slot()) {
      e->lba = firstLba;
      e->cmdId = lastLba;
      e->kind = kind;
    }
    advance();
  }

  // Declared before the context text so that destruction releases the text first, then the
  // entry storage; the trace's own memory goes last.
  std::unique_ptr<TraceEntry[]> entries_;
  std::string context_text_;
  uint64_t trace_queue_size_ = 0;
  uint64_t trace_count_ = 0;
  uint64_t trace_idx_ = 0;
  TagState tags_[MAX_QUEUE_DEPTH] = {};
};

}  // namespace cardamor
