// Executing a command on the simulated medium: transfers, verify, WRITE SAME, UNMAP, zones, protection.
#include <algorithm>
#include <cstring>

#include "sim/BlockStore.h"
#include "sim/PersistentMedium.h"
#include "sim/SimulatedDrive.h"
#include "sim/SimulatedDriveSlot.h"
#include "sim/WriteCache.h"
#include "sim/ZoneModel.h"
#include "tavik/ProtectionInfo.h"

namespace varnox::sim {
namespace {

// A dropped command larger than this keeps its data whatever the draw says: saving the old
// contents of a huge UNMAP would cost more than the realism is worth.
constexpr uint64_t kMaxUndoBytes = 64ull << 20;
constexpr uint8_t kAscZoneWrite = 0x21;  // with 04 unaligned write, 05 write boundary violation
// The protect field value that hands the protection bytes to the host: the drive checks none.
constexpr uint8_t kProtectNoCheck = 3;

}  // namespace

void SimulatedDrive::execute(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (!cdb.known) return fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
  switch (cdb.opcode) {
    case kOpRead16:
      return executeRead(slot, command, cdb);
    case kOpWrite16:
      return executeWrite(slot, command, cdb, 1, UINT64_MAX);
    case kOpWriteAtomic16: {
      if (config_.atomicUnitBlocks == 0) return fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
      uint32_t unit = cdb.atomicBoundary ? cdb.atomicBoundary : cdb.blocks;
      if (unit > config_.atomicUnitBlocks) return fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
      return executeWrite(slot, command, cdb, std::max<uint32_t>(unit, 1), UINT64_MAX);
    }
    case kOpVerify16:
      return executeVerify(slot, command, cdb);
    case kOpWriteSame16:
      return executeWriteSame(slot, command, cdb);
    case kOpUnmap:
      return executeUnmap(slot, command, cdb);
    case kOpZbcOut:
      return executeResetWritePointer(slot, cdb);
    case kOpSynchronizeCache16:
      if (!rangeValid(cdb.lba, cdb.blocks)) return fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
      // The whole cache is flushed whatever range the command names, as most drives do. What
      // the medium file cannot take stays in the cache, to be lost at a power cut.
      if (cache_) {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (medium_ && !medium_->writeBlocks(*store_)) return mediumWriteFailed(&slot);
        cache_->flush();
      }
      return;
  }
}

bool SimulatedDrive::checkTransfer(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb,
                                   uint64_t dataBlocks) {
  if (cdb.protect != 0 && !config_.protectionInfo) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    return false;
  }
  if (!rangeValid(cdb.lba, strideSpan(cdb.blocks, takesLbaStride(cdb.opcode) ? command.lbaStride : 1))) {
    fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
    return false;
  }
  uint64_t need = dataBlocks * transferBlockBytes(cdb);
  bool isRead = cdb.opcode == kOpRead16;
  uint64_t have =
      isRead ? (command.dataIn ? command.dataInBytes : 0) : (command.dataOut ? command.dataOutBytes : 0);
  if (have < need) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  return true;
}

void SimulatedDrive::executeRead(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (!checkTransfer(slot, command, cdb, cdb.blocks)) return;
  const uint32_t tb = transferBlockBytes(cdb);
  const uint64_t stride = command.lbaStride;
  if (checksProtection(cdb)) {
    for (uint64_t i = 0; i < cdb.blocks; ++i)
      if (!protectionFits(slot, store_->block(cdb.lba + i * stride), cdb.lba + i * stride)) return;
  }
  const bool zeroed = zones_ && zones_->hostManaged();
  if (tb == storedBlockBytes_ && !hook_ && stride == 1 && !zeroed) {
    std::memcpy(command.dataIn, store_->block(cdb.lba), uint64_t{cdb.blocks} * tb);
  } else {
    for (uint64_t i = 0; i < cdb.blocks; ++i) {
      uint8_t* out = command.dataIn + i * tb;
      const uint64_t lba = cdb.lba + i * stride;
      if (zeroed && zones_->pastWritePointer(lba)) {
        std::memset(out, 0, tb);
        continue;
      }
      std::memcpy(out, store_->block(lba), tb);
      if (hook_) hook_->afterLoad(context_, lba, out, tb);
    }
  }
  slot.bytesIn = uint64_t{cdb.blocks} * tb;
  queueOf(slot).blocksRead.fetch_add(cdb.blocks, std::memory_order_relaxed);
}

