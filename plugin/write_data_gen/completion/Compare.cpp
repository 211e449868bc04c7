#include "completion/Compare.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "base/ConfigData.h"
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
constexpr uint64_t kProtectionBytes = 8;
constexpr uint64_t kCdbBytesShown = 16;

void logCdb(varnox::DriveThread& thread, DriveData& drive) {
  uint64_t size = 0;
  const uint8_t* cdb = drive.recvCdb != nullptr ? drive.recvCdb->getData(*drive.lastTagId, &size) : nullptr;
  if (cdb == nullptr) size = 0;
  if (size >= kCdbBytesShown) {
    thread.eventLog().logf(2,
                           "Miscompare CDB: %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X "
                           "%02X %02X %02X %02X",
                           cdb[0], cdb[1], cdb[2], cdb[3], cdb[4], cdb[5], cdb[6], cdb[7], cdb[8], cdb[9],
                           cdb[10], cdb[11], cdb[12], cdb[13], cdb[14], cdb[15]);
  } else {
    thread.eventLog().logf(2, "Could not dump CDB: cdb_size = %u", static_cast<unsigned>(size));
  }
}
}  // namespace

int compareBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& /*config*/, uint64_t lba,
                 const uint8_t* driveBlock, const uint8_t* expectedBlock, uint64_t length, bool invalidated) {
  const bool differ = std::memcmp(driveBlock, expectedBlock, length) != 0;
  // An invalidated block's old content is expected to be gone; reading it unchanged means the
  // invalidation never reached the medium.
  if (differ == invalidated) return 0;
  if (differ) {
    uint64_t firstOffset = length;
    uint64_t numBytes = 0;
    for (uint64_t i = 0; i < length; ++i) {
      if (driveBlock[i] != expectedBlock[i]) {
        if (numBytes == 0) firstOffset = i;
        ++numBytes;
      }
    }
    thread.eventLog().logf(2, "Miscompare Detected at LBA 0x%016llX, first_offset = %u, num_bytes = %u",
                           static_cast<unsigned long long>(lba), static_cast<unsigned>(firstOffset),
                           static_cast<unsigned>(numBytes));
  } else {
    thread.eventLog().logf(2, "Data match on invalidated block at LBA 0x%016llX",
                           static_cast<unsigned long long>(lba));
  }
  logCdb(thread, drive);
  if (drive.miscompareDriveBytes) captureBytes(*drive.miscompareDriveBytes, driveBlock, length);
  if (drive.miscompareReferenceBytes) captureBytes(*drive.miscompareReferenceBytes, expectedBlock, length);
  thread.eventLog().logf(2, "compareBlock(): %s (%d)", varnox::EventLog::errStr(-1046), -1046);
  return -1046;
}

uint64_t readDataStride(uint64_t size, uint32_t xferLength, uint64_t sectorSize) {
  return size == uint64_t{xferLength} * (sectorSize + kProtectionBytes) ? sectorSize + kProtectionBytes : sectorSize;
}

