#include "sim/SimulatedDrive.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/BlockStore.h"
#include "sim/RuleFaults.h"
#include "sim/WriteCache.h"
#include "sim/ZoneModel.h"
#include "tavik/Clock.h"
#include "tavik/Errors.h"
#include "tavik/ProtectionInfo.h"
#include "tavik/SenseParser.h"
#include "tavik/Tavik.h"

namespace varnox::sim {
namespace {

constexpr uint32_t kTagLimit = 1024;
// A dropped command larger than this keeps its data whatever the draw says: saving the old
// contents of a huge UNMAP would cost more than the realism is worth.
constexpr uint64_t kMaxUndoBytes = 64ull << 20;

constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscParameterListLength = 0x1A;
constexpr uint8_t kAscInvalidFieldInList = 0x26;
constexpr uint8_t kAscMiscompare = 0x1D;
constexpr uint8_t kAscZoneWrite = 0x21;  // with 04 unaligned write, 05 write boundary violation
// The protect field value that hands the protection bytes to the host: the drive checks none.
constexpr uint8_t kProtectNoCheck = 3;
// The longest a waiting poll sleeps when only slow or hung commands are outstanding: the drive
// thread must come back to check its command timeout.
constexpr uint64_t kMaxDelayWaitNs = 10'000'000;

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

struct SimulatedDrive::Slot {
  struct UndoEntry {
    uint64_t lba;
    uint64_t writer;     // sequence of the write that stored the saved image
    uint64_t unit;       // all-or-nothing group within the command
    bool kept = false;   // a completed read returned the block: never undone
  };
  bool busy = false;
  uint8_t status = kStatusGood;
  uint8_t senseBytes = 0;
  uint8_t sense[kFixedSenseBytes] = {};
  uint64_t bytesIn = 0;
  uint64_t readyAtPoll = 0;
  uint64_t readyAtNs = 0;  // a slow command: not before this time; Intervention::kNever: a hung one
  uint64_t sequence = 0;  // non-zero once the command changed the medium
  uint64_t firstLba = 0;  // a data write's range, for reads that overlap it
  uint64_t blockCount = 0;
  bool injected = false;   // a fault rule set the status
  uint64_t readLba = 0;    // a read's or verify's range, committed when it completes
  uint64_t readBlocks = 0;
  uint64_t readAfter = 0;  // the write sequence the read saw
  bool undoable = true;
  std::vector<UndoEntry> undo;
  std::vector<uint8_t> images;
};

SimulatedDrive::SimulatedDrive(const SimConfig& config) : config_(config) {
  storedBlockBytes_ = config.logicalBlockSize + (config.protectionInfo ? kProtectionInfoBytes : 0);
  geometry_.logicalBlockSize = config.logicalBlockSize;
  geometry_.protectionInfoEnabled = config.protectionInfo;
  geometry_.protectionInfoBytes = kProtectionInfoBytes;
  geometry_.log2LogicalPerPhysical = config.log2LogicalPerPhysical;
  geometry_.capacityBlocks = config.capacityBlocks;
  geometry_.maxQueueDepth = config.queueDepth;
  geometry_.atomicUnitBlocks = config.atomicUnitBlocks;
  geometry_.zoneBlocks = config.zoneBlocks;
  geometry_.hostManaged = config.zones == ZoneKind::HostManaged;
  slots_.resize(kTagLimit);
  queue_.reserve(config.queueDepth);
  candidates_.reserve(config.queueDepth);
  scratch_.resize(storedBlockBytes_);
  // Two streams, so that the completion order does not change when a power loss draws outcomes.
  orderRandom_ = config.seed ^ 0x6F72646572ull;
  fateRandom_ = config.seed ^ 0x66617465ull;
}

SimulatedDrive::~SimulatedDrive() = default;

std::unique_ptr<SimulatedDrive> SimulatedDrive::create(const SimConfig& config, std::string& error) {
  std::string problem = validateSimConfig(config);
  if (!problem.empty()) {
    error = problem;
    return nullptr;
  }
  std::unique_ptr<SimulatedDrive> drive(new SimulatedDrive(config));
  drive->store_ = std::make_unique<BlockStore>();
  if (!drive->store_->open(config.capacityBlocks, drive->storedBlockBytes_, error)) return nullptr;
  if (config.writeCache == WriteCacheMode::Volatile) {
    drive->cache_ = std::make_unique<WriteCache>();
    if (!drive->cache_->open(config.capacityBlocks, error)) return nullptr;
  }
  if (config.zones != ZoneKind::None)
    drive->zones_ = std::make_unique<ZoneModel>(config.zones, config.zoneBlocks, config.capacityBlocks);
  if (!config.faults.empty()) {
    drive->ruleFaults_ =
        std::make_unique<RuleFaults>(config.faults, config.seed, config.capacityBlocks, config.logicalBlockSize,
                                     drive->store_.get());
    drive->hook_ = drive->ruleFaults_.get();
  }
  return drive;
}

const uint8_t* SimulatedDrive::peekBlock(uint64_t lba) const {
  return lba < config_.capacityBlocks ? store_->block(lba) : nullptr;
}

int SimulatedDrive::submit(const DeviceCommand& command) {
  if (stopped()) return VARNOX_ERR_DEVICE;
  if (command.tag >= kTagLimit || command.cdbLength == 0 || command.cdbLength > sizeof(command.cdb) ||
      command.lbaStride == 0)
    return VARNOX_ERR_BAD_VALUE;
  Slot& slot = slots_[command.tag];
  if (slot.busy) return VARNOX_ERR_BAD_VALUE;
  if (queue_.size() >= config_.queueDepth) return VARNOX_ERR_GENERIC;

  slot.busy = true;
  slot.status = kStatusGood;
  slot.senseBytes = 0;
  slot.bytesIn = 0;
  slot.sequence = 0;
  slot.undoable = true;
  slot.injected = false;
  slot.blockCount = 0;
  slot.injected = false;
  slot.readBlocks = 0;
  slot.undo.clear();
  slot.images.clear();
  commands_.fetch_add(1, std::memory_order_relaxed);

  ParsedCdb cdb;
  context_ = CommandContext{command.tag, commandIndex_++, &cdb};
  context_.dataOut = command.dataOut;
  context_.dataOutBytes = command.dataOutBytes;
  if (parseCdb(command.cdb, command.cdbLength, cdb) != 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
  } else {
    if (takesLbaStride(cdb.opcode)) context_.lbaStride = command.lbaStride;
    if (cdb.opcode == kOpWrite16 || cdb.opcode == kOpWriteAtomic16 || cdb.opcode == kOpWriteSame16) {
      // The span of a skip write: a read between its blocks is counted as overlapping, which
      // only widens what a reorder fault may pick.
      slot.firstLba = cdb.lba;
      slot.blockCount = strideSpan(cdb.blocks, context_.lbaStride);
    } else if (cdb.opcode == kOpRead16 || cdb.opcode == kOpVerify16) {
      slot.readLba = cdb.lba;
      slot.readBlocks = strideSpan(cdb.blocks, context_.lbaStride);
      slot.readAfter = writeSequence_;
    }
    Intervention action;
    if (hook_) {
      if (cdb.opcode == kOpRead16)
        context_.overlapsOutstandingWrite =
            overlapsOutstandingWrite(cdb.lba, strideSpan(cdb.blocks, context_.lbaStride));
      action = hook_->beforeCommand(context_);
    }
    if (action.kind != Intervention::Kind::None) faults_.fetch_add(1, std::memory_order_relaxed);
    switch (action.kind) {
      case Intervention::Kind::None:
        execute(slot, command, cdb);
        break;
      case Intervention::Kind::Reorder:
        execute(slot, command, cdb);
        firstCompletion_ = command.tag;
        break;
      case Intervention::Kind::Delay:
        execute(slot, command, cdb);
        slot.readyAtNs = action.delayNs == Intervention::kNever ? Intervention::kNever
                                                                 : queryPerformanceCounter() + action.delayNs;
        ++delayed_;
        break;
      case Intervention::Kind::Abort:
        if (cdb.opcode == kOpWrite16) {
          executeWrite(slot, command, cdb, 1, action.landedBlocks);
        } else if (cdb.opcode == kOpWriteAtomic16 && config_.atomicUnitBlocks != 0) {
          // Only whole atomic units may land, whatever the fault asks for.
          uint32_t unit = std::max<uint32_t>(1, cdb.atomicBoundary ? cdb.atomicBoundary : cdb.blocks);
          if (unit <= config_.atomicUnitBlocks)
            executeWrite(slot, command, cdb, unit,
                         action.landedBlocks >= cdb.blocks ? cdb.blocks : action.landedBlocks / unit * unit);
        }
        slot.status = kStatusTaskAborted;
        slot.senseBytes = 0;
        slot.bytesIn = 0;
        slot.injected = true;
        break;
      case Intervention::Kind::CheckCondition:
        if (action.execute) {
          execute(slot, command, cdb);
          // A recovered error is reported only over a success, and the data still moves; the
          // command's own outcome (a verify's MISCOMPARE, an ILLEGAL REQUEST) stays.
          if (slot.status != kStatusGood) break;
          const uint64_t delivered = slot.bytesIn;
          fail(slot, action.sense);
          slot.bytesIn = delivered;
        } else {
          fail(slot, action.sense);
        }
        slot.injected = true;
        break;
      case Intervention::Kind::Reset:
      case Intervention::Kind::PowerLoss:
        // The command dies with the others; the host learns of it through takeResetEvent() (and
        // takePowerLossEvent()).
        slot.busy = false;
        hook_->dropped(command.tag);
        if (action.kind == Intervention::Kind::Reset) {
          dropOutstanding(false);
          resets_.fetch_add(1, std::memory_order_relaxed);
        } else {
          dropOutstanding(true);
          powerCycles_.fetch_add(1, std::memory_order_relaxed);
          powerLossEvent_ = true;
        }
        resetEvent_ = true;
        return 0;
    }
  }
  // Held back for a few polls when shuffled, so that the queue fills and completions overtake.
  slot.readyAtPoll = pollCount_;
  if (config_.shuffleCompletions) slot.readyAtPoll += splitmix(orderRandom_) % (config_.queueDepth / 2 + 1);
  queue_.push_back(command.tag);
  return 0;
}

bool SimulatedDrive::collectDue(bool wait) {
  auto collect = [this](bool anyPoll) {
    const uint64_t now = queryPerformanceCounter();
    uint64_t earliest = Intervention::kNever;
    candidates_.clear();
    for (uint32_t tag : queue_) {
      const Slot& slot = slots_[tag];
      if (slot.readyAtNs > now) {
        earliest = std::min(earliest, slot.readyAtNs);
        continue;
      }
      if (anyPoll || !config_.shuffleCompletions || slot.readyAtPoll <= pollCount_) candidates_.push_back(tag);
    }
    return earliest == Intervention::kNever ? kMaxDelayWaitNs : std::min(earliest - now, kMaxDelayWaitNs);
  };
  collect(false);
  if (!candidates_.empty() || !wait) return !candidates_.empty();
  const uint64_t sleepNs = collect(true);
  if (!candidates_.empty()) return true;
  std::this_thread::sleep_for(std::chrono::nanoseconds(sleepNs));
  collect(true);
  return !candidates_.empty();
}

bool SimulatedDrive::poll(DeviceCompletion& completion, bool wait) {
  if (queue_.empty()) return false;
  ++pollCount_;
  const uint32_t* candidates = queue_.data();
  uint32_t count = static_cast<uint32_t>(queue_.size());
  uint32_t pick = 0;
  if (delayed_ != 0) {
    // A slow command is not ready before its time and a hung one never; the others go on.
    if (!collectDue(wait)) return false;
    candidates = candidates_.data();
    count = static_cast<uint32_t>(candidates_.size());
    if (config_.shuffleCompletions) pick = static_cast<uint32_t>(splitmix(orderRandom_) % count);
  } else if (config_.shuffleCompletions) {
    candidates_.clear();
    for (uint32_t tag : queue_)
      if (slots_[tag].readyAtPoll <= pollCount_) candidates_.push_back(tag);
    if (!candidates_.empty()) {
      candidates = candidates_.data();
      count = static_cast<uint32_t>(candidates_.size());
    } else if (!wait) {
      return false;
    }
    pick = static_cast<uint32_t>(splitmix(orderRandom_) % count);
  }
  if (hook_) pick = std::min(hook_->orderCompletion(candidates, count, pick), count - 1);
  uint32_t tag = candidates[pick];
  if (firstCompletion_ != UINT32_MAX) {
    if (std::find(queue_.begin(), queue_.end(), firstCompletion_) != queue_.end()) tag = firstCompletion_;
    firstCompletion_ = UINT32_MAX;
  }
  queue_.erase(std::find(queue_.begin(), queue_.end(), tag));

  Slot& slot = slots_[tag];
  completion.tag = tag;
  completion.status = slot.status;
  completion.sense.assign(slot.sense, slot.sense + slot.senseBytes);
  completion.bytesIn = slot.bytesIn;
  completion.injected = slot.injected;
  slot.busy = false;
  if (slot.readyAtNs != 0) {
    slot.readyAtNs = 0;
    --delayed_;
  }
  if (slot.readBlocks != 0 && deliveredData(completion)) commitRead(slot);
  if (hook_) hook_->completed(tag, completion);
  return true;
}

bool SimulatedDrive::deliveredData(const DeviceCompletion& completion) {
  if (completion.status == kStatusGood) return true;
  Kcq kcq;
  return completion.status == kStatusCheckCondition &&
         SenseParser::getKey(completion.sense.data(), completion.sense.size(), kcq) == 0 &&
         kcq.key == kSenseRecoveredError;
}

// What a completed read returned stays: the outstanding writes it saw are no longer undone over
// its blocks (whole atomic units, so that a later cut cannot tear one).
void SimulatedDrive::commitRead(const Slot& read) {
  const uint64_t end = read.readLba + read.readBlocks;
  for (uint32_t tag : queue_) {
    Slot& w = slots_[tag];
    if (w.sequence == 0 || w.sequence > read.readAfter || w.undo.empty()) continue;
    if (w.blockCount != 0 && (w.firstLba >= end || read.readLba >= w.firstLba + w.blockCount)) continue;
    for (size_t i = 0; i < w.undo.size(); ++i) {
      const uint64_t lba = w.undo[i].lba;
      if (w.undo[i].kept || lba < read.readLba || lba >= end) continue;
      const uint64_t unit = w.undo[i].unit;
      for (size_t j = i; j > 0 && w.undo[j - 1].unit == unit; --j) w.undo[j - 1].kept = true;
      for (size_t j = i; j < w.undo.size() && w.undo[j].unit == unit; ++j) w.undo[j].kept = true;
    }
  }
}

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
      // The whole cache is flushed whatever range the command names, as most drives do.
      if (cache_) cache_->flush();
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
  blocksRead_.fetch_add(cdb.blocks, std::memory_order_relaxed);
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
  if (zones_) zones_->wrote(cdb.lba, cdb.blocks, command.lbaStride);
  slot.sequence = ++writeSequence_;
  if (withProtection && !hook_ && !cache_ && !(slot.undoable && config_.keepUndoImages) && stride == 1) {
    // Nothing to intercept, cache or undo: the blocks go to the medium in one copy, as a read
    // takes them out.
    std::memcpy(store_->block(cdb.lba), command.dataOut, blocks * tb);
    for (uint64_t i = 0; i < blocks; ++i) store_->setWriter(cdb.lba + i, slot.sequence);
  } else {
    for (uint64_t i = 0; i < blocks; ++i)
      storeBlock(slot, cdb.lba + i * stride, command.dataOut + i * tb, withProtection, i / unitBlocks);
  }
  blocksWritten_.fetch_add(blocks, std::memory_order_relaxed);
}

void SimulatedDrive::executeVerify(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (cdb.bytchk == 2) return fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
  uint64_t dataBlocks = cdb.bytchk == kBytchkCompare ? cdb.blocks : cdb.bytchk == kBytchkSame ? 1 : 0;
  if (!checkTransfer(slot, command, cdb, dataBlocks)) return;
  blocksRead_.fetch_add(cdb.blocks, std::memory_order_relaxed);
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
  if (zones_ && !unmaps) zones_->wrote(cdb.lba, cdb.blocks, command.lbaStride);
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
  if (cdb.flags & kCdbNdob) {
    std::memset(scratch_.data(), 0, scratch_.size());
    pattern = scratch_.data();
  }
  for (uint64_t i = 0; i < cdb.blocks; ++i)
    storeBlock(slot, cdb.lba + i * stride, pattern, tb == storedBlockBytes_ && !checks, i);
  blocksWritten_.fetch_add(cdb.blocks, std::memory_order_relaxed);
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
    if (cache_) cache_->beforeWrite(*store_, lba + i);
    store_->setWriter(lba + i, slot.sequence);
  }
  store_->zero(lba, blocks);
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
  if (cache_) cache_->beforeWrite(*store_, lba);
  uint8_t* stored = store_->block(lba);
  if (withProtection) {
    std::memcpy(stored, data, storedBlockBytes_);
  } else {
    std::memcpy(stored, data, config_.logicalBlockSize);
    if (config_.protectionInfo) fillProtection(stored + config_.logicalBlockSize, data, config_.logicalBlockSize, sentTo);
  }
  store_->setWriter(lba, slot.sequence);
  if (hook_) hook_->afterStore(context_, lba, stored, storedBlockBytes_);
}