void SimulatedDrive::executeWrite(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb,
                                  uint32_t unitBlocks, uint64_t landBlocks) {
  if (!checkTransfer(slot, command, cdb, cdb.blocks)) return;
  const uint32_t tb = transferBlockBytes(cdb);
  const bool withProtection = tb == storedBlockBytes_;
  const uint64_t blocks = std::min<uint64_t>(cdb.blocks, landBlocks);
  const uint64_t stride = command.lbaStride;
  if (!admitWrite(slot, cdb, command.lbaStride)) return;
  if (checksProtection(cdb) && cdb.protect != 0) {
    for (uint64_t i = 0; i < cdb.blocks; ++i)
      if (!protectionFits(slot, command.dataOut + i * tb, cdb.lba + i * stride)) return;
  }
  if (zones_) zonesWrote(cdb.lba, cdb.blocks, command.lbaStride);
  slot.sequence = ++writeSequence_;
  if (withProtection && !hook_ && !cache_ && !(slot.undoable && config_.keepUndoImages) && stride == 1) {
    // Nothing to intercept, cache or undo: the blocks go to the medium in one copy, as a read
    // takes them out.
    std::memcpy(store_->block(cdb.lba), command.dataOut, blocks * tb);
    for (uint64_t i = 0; i < blocks; ++i) store_->setWriter(cdb.lba + i, slot.sequence);
    if (medium_) medium_->changed(cdb.lba, blocks);
  } else {
    for (uint64_t i = 0; i < blocks; ++i)
      storeBlock(slot, cdb.lba + i * stride, command.dataOut + i * tb, withProtection, i / unitBlocks);
  }
  // An atomic write's units reach the medium file all or none, whatever pages they lie on.
  if (medium_ && unitBlocks > 1) medium_->keepWhole(cdb.lba, strideSpan(blocks, stride));
  queueOf(slot).blocksWritten.fetch_add(blocks, std::memory_order_relaxed);
}

void SimulatedDrive::executeVerify(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (cdb.bytchk == 2) return fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
  uint64_t dataBlocks = cdb.bytchk == kBytchkCompare ? cdb.blocks : cdb.bytchk == kBytchkSame ? 1 : 0;
  if (!checkTransfer(slot, command, cdb, dataBlocks)) return;
  queueOf(slot).blocksRead.fetch_add(cdb.blocks, std::memory_order_relaxed);
  const bool checks = checksProtection(cdb);
  if (checks) {
    for (uint64_t i = 0; i < cdb.blocks; ++i)
      if (!protectionFits(slot, store_->block(cdb.lba + i), cdb.lba + i)) return;
  }
  if (cdb.bytchk == kBytchkNone) return;  // the medium is always readable here
  const uint32_t tb = transferBlockBytes(cdb);
  // Checked protection bytes are the drive's to judge, not data to compare.
  const uint32_t compared = checks && cdb.protect != 0 ? config_.logicalBlockSize : tb;
  for (uint64_t i = 0; i < cdb.blocks; ++i) {
    const uint8_t* expected = command.dataOut + (cdb.bytchk == kBytchkCompare ? i * tb : 0);
    if (checks && cdb.protect != 0 && !protectionFits(slot, expected, cdb.lba + i)) return;
    const uint8_t* medium = store_->block(cdb.lba + i);
    if (zones_ && zones_->pastWritePointer(cdb.lba + i)) {
      std::memset(scratch_.data(), 0, scratch_.size());
      medium = scratch_.data();
    } else if (hook_) {
      std::memcpy(scratch_.data(), medium, tb);
      hook_->afterLoad(context_, cdb.lba + i, scratch_.data(), tb);
      medium = scratch_.data();
    }
    if (std::memcmp(expected, medium, compared) == 0) continue;
    uint64_t offset = 0;
    while (expected[offset] == medium[offset]) ++offset;
    SenseFields sense;
    sense.key = kSenseMiscompare;
    sense.asc = kAscMiscompare;
    sense.hasInformation = true;
    sense.information = i * tb + offset;  // byte offset of the first difference in the data sent
    return fail(slot, sense);
  }
}