int dataCompare(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                PendingCompare& pending) {
  if (pending.data.data == nullptr) {
    thread.eventLog().logf(2, "Read Buffer == NULL");
    return -1022;
  }
  const uint64_t sectorSize = thread.sectorSize();
  const uint64_t size = pending.data.size;
  const uint64_t stride = readDataStride(size, pending.xferLength, sectorSize);
  bool atomicSeen = false;
  // The blocks come in ascending LBA order, and so do the snapshot's Nodes.
  auto cursor = pending.snapshot.begin();
  for (uint32_t i = 0; i < pending.blockCount; ++i) {
    const uint64_t lba = pending.lba + uint64_t{pending.step} * i;
    const uint64_t offset = uint64_t{i} * stride;
    if (offset >= size) {
      thread.eventLog().logf(2, "dataCompare() Read pointer: offset > buff size");
      return -1057;
    }
    const uint8_t* block = pending.data.data + offset;
    // A short last block is left to the history's judgement: only whole sectors are compared.
    const BlockHeader header = parseBlockHeader(block);
    LazyBlockHash lazyHash{block, block + sectorSize, 0, false};
    while (cursor != pending.snapshot.end() && cursor->first < lba) ++cursor;
    if (cursor == pending.snapshot.end() || cursor->first != lba) continue;  // no Node: nothing expected
    AtomicContext::Node& node = *cursor->second;
    observeNode(node, header, lazyHash, !config.userDefinedData);  // marks the matching event, if any
    const AtomicContext::ExpectedBlock view = expectedFromNode(node);
    if (view.blockType == AtomicContext::kBlockNormal) {
      // A block that passes here without a stamp that names its event (a trim's zeros, data
      // written without embedding, or the unknown content a write left when it failed) holds
      // that event's content or older: the ordering check must see it as such, or a unit torn
      // over such blocks shows only its new half and passes. Departs from judging the ordering
      // by stamps alone.
      if (node.observed == nullptr) node.observed = expectedEvent(node);
      if (!view.invalidated && matchesReferenceBlock(drive, block, view.blockNum, sectorSize, view.embedded,
                                                     view.embeddedCmdId, view.embeddedLba)) {
        continue;
      }
      const uint8_t* expected = referenceBlock(drive, view.blockNum, sectorSize, view.embedded,
                                               view.embeddedCmdId, view.embeddedLba);
      if (expected == nullptr) continue;  // content not predictable: nothing to compare
      const int result =
          compareBlock(thread, drive, config, lba, block, expected, sectorSize, view.invalidated);
      if (result != 0) {
        reportMiscompare(thread, drive, config, lba, view.blockNum, header.bucket, pending.cmdId,
                         view.invalidated ? 1 : 0);
        diagnoseReadBlock(thread, drive, config, pending.cmdId, lba, block, node, view.invalidated);
        if (drive.commandTrace) drive.commandTrace->setContextText(historyReport(pending.snapshot, lba));
        return result;
      }
    } else if (view.blockType == AtomicContext::kBlockAtomic) {
      // The header names an atomic write that had not finished; the ordering check below
      // decides whether it was applied all or nothing. The header alone proves nothing about
      // the rest of the block, so the whole block must be that write's data for this LBA: a
      // damaged block of an unfinished or aborted atomic write fails like any other.
      atomicSeen = true;
      if (matchesReferenceBlock(drive, block, view.blockNum, sectorSize, view.embedded, view.embeddedCmdId,
                                view.embeddedLba)) {
        continue;
      }
      const uint8_t* expected = referenceBlock(drive, view.blockNum, sectorSize, view.embedded,
                                               view.embeddedCmdId, view.embeddedLba);
      if (expected == nullptr) continue;
      const int result = compareBlock(thread, drive, config, lba, block, expected, sectorSize, false);
      if (result != 0) {
        reportMiscompare(thread, drive, config, lba, view.blockNum, header.bucket, pending.cmdId, 0);
        diagnoseReadBlock(thread, drive, config, pending.cmdId, lba, block, node, false);
        if (drive.commandTrace) drive.commandTrace->setContextText(historyReport(pending.snapshot, lba));
        return result;
      }
    } else if (view.blockType == AtomicContext::kBlockHash) {
      const uint64_t hash = lazyHash.value();
      if (hash != view.hashValue) {
        std::printf("hash compare fail %lx != %lx\n", static_cast<unsigned long>(view.hashValue),
                    static_cast<unsigned long>(hash));
        reportMiscompare(thread, drive, config, lba, INVALID_BUCKET, INVALID_BUCKET, pending.cmdId,
                         view.invalidated ? 1 : 0);
        diagnoseHashBlock(thread, drive, config, "hash", pending.cmdId, lba, block, node.history, expectedEventOf(node));
        if (drive.commandTrace) drive.commandTrace->setContextText(historyReport(pending.snapshot, lba));
        return -1046;
      }
    } else if (node.observed == nullptr) {
      // No expectation for this block (blockType 0): content from before anything the history
      // knows, or left open by an invalidation. Yet where atomic writes still open stand in
      // front of it, a block that holds none of them holds the older content, and the ordering
      // check must see it as such: else a unit torn over blocks whose old content only a
      // pre-read still out could name shows its new half alone and passes.
      node.observed = contentBeforeOpenAtomics(node);
    }
  }
  if (!atomicSeen) return 0;
  uint64_t failLba = 0;
  if (checkAtomicOrdering(pending.snapshot, failLba)) return 0;
  return reportTornUnit(thread, drive, config, pending, stride, failLba);
}

