#include "history/ReadSnapshot.h"

#include <utility>
#include <vector>

#include "varnox/Errors.h"

namespace cardamor {

namespace {

using Event = AtomicContext::Event;

bool stampMatches(const Event& event, const BlockHeader& header, bool bucketStamped) {
  if (event.embedded != (header.embedValid != 0)) return false;
  if (bucketStamped ? event.blockNum != header.bucket : !event.embedded) return false;
  return !header.embedValid ||
         (event.embeddedCmdId == header.embedCmdId && event.embeddedLba == header.embedLba);
}

// Walks the history from its newest event, passing an event that does not match only when it is
// an atomic write that had not completed (the drive may or may not hold its data yet).
template <typename Matches>
const Event* findObserved(const AtomicContext::Node& node, Matches matches) {
  for (const Event& event : node.history) {
    if (matches(event)) return &event;
    if (event.blockType != AtomicContext::kBlockAtomic) break;
  }
  return nullptr;
}

// Whether write cmdId stands in the node's history in front of `event` (was issued after it).
bool namedInFront(const AtomicContext::Node& node, const Event* event, uint64_t cmdId) {
  for (const Event& other : node.history) {
    if (&other == event) return false;
    if (other.cmdId == cmdId) return true;
  }
  return false;
}

// One direction of the ordering check; positions count Nodes, not LBAs.
template <typename Iterator>
bool orderingPass(Iterator begin, Iterator end, bool forward, uint64_t& failLba) {
  struct Unit {
    uint64_t cmdId;
    uint32_t end;  // last position the atomic unit covers
  };
  std::vector<Unit> stack;
  uint32_t p = 0;
  for (Iterator it = begin; it != end; ++it, ++p) {
    while (!stack.empty() && stack.back().end < p) stack.pop_back();
    const Event* e = it->second->observed;
    // A pre-read's hash counts as data too: it is the content from before the atomic write
    // whose pre-read it was, so seeing it inside that write's unit is as torn as seeing an
    // older write's stamp there. Without it a unit torn over blocks known only by hash passed.
    if (!e || (e->eventType != AtomicContext::kEventWrite && e->eventType != AtomicContext::kEventAtomic &&
               e->eventType != AtomicContext::kEventHash && e->eventType != AtomicContext::kEventNone))
      continue;
    // So does the placeholder of content from before anything the history knows, but it is older
    // only than the writes its own history names in front of it: it may be the data of any write
    // the history has forgotten at this LBA (read back and released), even of the very unit
    // shown at the next block, where an obligation still holds its record. It tears the unit of
    // the newest atomic write over it only when that write was issued after it.
    if (e->eventType == AtomicContext::kEventNone) {
      if (!stack.empty() && namedInFront(*it->second, e, stack.back().cmdId)) {
        failLba = it->first;
        return false;
      }
      continue;
    }
    // Older data inside the span of a newer atomic unit: that unit was torn.
    if (!stack.empty() && e->cmdId < stack.back().cmdId) {
      failLba = it->first;
      return false;
    }
    uint64_t topCmdId = stack.empty() ? 0 : stack.back().cmdId;
    if (e->eventType == AtomicContext::kEventAtomic && e->cmdId != topCmdId) {
      uint32_t unitEnd = forward ? p - 1 + (e->atomicLength - e->atomicIndex) : p + e->atomicIndex;
      if (unitEnd > p) stack.push_back({e->cmdId, unitEnd});
    }
  }
  return true;
}

}  // namespace

uint64_t LazyBlockHash::value() {
  if (!computed) {
    hash = blockHash(begin, static_cast<uint64_t>(end - begin));
    computed = true;
  }
  return hash;
}

ReadSnapshot takeSnapshot(const AtomicContext& context, uint64_t firstLba, uint64_t lastLba, uint64_t cmdId,
                          uint32_t completedEpoch, uint32_t powerOnsSince) {
  const uint8_t completedMark = AtomicContext::powerMark(completedEpoch);
  // Whether a mark was made by a power-on after the read completed (marks cycle through 1..255).
  auto markedLater = [&](uint8_t mark) {
    if (mark == 0 || powerOnsSince == 0) return false;
    const uint32_t distance = (uint32_t{mark} + 255 - completedMark) % 255;
    return distance >= 1 && distance <= powerOnsSince;
  };
  context.prefetchRange(firstLba, lastLba);
  SnapshotPool* pool = context.snapshotPool();
  ReadSnapshot snapshot{ReadSnapshot::allocator_type(SnapshotPool::Ref(pool))};
  // Only full records hold reads.
  context.forEachFullRecord(firstLba, lastLba, [&](uint64_t lba, const AtomicContext::Record& record) {
    const AtomicContext::WaitRead* wait = context.waitAt(record.wait_read);
    while (wait && wait->cmdId != cmdId) wait = context.waitAt(wait->next);
    if (!wait) return;
    const Event* event = context.eventAt(wait->issuedAt);
    if (!event) return;
    std::shared_ptr<AtomicContext::Node> node = pool ? pool->makeNode() : std::make_shared<AtomicContext::Node>();
    for (; event; event = context.eventAt(event->next)) {
      node->history.push_back(*event);
      Event& copy = node->history.back();
      copy.next = AtomicContext::kNoSlot;  // the copy is not linked to the pool
      if (markedLater(copy.lostAtPower)) {
        // Only completed data is ever marked: a hash keeps its type, a write was normal.
        copy.blockType = copy.eventType == AtomicContext::kEventHash ? AtomicContext::kBlockHash
                                                                     : AtomicContext::kBlockNormal;
        copy.lostAtPower = 0;
      }
    }
    snapshot.emplace_hint(snapshot.end(), lba, std::move(node));
  });
  return snapshot;
}

int observe(ReadSnapshot& snapshot, uint64_t lba, const BlockHeader& header, LazyBlockHash& lazyHash) {
  auto it = snapshot.find(lba);
  if (it == snapshot.end()) return varnox::VARNOX_ERR_HISTORY_EVENT_MISSING;
  return observeNode(*it->second, header, lazyHash);
}

int observeNode(AtomicContext::Node& node, const BlockHeader& header, LazyBlockHash& lazyHash, bool bucketStamped) {
  // By stamp first. A pre-read's hash of exactly these bytes is passed over as well: it only
  // confirms them, and the write whose stamp they carry says more (an atomic write's unit, so
  // that a unit torn and then pre-read is still seen torn).
  const Event* seen = nullptr;
  for (const Event& event : node.history) {
    if (stampMatches(event, header, bucketStamped)) {
      seen = &event;
      break;
    }
    if (event.blockType == AtomicContext::kBlockAtomic) continue;
    if (event.eventType == AtomicContext::kEventHash && event.hashValue == lazyHash.value()) continue;
    break;
  }
  if (!seen) {
    // The stamp did not tell; the block may still be what a pre-read saw.
    uint64_t hash = lazyHash.value();
    seen = findObserved(node, [&](const Event& event) { return event.hashValue == hash; });
  }
  if (!seen) return varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
  node.observed = seen;
  return varnox::VARNOX_OK;
}

AtomicContext::ExpectedBlock expectedFromSnapshot(const ReadSnapshot& snapshot, uint64_t lba) {
  auto it = snapshot.find(lba);
  if (it == snapshot.end()) {
    AtomicContext::ExpectedBlock expected;
    expected.status = varnox::VARNOX_ERR_HISTORY_EVENT_MISSING;
    return expected;
  }
  return expectedFromNode(*it->second);
}

const AtomicContext::Event* expectedEvent(const AtomicContext::Node& node) {
  for (const Event& event : node.history) {
    if (event.eventType == AtomicContext::kEventExternalInvalidate) continue;
    if (node.observed ? &event == node.observed : event.blockType != AtomicContext::kBlockAtomic) return &event;
  }
  return nullptr;
}

const AtomicContext::Event* contentBeforeOpenAtomics(const AtomicContext::Node& node) {
  bool passed = false;
  for (const Event& event : node.history) {
    if (event.blockType == AtomicContext::kBlockAtomic) {
      passed = true;
      continue;
    }
    const bool data = event.eventType == AtomicContext::kEventWrite || event.eventType == AtomicContext::kEventAtomic ||
                      event.eventType == AtomicContext::kEventHash || event.eventType == AtomicContext::kEventNone;
    return passed && data ? &event : nullptr;
  }
  return nullptr;
}

AtomicContext::ExpectedBlock expectedFromNode(const AtomicContext::Node& node) {
  AtomicContext::ExpectedBlock expected;
  const Event* chosen = expectedEvent(node);
  for (const Event& event : node.history) {
    if (&event == chosen) break;
    if (event.eventType == AtomicContext::kEventExternalInvalidate) expected.invalidated = true;
  }
  if (!chosen) {
    expected.status = varnox::VARNOX_ERR_HISTORY_ENTRY_MISSING;
    return expected;
  }
  expected.blockType = chosen->blockType;
  expected.blockNum = chosen->blockNum;
  expected.hashValue = chosen->hashValue;
  expected.embedded = chosen->embedded;
  expected.embeddedCmdId = chosen->embeddedCmdId;
  expected.embeddedLba = chosen->embeddedLba;
  return expected;
}

bool checkAtomicOrdering(const ReadSnapshot& snapshot, uint64_t& failLba) {
  if (!orderingPass(snapshot.begin(), snapshot.end(), true, failLba)) return false;
  return orderingPass(snapshot.rbegin(), snapshot.rend(), false, failLba);
}

}  // namespace cardamor