void SimulatedDrive::executeWriteSame(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  const bool noData = (cdb.flags & (kCdbUnmap | kCdbNdob)) != 0;
  if (!checkTransfer(slot, command, cdb, noData ? 0 : 1)) return;
  // Zero blocks would mean "to the end of the medium"; like many drives this one refuses it.
  if (cdb.blocks == 0) return fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
  const bool unmaps = (cdb.flags & kCdbUnmap) != 0;
  if (!unmaps && !admitWrite(slot, cdb, command.lbaStride)) return;
  // The one block sent carries the first LBA's reference tag; the drive counts it up per block.
  const bool checks = checksProtection(cdb) && cdb.protect != 0 && !noData;
  if (checks && !protectionFits(slot, command.dataOut, cdb.lba)) return;
  if (zones_ && !unmaps) zonesWrote(cdb.lba, cdb.blocks, command.lbaStride);
  slot.sequence = ++writeSequence_;
  const uint64_t stride = command.lbaStride;
  if (unmaps) {
    uint64_t unit = 0;
    if (stride == 1) return unmapRange(slot, cdb.lba, cdb.blocks, unit);
    for (uint64_t i = 0; i < cdb.blocks; ++i) unmapRange(slot, cdb.lba + i * stride, 1, unit);
    return;
  }
  const uint32_t tb = transferBlockBytes(cdb);
  const uint8_t* pattern = command.dataOut;
  std::vector<uint8_t> zeros;  // the groups of a split drive run this at once: not the shared scratch block
  if (cdb.flags & kCdbNdob) {
    zeros.assign(storedBlockBytes_, 0);
    pattern = zeros.data();
  }
  for (uint64_t i = 0; i < cdb.blocks; ++i)
    storeBlock(slot, cdb.lba + i * stride, pattern, tb == storedBlockBytes_ && !checks, i);
  queueOf(slot).blocksWritten.fetch_add(cdb.blocks, std::memory_order_relaxed);
}

void SimulatedDrive::executeUnmap(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (cdb.parameterListBytes == 0) return;
  if (!command.dataOut || command.dataOutBytes < cdb.parameterListBytes)
    return fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
  int count = unmapDescriptorCount(command.dataOut, cdb.parameterListBytes);
  if (count < 0) return fail(slot, kSenseIllegalRequest, kAscInvalidFieldInList, 0);
  // Every range is checked before any is touched, so a refused list changes nothing.
  for (int i = 0; i < count; ++i) {
    UnmapRange r = unmapDescriptor(command.dataOut, i);
    if (!rangeValid(r.lba, r.blocks)) return fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
  }
  slot.sequence = ++writeSequence_;
  uint64_t unit = 0;
  for (int i = 0; i < count; ++i) {
    UnmapRange r = unmapDescriptor(command.dataOut, i);
    unmapRange(slot, r.lba, r.blocks, unit);
  }
}

void SimulatedDrive::unmapRange(Slot& slot, uint64_t lba, uint64_t blocks, uint64_t& unit) {
  for (uint64_t i = 0; i < blocks; ++i) {
    rememberBlock(slot, lba + i, unit++);
    if (cache_) {
      std::lock_guard<std::mutex> lock(cacheMutex_);
      cache_->beforeWrite(*store_, lba + i);
    }
    store_->setWriter(lba + i, slot.sequence);
  }
  store_->zero(lba, blocks);
  if (medium_) medium_->changed(lba, blocks);
}