int reportTornUnit(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                   const PendingCompare& pending, uint64_t stride, uint64_t failLba) {
  std::fprintf(stderr, "atomic data ordering failure lba:0x%lx\n", static_cast<unsigned long>(failLba));
  reportMiscompare(thread, drive, config, failLba, INVALID_BUCKET, INVALID_BUCKET, 0, 0);
  diagnoseTornUnit(thread, drive, pending, stride, failLba);
  std::string text = "atomic data ordering failure\n";
  if (failLba != 0) text += historyReport(pending.snapshot, failLba - 1);
  text += historyReport(pending.snapshot, failLba);
  text += historyReport(pending.snapshot, failLba + 1);
  std::printf("%s\n", text.c_str());
  if (drive.commandTrace) drive.commandTrace->setContextText(text);
  return -1063;
}

namespace {

// Content a power loss may have lost that this read found: it survived, and must stay. Only for a
// read judged with no power-on since it completed; a later cut may have lost what it saw.
void keepSeenContent(DriveData& drive, const ReadSnapshot& snapshot) {
  for (const auto& [lba, node] : snapshot) {
    if (node->observed) drive.atomicContext.keepSeen(lba, *node->observed);
  }
}

}  // namespace

int doCompares(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config) {
  if (drive.compareQueue.empty()) return 0;
  // The outstanding writes' ids, sorted, made only when some read raced a write: most passes
  // have none, and they then allocate nothing.
  std::vector<uint64_t> outstanding;
  bool outstandingListed = false;

  int result = 0;
  for (auto it = drive.compareQueue.begin(); it != drive.compareQueue.end();) {
    PendingCompare& pending = *it;
    if (!pending.racingWrites.empty()) {
      if (!outstandingListed) {
        outstanding.reserve(drive.outstandingWrites.size());
        for (const WriteRecord& write : drive.outstandingWrites) outstanding.push_back(write.cmdId);
        std::sort(outstanding.begin(), outstanding.end());
        outstandingListed = true;
      }
      std::vector<uint64_t> stillRacing;
      std::set_intersection(pending.racingWrites.begin(), pending.racingWrites.end(), outstanding.begin(),
                            outstanding.end(), std::back_inserter(stillRacing));
      pending.racingWrites.swap(stillRacing);
    }
    // Nor until another writer's command over its blocks, sent before it, has an outcome: the
    // read may show the old data only if that command failed.
    const uint64_t last = pending.lba + uint64_t{pending.step} * (pending.blockCount ? pending.blockCount - 1 : 0);
    if (!pending.racingWrites.empty() ||
        (drive.invalidateRanges != nullptr && pending.blockCount != 0 &&
         drive.atomicContext.awaitsExternalWrite(pending.cmdId, pending.lba, last))) {
      // Cannot be judged until those writes complete; later reads go ahead.
      ++it;
      continue;
    }
    if (pending.blockCount != 0) {
      const uint64_t end = pending.lba + uint64_t{pending.step} * pending.blockCount;
      pending.snapshot = takeSnapshot(drive.atomicContext, pending.lba, end, pending.cmdId, pending.powerEpoch,
                                      drive.powerEpoch - pending.powerEpoch);
      result = drive.atomicContext.readFinishedRange(pending.cmdId, pending.lba, pending.blockCount, pending.step,
                                                     false, true);
      if (result == 0) result = dataCompare(thread, drive, config, pending);
      // Marks come only from a power-on: a drive that never had one has nothing to keep.
      if (result == 0 && drive.powerEpoch != 0 && pending.powerEpoch == drive.powerEpoch)
        keepSeenContent(drive, pending.snapshot);
    }
    recycleReadData(drive, std::move(pending.data));  // a miscompare has copied what it reports
    it = drive.compareQueue.erase(it);
    if (result != 0) break;
  }
  if (result != 0)
    thread.eventLog().logf(2, "doCompares(): %s (%d)", varnox::EventLog::errStr(result), result);
  return result;
}

}  // namespace cardamor
