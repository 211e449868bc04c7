#include "completion/PreReadCheck.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <memory>
#include <vector>

#include "base/ConfigData.h"
#include "completion/Compare.h"
#include "completion/Diagnosis.h"
#include "completion/Miscompare.h"
#include "completion/ReferenceBlock.h"
#include "drive/DriveData.h"
#include "drive/PendingCompare.h"
#include "history/HistoryReport.h"
#include "history/ReadSnapshot.h"
#include "patterns/BlockLayout.h"
#include "varnox/DriveThread.h"

namespace cardamor {
namespace {

using Event = AtomicContext::Event;

// The event whose content the pre-read had to return, or null when the block may hold more than
// one thing: the newest event issued before the pre-read, if it is a completed write or a hash.
// Writes still outstanding race the pre-read; invalidations, unfinished atomic writes, writes
// that failed and blocks a power loss may have reverted leave the content open.
const Event* knownContent(const AtomicContext& context, uint64_t lba, uint64_t preReadCmdId,
                          const std::vector<uint64_t>& outstanding) {
  const AtomicContext::Record* record = context.findRecord(lba);
  if (record == nullptr) return nullptr;
  for (const Event* e = context.eventAt(record->history); e != nullptr; e = context.eventAt(e->next)) {
    if (e->cmdId == 0) return nullptr;               // an invalidation, or a read's placeholder
    if (e->cmdId >= preReadCmdId) continue;          // issued after the pre-read: not yet there
    if (std::binary_search(outstanding.begin(), outstanding.end(), e->cmdId)) return nullptr;
    const bool write = (e->eventType == AtomicContext::kEventWrite || e->eventType == AtomicContext::kEventAtomic) &&
                       e->blockType == AtomicContext::kBlockNormal && e->blockNum != INVALID_BUCKET;
    const bool hash = e->eventType == AtomicContext::kEventHash && e->blockType == AtomicContext::kBlockHash;
    return write || hash ? e : nullptr;
  }
  return nullptr;
}

// The record's whole history as a one-block snapshot, for the history report.
ReadSnapshot snapshotOf(const AtomicContext& context, uint64_t lba, const Event* observed) {
  ReadSnapshot snapshot;
  auto node = std::make_shared<AtomicContext::Node>();
  const AtomicContext::Record* record = context.findRecord(lba);
  size_t observedAt = SIZE_MAX;
  for (const Event* e = record ? context.eventAt(record->history) : nullptr; e; e = context.eventAt(e->next)) {
    if (e == observed) observedAt = node->history.size();
    node->history.push_back(*e);
    node->history.back().next = AtomicContext::kNoSlot;
  }
  if (observedAt != SIZE_MAX) node->observed = &node->history[observedAt];
  snapshot.emplace(lba, std::move(node));
  return snapshot;
}

// A pre-read sees torn units as a read does: an aborted atomic write's unit holding part of its
// data and part of what was there before is torn whatever write comes next. A block that an
// older write still outstanding covers is left out (the drive may still land that write in any
// order), the others are judged: skipping the whole pre-read for one such block passed a unit
// torn beside it.
int checkPreReadOrdering(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId,
                         uint64_t lba, uint32_t xferLength, uint32_t step, const uint8_t* data, uint64_t size) {
  const uint64_t end = lba + uint64_t{step} * xferLength;
  std::vector<const WriteRecord*> racing;
  for (const WriteRecord& write : drive.outstandingWrites) {
    if (write.cmdId < cmdId && write.lba < end && lba < write.lba + uint64_t{step} * write.xferLength)
      racing.push_back(&write);
  }
  auto raced = [&](uint64_t blockLba) {
    return std::any_of(racing.begin(), racing.end(), [&](const WriteRecord* w) {
      return blockLba >= w->lba && blockLba < w->lba + uint64_t{step} * w->xferLength && (blockLba - w->lba) % step == 0;
    });
  };
  PendingCompare pending;
  pending.cmdId = cmdId;
  pending.lba = lba;
  pending.xferLength = xferLength;
  pending.blockCount = xferLength;
  pending.step = static_cast<uint8_t>(step);
  pending.snapshot = takeSnapshot(drive.atomicContext, lba, end, cmdId);
  const uint64_t sectorSize = thread.sectorSize();
  const uint64_t stride = readDataStride(size, xferLength, sectorSize);
  bool atomicSeen = false;
  for (auto& [blockLba, node] : pending.snapshot) {
    const uint64_t offset = (blockLba - lba) / step * stride;
    if (offset + sectorSize > size) break;
    if (raced(blockLba)) continue;  // unobserved: the ordering check passes over it
    LazyBlockHash lazyHash{data + offset, data + offset + sectorSize, 0, false};
    observeNode(*node, parseBlockHeader(data + offset), lazyHash, !config.userDefinedData);
    atomicSeen |= node->observed != nullptr && node->observed->eventType == AtomicContext::kEventAtomic;
  }
  uint64_t failLba = 0;
  if (!atomicSeen || checkAtomicOrdering(pending.snapshot, failLba)) return 0;
  if (pending.data.grow(size) != 0) return 0;  // without memory for the report the unit goes unjudged
  std::memcpy(pending.data.data, data, size);
  pending.data.size = size;
  return reportTornUnit(thread, drive, config, pending, stride, failLba);
}

}  // namespace

int checkPreReadData(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId,
                     uint64_t lba, uint32_t xferLength, uint32_t step, const uint8_t* data, uint64_t size) {
  std::vector<uint64_t> outstanding;
  for (const WriteRecord& write : drive.outstandingWrites) outstanding.push_back(write.cmdId);
  std::sort(outstanding.begin(), outstanding.end());
  const uint64_t sectorSize = thread.sectorSize();
  // With protection information the drive may deliver each block's 8 protection bytes behind it.
  const uint64_t stride = readDataStride(size, xferLength, sectorSize);
  for (uint32_t i = 0; i < xferLength; ++i) {
    const uint64_t offset = uint64_t{i} * stride;
    if (offset + sectorSize > size) break;
    const uint64_t blockLba = lba + uint64_t{step} * i;
    const Event* known = knownContent(drive.atomicContext, blockLba, cmdId, outstanding);
    if (known == nullptr) continue;
    const uint8_t* block = data + offset;
    const BlockHeader header = parseBlockHeader(block);
    if (known->eventType == AtomicContext::kEventHash) {
      const uint64_t hash = blockHash(block, sectorSize);
      if (hash == known->hashValue) continue;
      std::printf("hash compare fail %lx != %lx\n", static_cast<unsigned long>(known->hashValue),
                  static_cast<unsigned long>(hash));
      reportMiscompare(thread, drive, config, blockLba, INVALID_BUCKET, INVALID_BUCKET, cmdId, 0);
      diagnoseHashBlock(thread, drive, config, "hash", cmdId, blockLba, block, historyOf(drive.atomicContext, blockLba),
                        known);
    } else {
      if (matchesReferenceBlock(drive, block, known->blockNum, sectorSize, known->embedded, known->embeddedCmdId,
                                known->embeddedLba))
        continue;
      const uint8_t* expected = referenceBlock(drive, known->blockNum, sectorSize, known->embedded,
                                               known->embeddedCmdId, known->embeddedLba);
      if (expected == nullptr) continue;
      if (compareBlock(thread, drive, config, blockLba, block, expected, sectorSize, false) == 0) continue;
      reportMiscompare(thread, drive, config, blockLba, known->blockNum, header.bucket, cmdId, 0);
      Diagnosis& d = startDiagnosis(drive, "pre-read", blockLba, cmdId);
      if (d.kind.empty())
        diagnoseBlock(thread, drive, config, d, blockLba, block, historyOf(drive.atomicContext, blockLba), known);
    }
    if (drive.commandTrace)
      drive.commandTrace->setContextText(historyReport(snapshotOf(drive.atomicContext, blockLba, known), blockLba));
    return -1046;
  }
  return checkPreReadOrdering(thread, drive, config, cmdId, lba, xferLength, step, data, size);
}

}  // namespace cardamor
