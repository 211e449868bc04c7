#pragma once
// The history a completed read is compared against.
//
// Before a read's registrations are released, the compare driver takes a snapshot: for every LBA
// at which the read is registered, a private copy of the history from the event the read was
// issued against to the end. Later writes and erasures in the AtomicContext do not touch it. The
// compare engine then asks, block by block, which event the drive's data matches (observe) and
// what the block was expected to hold (expectedFromSnapshot), and finally whether an atomic write
// was seen torn (checkAtomicOrdering).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "history/AtomicContext.h"
#include "history/SnapshotPool.h"
#include "patterns/BlockLayout.h"

namespace cardamor {

// Nodes by LBA. A snapshot taken from a history draws its memory from that history's
// SnapshotPool; one built by hand (tests) uses the heap.
using ReadSnapshot = std::map<uint64_t, std::shared_ptr<AtomicContext::Node>, std::less<uint64_t>,
                              SnapshotAllocator<std::pair<const uint64_t, std::shared_ptr<AtomicContext::Node>>>>;

// A block's hash, computed at most once and only when needed.
struct LazyBlockHash {
  const uint8_t* begin = nullptr;
  const uint8_t* end = nullptr;
  uint64_t hash = 0;
  bool computed = false;

  // blockHash of [begin, end), computed on the first call.
  uint64_t value();
};

// Nodes for the LBAs of [firstLba, lastLba] that hold a wait entry of the read cmdId. A read that
// completed in power epoch `completedEpoch`, `powerOnsSince` power-ons ago, is judged by what its
// blocks could hold when it completed: the "may be lost" marks of those later power-ons are taken
// off its copy (a stale read must not pass because a later cut made the block uncertain).
ReadSnapshot takeSnapshot(const AtomicContext& context, uint64_t firstLba, uint64_t lastLba, uint64_t cmdId,
                          uint32_t completedEpoch = 0, uint32_t powerOnsSince = 0);

// Finds the event whose content the block read at lba shows and marks it observed: first by the
// block's stamp (bucket and embedded values), then by its hash; either walk goes past an event
// only when that event is an atomic write not yet completed. 0 matched, -1003 no event matches,
// -1004 no Node for lba.
int observe(ReadSnapshot& snapshot, uint64_t lba, const BlockHeader& header, LazyBlockHash& lazyHash);

// What the block at lba had to hold: the observed event when there is one, else the first event
// that is not an unfinished atomic write; external invalidations are passed over and flagged.
// Status 0, -1003 or -1004.
AtomicContext::ExpectedBlock expectedFromSnapshot(const ReadSnapshot& snapshot, uint64_t lba);

// observe and expectedFromSnapshot on a Node the caller has already found: the compare walks the
// snapshot in LBA order alongside the read's blocks instead of searching it twice per block.
// Without `bucketStamped` (user-defined data: a block's first bytes are the user's pattern, not
// its bucket number) the stamp is the embedded LBA and command identifier alone.
int observeNode(AtomicContext::Node& node, const BlockHeader& header, LazyBlockHash& lazyHash,
                bool bucketStamped = true);
AtomicContext::ExpectedBlock expectedFromNode(const AtomicContext::Node& node);
// The event expectedFromNode takes its answer from; null when there is none.
const AtomicContext::Event* expectedEvent(const AtomicContext::Node& node);

// What a block holds when it holds none of the atomic writes still open at the front of its
// history (not yet completed, or aborted: all or nothing): the first event behind them, when that
// is data (a write, a pre-read's hash, or the placeholder for content from before anything the
// history knows). Null when no such write stands in front, or an invalidation stands behind them
// (the content is then open).
const AtomicContext::Event* contentBeforeOpenAtomics(const AtomicContext::Node& node);

// Whether no atomic write was seen torn across the snapshot's blocks, checked in ascending and
// then in descending LBA order. On failure failLba is the LBA where older data was seen inside a
// newer atomic unit. An empty snapshot passes.
bool checkAtomicOrdering(const ReadSnapshot& snapshot, uint64_t& failLba);

}  // namespace cardamor
