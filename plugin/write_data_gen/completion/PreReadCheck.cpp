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
// older plain write still outstanding covers, or more than one older outstanding write, is left
// out (the drive may land a plain write block by block, and outstanding writes in any order);
// the others are judged: skipping the whole pre-read for one such block passed a unit torn
// beside it. A block under one outstanding atomic write alone is judged too: the unit is never
// seen mixed, not even by a command racing its write, and a pre-read that raced the write is
// often the only read that could see its tear (the next atomic write covers the unit).
int judgeOrdering(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId, uint64_t lba,
                  uint32_t xferLength, uint32_t step, const uint8_t* data, uint64_t size, const std::vector<bool>& raced,
                  const std::vector<uint64_t>* lbas) {
  const uint64_t end = lba + uint64_t{step} * xferLength;
  PendingCompare pending;
  pending.cmdId = cmdId;
  pending.lba = lba;
  pending.xferLength = xferLength;
  pending.blockCount = xferLength;
  pending.step = static_cast<uint8_t>(step);
  pending.snapshot = takeSnapshot(drive.atomicContext, lba, end, cmdId);
  // Positions in the ordering check count the history's blocks: judged later, a block released
  // meanwhile would shift them.
  if (lbas != nullptr) {
    std::vector<uint64_t> now;
    for (const auto& [blockLba, node] : pending.snapshot) now.push_back(blockLba);
    if (now != *lbas) return 0;
  }
  const uint64_t sectorSize = thread.sectorSize();
  const uint64_t stride = readDataStride(size, xferLength, sectorSize);
  bool atomicSeen = false;
  for (auto& [blockLba, node] : pending.snapshot) {
    const uint64_t index = (blockLba - lba) / step;
    const uint64_t offset = index * stride;
    if (offset + sectorSize > size) break;
    if (index < raced.size() && raced[index]) continue;  // unobserved: the ordering check passes over it
    LazyBlockHash lazyHash{data + offset, data + offset + sectorSize, 0, false};
    // A block that holds none of the open atomic writes in front of it holds what was there before.
    if (observeNode(*node, parseBlockHeader(data + offset), lazyHash, !config.userDefinedData) != 0)
      node->observed = contentBeforeOpenAtomics(*node);
    atomicSeen |= node->observed != nullptr && node->observed->eventType == AtomicContext::kEventAtomic;
  }
  uint64_t failLba = 0;
  if (!atomicSeen || checkAtomicOrdering(pending.snapshot, failLba)) return 0;
  if (pending.data.grow(size) != 0) return 0;  // without memory for the report the unit goes unjudged
  std::memcpy(pending.data.data, data, size);
  pending.data.size = size;
  return reportTornUnit(thread, drive, config, pending, stride, failLba);
}

// An older pre-read still out over the range may hold the only record of what a block held
// before an atomic write (its hash): judged only now, a unit torn over such a block would show
// only its new half. The check is then made again once those pre-reads are in, with a copy of
// the data.
int checkPreReadOrdering(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId,
                         uint64_t lba, uint32_t xferLength, uint32_t step, const uint8_t* data, uint64_t size) {
  const uint64_t end = lba + uint64_t{step} * xferLength;
  // Per block: the older outstanding writes over it, and whether one of them is a plain write.
  std::vector<uint8_t> racers(xferLength, 0);
  std::vector<bool> raced(xferLength, false);
  for (const WriteRecord& write : drive.outstandingWrites) {
    if (write.cmdId >= cmdId || write.lba >= end || lba >= write.lba + uint64_t{step} * write.xferLength) continue;
    for (uint32_t i = 0; i < xferLength; ++i) {
      const uint64_t blockLba = lba + uint64_t{step} * i;
      if (blockLba >= write.lba && blockLba < write.lba + uint64_t{step} * write.xferLength &&
          (blockLba - write.lba) % step == 0) {
        racers[i] = static_cast<uint8_t>(std::min(racers[i] + 1, 2));
        if (!write.atomic || racers[i] > 1) raced[i] = true;
      }
    }
  }
  std::vector<uint64_t> awaiting;
  for (const PreReadRecord& p : drive.outstandingPreReads)
    if (p.cmdId < cmdId && p.lba < end && lba < p.lba + uint64_t{step} * p.xferLength) awaiting.push_back(p.cmdId);
  // Judged now in any case: what the history knows already may show the tear.
  const int now = judgeOrdering(thread, drive, config, cmdId, lba, xferLength, step, data, size, raced, nullptr);
  if (now != 0 || awaiting.empty()) return now;
  DriveData::DeferredOrdering deferred;
  deferred.cmdId = cmdId;
  deferred.lba = lba;
  deferred.xferLength = xferLength;
  deferred.step = step;
  deferred.data.assign(data, data + size);
  deferred.raced = std::move(raced);
  for (const auto& [blockLba, node] : takeSnapshot(drive.atomicContext, lba, end, cmdId)) deferred.lbas.push_back(blockLba);
  deferred.awaiting = std::move(awaiting);
  drive.deferredOrderings.push_back(std::move(deferred));
  return 0;
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

int checkDeferredPreReads(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config) {
  for (auto it = drive.deferredOrderings.begin(); it != drive.deferredOrderings.end();) {
    std::erase_if(it->awaiting, [&](uint64_t id) {
      return std::none_of(drive.outstandingPreReads.begin(), drive.outstandingPreReads.end(),
                          [id](const PreReadRecord& p) { return p.cmdId == id; });
    });
    if (!it->awaiting.empty()) {
      ++it;
      continue;
    }
    const DriveData::DeferredOrdering d = std::move(*it);
    it = drive.deferredOrderings.erase(it);
    const int result = judgeOrdering(thread, drive, config, d.cmdId, d.lba, d.xferLength, d.step, d.data.data(),
                                     d.data.size(), d.raced, &d.lbas);
    if (result != 0) return result;
  }
  return 0;
}

}  // namespace cardamor