void SimulatedDrive::rememberBlock(Slot& slot, uint64_t lba, uint64_t unit) {
  if (!slot.undoable || !config_.keepUndoImages) return;
  if (slot.images.size() + storedBlockBytes_ > kMaxUndoBytes) {
    slot.undoable = false;
    return;
  }
  slot.undo.push_back({lba, store_->writer(lba), unit});
  const uint8_t* image = store_->block(lba);
  slot.images.insert(slot.images.end(), image, image + storedBlockBytes_);
}

void SimulatedDrive::storeBlock(Slot& slot, uint64_t lba, const uint8_t* data, bool withProtection,
                                uint64_t unit) {
  // Protection bytes are made where the data comes in, for the LBA the block was sent to.
  const uint64_t sentTo = lba;
  if (hook_) {
    StoreTarget target{true, lba};
    hook_->beforeStore(context_, target);
    if (!target.store) return;
    if (target.lba < config_.capacityBlocks) lba = target.lba;
  }
  rememberBlock(slot, lba, unit);
  if (cache_) {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    cache_->beforeWrite(*store_, lba);
  }
  uint8_t* stored = store_->block(lba);
  if (withProtection) {
    std::memcpy(stored, data, storedBlockBytes_);
  } else {
    std::memcpy(stored, data, config_.logicalBlockSize);
    if (config_.protectionInfo)
      fillProtection(stored + config_.logicalBlockSize, data, config_.logicalBlockSize, sentTo);
  }
  store_->setWriter(lba, slot.sequence);
  if (hook_) hook_->afterStore(context_, lba, stored, storedBlockBytes_);
  if (medium_) medium_->changed(lba, 1);
}

void SimulatedDrive::executeResetWritePointer(Slot& slot, const ParsedCdb& cdb) {
  if (!zones_) return fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
  const bool all = (cdb.flags & kCdbAll) != 0;
  if (!all && !zones_->isZoneStart(cdb.lba))
    return fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
  // A reset is not taken back by a later power loss: the write pointer has moved for good.
  slot.undoable = false;
  slot.sequence = ++writeSequence_;
  uint64_t unit = 0;
  for (uint64_t start = all ? 0 : cdb.lba; start < config_.capacityBlocks; start += zones_->zoneBlocks()) {
    unmapRange(slot, start, zones_->zoneLength(start), unit);
    zones_->reset(start);
    if (medium_) medium_->pointersChanged(start / zones_->zoneBlocks(), start / zones_->zoneBlocks());
    if (!all) break;
  }
}

bool SimulatedDrive::admitWrite(Slot& slot, const ParsedCdb& cdb, uint32_t stride) {
  if (!zones_) return true;
  const uint8_t ascq = zones_->refuseWrite(cdb.lba, cdb.blocks, takesLbaStride(cdb.opcode) ? stride : 1);
  if (ascq == 0) return true;
  fail(slot, kSenseIllegalRequest, kAscZoneWrite, ascq);
  return false;
}

bool SimulatedDrive::checksProtection(const ParsedCdb& cdb) const {
  return config_.protectionInfo && cdb.protect != kProtectNoCheck;
}

bool SimulatedDrive::protectionFits(Slot& slot, const uint8_t* block, uint64_t lba) {
  const uint8_t ascq =
      checkProtection(block + config_.logicalBlockSize, block, config_.logicalBlockSize, lba);
  if (ascq == 0) return true;
  fail(slot, SenseFields{kSenseAbortedCommand, kAscProtectionCheck, ascq, true, lba, 0});
  return false;
}

uint32_t SimulatedDrive::transferBlockBytes(const ParsedCdb& cdb) const {
  return config_.protectionInfo && cdb.protect != 0 ? storedBlockBytes_ : config_.logicalBlockSize;
}

}  // namespace varnox::sim