void SimulatedDrive::executeResetWritePointer(Slot& slot, const ParsedCdb& cdb) {
  if (!zones_) return fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
  const bool all = (cdb.flags & kCdbAll) != 0;
  if (!all && !zones_->isZoneStart(cdb.lba)) return fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
  // A reset is not taken back by a later power loss: the write pointer has moved for good.
  slot.undoable = false;
  slot.sequence = ++writeSequence_;
  uint64_t unit = 0;
  for (uint64_t start = all ? 0 : cdb.lba; start < config_.capacityBlocks; start += zones_->zoneBlocks()) {
    unmapRange(slot, start, zones_->zoneLength(start), unit);
    zones_->reset(start);
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
  const uint8_t ascq = checkProtection(block + config_.logicalBlockSize, block, config_.logicalBlockSize, lba);
  if (ascq == 0) return true;
  fail(slot, SenseFields{kSenseAbortedCommand, kAscProtectionCheck, ascq, true, lba, 0});
  return false;
}

void SimulatedDrive::fail(Slot& slot, uint8_t key, uint8_t asc, uint8_t ascq) {
  SenseFields sense;
  sense.key = key;
  sense.asc = asc;
  sense.ascq = ascq;
  fail(slot, sense);
}

void SimulatedDrive::fail(Slot& slot, const SenseFields& sense) {
  slot.status = kStatusCheckCondition;
  slot.senseBytes = static_cast<uint8_t>(buildFixedSense(slot.sense, sizeof(slot.sense), sense));
  slot.bytesIn = 0;
}

bool SimulatedDrive::rangeValid(uint64_t lba, uint64_t blocks) const {
  return lba < config_.capacityBlocks && blocks <= config_.capacityBlocks - lba;
}

uint32_t SimulatedDrive::transferBlockBytes(const ParsedCdb& cdb) const {
  return config_.protectionInfo && cdb.protect != 0 ? storedBlockBytes_ : config_.logicalBlockSize;
}

void SimulatedDrive::dropOutstanding(bool powerLost) {
  const bool cacheLost = powerLost && cache_;
  if (hook_)
    for (uint32_t tag : queue_) hook_->dropped(tag);
  // Newest first, so that an undone block gets back exactly what the older command left.
  for (size_t i = queue_.size(); !cacheLost && i-- > 0;) {
    Slot& slot = slots_[queue_[i]];
    if (slot.sequence == 0 || !slot.undoable || slot.undo.empty()) continue;
    uint64_t units = slot.undo.back().unit + 1;
    uint64_t keep = units;  // the transfer finished before the cut
    switch (splitmix(fateRandom_) % 3) {
      case 1:
        keep = 0;  // nothing reached the medium
        break;
      case 2:
        keep = units > 1 ? 1 + splitmix(fateRandom_) % (units - 1) : 0;  // cut part-way
        break;
    }
    undoSlot(slot, keep);
  }
  for (uint32_t tag : queue_) {
    slots_[tag].busy = false;
    slots_[tag].readyAtNs = 0;
  }
  delayed_ = 0;
  queue_.clear();
  if (cacheLost) {
    cache_->loseContents(*store_);
    if (hook_) hook_->cacheLost();
  }
}

bool SimulatedDrive::overlapsOutstandingWrite(uint64_t lba, uint64_t blocks) const {
  for (uint32_t tag : queue_) {
    const Slot& w = slots_[tag];
    if (w.sequence != 0 && w.blockCount != 0 && lba < w.firstLba + w.blockCount && w.firstLba < lba + blocks)
      return true;
  }
  return false;
}

void SimulatedDrive::undoSlot(Slot& slot, uint64_t keepUnits) {
  for (size_t i = slot.undo.size(); i-- > 0;) {
    const Slot::UndoEntry& entry = slot.undo[i];
    if (entry.unit < keepUnits) break;
    if (entry.kept || store_->writer(entry.lba) != slot.sequence) continue;  // read since, or a newer write covers it
    std::memcpy(store_->block(entry.lba), slot.images.data() + i * storedBlockBytes_, storedBlockBytes_);
    store_->setWriter(entry.lba, entry.writer);
  }
}

int SimulatedDrive::powerToggle() {
  dropOutstanding(true);
  powerCycles_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int SimulatedDrive::reset() {
  dropOutstanding(false);
  resets_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

bool SimulatedDrive::takeResetEvent() {
  bool event = resetEvent_;
  resetEvent_ = false;
  return event;
}

bool SimulatedDrive::takePowerLossEvent() {
  bool event = powerLossEvent_;
  powerLossEvent_ = false;
  return event;
}

int SimulatedDrive::ioctl(uint32_t request, uint32_t count, void** args) {
  auto arg = [&](uint32_t i) -> void* { return args && i < count ? args[i] : nullptr; };
  switch (request) {
    case kIoctlDeviceProperty:
    case kIoctlGetSetting:
    case kIoctlSetSetting: {
      auto* value = static_cast<uint32_t*>(arg(0));
      if (!value) return VARNOX_ERR_BAD_VALUE;
      if (request == kIoctlDeviceProperty) *value = config_.deviceProperty;
      if (request == kIoctlGetSetting) *value = setting_;
      if (request == kIoctlSetSetting) setting_ = *value;
      return 0;
    }
    case kIoctlMiscompareLba: {
      auto* lba = static_cast<uint64_t*>(arg(1));
      if (!arg(0) || !lba) return VARNOX_ERR_BAD_VALUE;
      lastMiscompareLba_ = *lba;
      const uint64_t physical = *lba >> config_.log2LogicalPerPhysical << config_.log2LogicalPerPhysical;
      // Only the first failures of a run matter to whoever reads the record.
      if (miscompareLog_.size() < kFaultRecordLimit) miscompareLog_.push_back({*lba, physical});
      *lba = physical;
      return 0;
    }
    default:
      return VARNOX_ERR_NOT_SUPPORTED;
  }
}

int SimulatedDrive::send(const void* request, size_t size) {
  if (int status = checkShowstopRequest(request, size); status != 0) return status;
  stopped_.store(true, std::memory_order_relaxed);
  return 0;
}

DeviceStats SimulatedDrive::stats() const {
  DeviceStats s;
  s.commands = commands_.load(std::memory_order_relaxed);
  s.blocksWritten = blocksWritten_.load(std::memory_order_relaxed);
  s.blocksRead = blocksRead_.load(std::memory_order_relaxed);
  s.powerCycles = powerCycles_.load(std::memory_order_relaxed);
  s.resets = resets_.load(std::memory_order_relaxed);
  s.faultsInjected = faults_.load(std::memory_order_relaxed) + (hook_ ? hook_->injected() : 0);
  return s;
}

std::vector<InjectedFault> SimulatedDrive::injectedFaults() const {
  return ruleFaults_ ? ruleFaults_->records() : std::vector<InjectedFault>{};
}

std::vector<uint64_t> SimulatedDrive::faultRuleCounts() const {
  return ruleFaults_ ? ruleFaults_->firedCounts() : std::vector<uint64_t>{};
}

std::vector<FaultTally> SimulatedDrive::faultTallies() const {
  return ruleFaults_ ? ruleFaults_->tallies() : std::vector<FaultTally>{};
}

std::string SimulatedDrive::describe() const {
  std::string text = "simulated drive, " + std::to_string(config_.capacityBlocks) + " x " +
                     std::to_string(config_.logicalBlockSize) + "-byte blocks";
  if (config_.protectionInfo) text += " with 8 protection bytes";
  if (config_.writeCache != WriteCacheMode::WriteThrough)
    text += std::string(", ") + writeCacheModeName(config_.writeCache) + " write cache";
  return text;
}

}  // namespace varnox::sim
