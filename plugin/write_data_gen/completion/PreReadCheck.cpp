#include "completion/PreReadCheck.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "base/ConfigData.h"
#include "completion/Compare.h"
#include "completion/Diagnosis.h"
#include "completion/Miscompare.h"
#include "completion/ReferenceBlock.h"
#include "drive/DriveData.h"
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

}  // namespace

int checkPreReadData(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId,
                     uint64_t lba, uint32_t xferLength, uint32_t step, const uint8_t* data, uint64_t size) {
  std::vector<uint64_t> outstanding;
  for (const WriteRecord& write : drive.outstandingWrites) outstanding.push_back(write.cmdId);
  std::sort(outstanding.begin(), outstanding.end());
  const uint64_t sectorSize = thread.sectorSize();
  for (uint32_t i = 0; i < xferLength; ++i) {
    const uint64_t offset = uint64_t{i} * sectorSize;
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
  return 0;
}

}  // namespace cardamor
