// The simulated drive's queue: commands in, faults consulted, completions out, device requests.
#include "sim/SimulatedDrive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim/BlockStore.h"
#include "sim/PersistentMedium.h"
#include "sim/RuleFaults.h"
#include "sim/SimulatedDriveSlot.h"
#include "sim/WriteCache.h"
#include "sim/ZoneModel.h"
#include "tavik/Clock.h"
#include "tavik/Errors.h"
#include "tavik/SenseParser.h"
#include "tavik/Tavik.h"

namespace varnox::sim {
namespace {

// The longest a waiting poll sleeps when only slow or hung commands are outstanding: the drive
// thread must come back to check its command timeout.
constexpr uint64_t kMaxDelayWaitNs = 10'000'000;

}  // namespace

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
  scratch_.resize(storedBlockBytes_);
  auto whole = std::make_unique<Queue>();
  whole->depth = config.queueDepth;
  whole->tags.reserve(config.queueDepth);
  whole->candidates.reserve(config.queueDepth);
  // Two streams, so that the completion order does not change when a power loss draws outcomes.
  whole->orderRandom = config.seed ^ 0x6F72646572ull;
  queues_.push_back(std::move(whole));
  fateRandom_ = config.seed ^ 0x66617465ull;
}

SimulatedDrive::~SimulatedDrive() = default;

std::unique_ptr<SimulatedDrive> SimulatedDrive::create(const SimConfig& config, std::string& error,
                                                       bool* refused) {
  if (refused) *refused = false;
  std::string problem = validateSimConfig(config);
  if (!problem.empty()) {
    error = problem;
    if (refused) *refused = true;
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
  if (!config.medium.empty()) {
    const MediumShape shape{config.capacityBlocks, config.logicalBlockSize,
                            config.protectionInfo ? kProtectionInfoBytes : 0, config.zoneBlocks,
                            static_cast<uint32_t>(config.zones)};
    PersistentMedium::Problem trouble;
    std::unique_ptr<PersistentMedium> medium =
        PersistentMedium::open(config.medium, shape, config.mediumReadOnly, trouble, error);
    if (trouble != PersistentMedium::Problem::None) {
      if (refused) *refused = trouble == PersistentMedium::Problem::Refused;
      return nullptr;
    }
    if (medium) {
      std::vector<uint64_t> pointers;
      if (!medium->load(*drive->store_, drive->zones_ ? &pointers : nullptr, error)) return nullptr;
      if (!pointers.empty()) drive->zones_->restorePointers(std::move(pointers));
      // Read-only, the drive starts from the file but keeps its changes in memory.
      if (!config.mediumReadOnly) drive->medium_ = std::move(medium);
    }
  }
  if (!config.faults.empty()) {
    drive->ruleFaults_ = std::make_unique<RuleFaults>(config.faults, config.seed, config.capacityBlocks,
                                                      config.logicalBlockSize, drive->store_.get());
    drive->hook_ = drive->ruleFaults_.get();
  }
  return drive;
}

const uint8_t* SimulatedDrive::peekBlock(uint64_t lba) const {
  return lba < config_.capacityBlocks ? store_->block(lba) : nullptr;
}

int SimulatedDrive::submit(const DeviceCommand& command) {
  const int status = submitCommand(command);
  if (medium_) persist(status == 0 && command.tag < kTagLimit ? &slots_[command.tag] : nullptr);
  return status;
}

void SimulatedDrive::persist(Slot* slot) {
  bool written = true;
  if (config_.writeCache != WriteCacheMode::Volatile && medium_->blocksChanged())
    written = medium_->writeBlocks(*store_);
  if (zones_) written = medium_->writePointers(zones_->pointers()) && written;
  if (!written) mediumWriteFailed(slot);
}

void SimulatedDrive::mediumWriteFailed(Slot* slot) {
  // The drive has no log of its own; the sense alone would not say which file failed.
  std::fprintf(stderr, "varnox: %s\n", medium_->error().c_str());
  if (slot != nullptr && slot->busy) fail(*slot, kSenseMediumError, kAscWriteError, 0);
}

void SimulatedDrive::zonesWrote(uint64_t lba, uint64_t blocks, uint32_t stride) {
  zones_->wrote(lba, blocks, stride);
  if (medium_ && blocks != 0)
    medium_->pointersChanged(lba / zones_->zoneBlocks(),
                             (lba + (blocks - 1) * stride) / zones_->zoneBlocks());
}

bool SimulatedDrive::splitQueues(uint32_t groups, uint32_t tagsPerGroup) {
  // Faults see every command in one order, and the kept medium and the zones' write pointers are
  // the whole drive's: those drives take one call at a time.
  if (hook_ || medium_ || zones_ || groups == 0 || tagsPerGroup == 0 ||
      uint64_t{groups} * tagsPerGroup > kTagLimit)
    return false;
  if (groups == 1) return true;
  for (const auto& queue : queues_)
    if (!queue->tags.empty()) return false;
  const uint64_t seed = queues_.front()->orderRandom;
  queues_.clear();
  groupTags_ = tagsPerGroup;
  // Every tag belongs to a group: the tags past the slices' make groups nobody uses.
  const uint32_t count = (kTagLimit + tagsPerGroup - 1) / tagsPerGroup;
  for (uint32_t i = 0; i < count; ++i) {
    auto queue = std::make_unique<Queue>();
    queue->depth = std::max<uint32_t>(1, std::min(tagsPerGroup, config_.queueDepth / groups));
    queue->tags.reserve(queue->depth);
    queue->candidates.reserve(queue->depth);
    // Group 0 keeps the drive's order stream; each other group draws its own.
    queue->orderRandom = seed + i * 0xD1B54A32D192ED03ull;
    queues_.push_back(std::move(queue));
  }
  return true;
}

SimulatedDrive::Queue& SimulatedDrive::queueOf(const Slot& slot) {
  return queueOf(static_cast<uint32_t>(&slot - slots_.data()));
}

uint32_t SimulatedDrive::outstanding() const {
  uint32_t count = 0;
  for (const auto& queue : queues_) count += queue->size.load(std::memory_order_relaxed);
  return count;
}

int SimulatedDrive::submitCommand(const DeviceCommand& command) {
  if (stopped()) return VARNOX_ERR_DEVICE;
  if (command.tag >= kTagLimit || command.cdbLength == 0 || command.cdbLength > sizeof(command.cdb) ||
      command.lbaStride == 0)
    return VARNOX_ERR_BAD_VALUE;
  Slot& slot = slots_[command.tag];
  if (slot.busy) return VARNOX_ERR_BAD_VALUE;
  Queue& queue = queueOf(command.tag);
  if (queue.tags.size() >= queue.depth) return VARNOX_ERR_GENERIC;

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
  queue.commands.fetch_add(1, std::memory_order_relaxed);

  ParsedCdb cdb;
  // The hook's context: a split drive has no hook, and its groups leave it alone.
  if (queues_.size() == 1) {
    context_ = CommandContext{command.tag, commandIndex_++, &cdb};
    context_.dataOut = command.dataOut;
    context_.dataOutBytes = command.dataOutBytes;
  }
  if (parseCdb(command.cdb, command.cdbLength, cdb) != 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
  } else {
    const uint32_t stride = takesLbaStride(cdb.opcode) ? command.lbaStride : 1;
    if (queues_.size() == 1) context_.lbaStride = stride;
    if (cdb.opcode == kOpWrite16 || cdb.opcode == kOpWriteAtomic16 || cdb.opcode == kOpWriteSame16) {
      // The span of a skip write: a read between its blocks is counted as overlapping, which
      // only widens what a reorder fault may pick.
      slot.firstLba = cdb.lba;
      slot.blockCount = strideSpan(cdb.blocks, stride);
    } else if (cdb.opcode == kOpRead16 || cdb.opcode == kOpVerify16) {
      slot.readLba = cdb.lba;
      slot.readBlocks = strideSpan(cdb.blocks, stride);
      slot.readAfter = writeSequence_.load(std::memory_order_relaxed);
    }
    Intervention action;
    if (hook_) {
      if (cdb.opcode == kOpRead16)
        context_.overlapsOutstandingWrite = overlapsOutstandingWrite(cdb.lba, strideSpan(cdb.blocks, stride));
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
  slot.readyAtPoll = queue.pollCount;
  if (config_.shuffleCompletions) slot.readyAtPoll += splitmix(queue.orderRandom) % (queue.depth / 2 + 1);
  queue.tags.push_back(command.tag);
  queue.size.store(static_cast<uint32_t>(queue.tags.size()), std::memory_order_relaxed);
  return 0;
}

bool SimulatedDrive::collectDue(Queue& queue, bool wait, uint32_t firstTag, uint32_t endTag) {
  std::vector<uint32_t>& candidates = queue.candidates;
  auto collect = [this, &queue, &candidates, firstTag, endTag](bool anyPoll) {
    const uint64_t now = queryPerformanceCounter();
    uint64_t earliest = Intervention::kNever;
    candidates.clear();
    for (uint32_t tag : queue.tags) {
      if (tag < firstTag || tag >= endTag) continue;
      const Slot& slot = slots_[tag];
      if (slot.readyAtNs > now) {
        earliest = std::min(earliest, slot.readyAtNs);
        continue;
      }
      if (anyPoll || !config_.shuffleCompletions || slot.readyAtPoll <= queue.pollCount)
        candidates.push_back(tag);
    }
    return earliest == Intervention::kNever ? kMaxDelayWaitNs : std::min(earliest - now, kMaxDelayWaitNs);
  };
  collect(false);
  if (!candidates.empty() || !wait) return !candidates.empty();
  const uint64_t sleepNs = collect(true);
  if (!candidates.empty()) return true;
  std::this_thread::sleep_for(std::chrono::nanoseconds(sleepNs));
  collect(true);
  return !candidates.empty();
}

uint32_t SimulatedDrive::neverCompleting() const {
  // Delays come from hooks, and a drive with a hook keeps its queue whole.
  if (delayed_ == 0) return 0;
  const std::vector<uint32_t>& tags = queues_.front()->tags;
  return static_cast<uint32_t>(std::count_if(tags.begin(), tags.end(), [this](uint32_t tag) {
    return slots_[tag].readyAtNs == Intervention::kNever;
  }));
}

bool SimulatedDrive::poll(DeviceCompletion& completion, bool wait) {
  return pollTags(completion, wait, 0, kTagLimit);
}

bool SimulatedDrive::pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag) {
  endTag = std::min(endTag, kTagLimit);
  if (firstTag >= endTag) return false;
  const uint32_t first = firstTag / groupTags_, last = (endTag - 1) / groupTags_;
  if (first == last) return pollQueue(first, completion, wait, firstTag, endTag);
  // A range across groups of a split drive (never a slice's): each group in turn, waiting only
  // when none has one ready.
  for (uint32_t g = first; g <= last; ++g)
    if (pollQueue(g, completion, false, firstTag, endTag)) return true;
  for (uint32_t g = first; wait && g <= last; ++g)
    if (pollQueue(g, completion, true, firstTag, endTag)) return true;
  return false;
}

bool SimulatedDrive::pollQueue(uint32_t group, DeviceCompletion& completion, bool wait, uint32_t firstTag,
                               uint32_t endTag) {
  Queue& queue = *queues_[group];
  std::vector<uint32_t>& tags = queue.tags;
  if (tags.empty()) return false;
  const uint32_t groupFirst = group * groupTags_;
  const bool everyTag = firstTag <= groupFirst && endTag >= std::min(groupFirst + groupTags_, kTagLimit);
  auto inRange = [firstTag, endTag](uint32_t tag) { return tag >= firstTag && tag < endTag; };
  if (!everyTag && std::none_of(tags.begin(), tags.end(), inRange)) return false;
  ++queue.pollCount;
  std::vector<uint32_t>& ready = queue.candidates;
  const uint32_t* candidates = tags.data();
  uint32_t count = static_cast<uint32_t>(tags.size());
  uint32_t pick = 0;
  if (delayed_ != 0) {
    // A slow command is not ready before its time and a hung one never; the others go on.
    if (!collectDue(queue, wait, firstTag, endTag)) return false;
    candidates = ready.data();
    count = static_cast<uint32_t>(ready.size());
    if (config_.shuffleCompletions) pick = static_cast<uint32_t>(splitmix(queue.orderRandom) % count);
  } else if (config_.shuffleCompletions) {
    ready.clear();
    for (uint32_t tag : tags)
      if (inRange(tag) && slots_[tag].readyAtPoll <= queue.pollCount) ready.push_back(tag);
    if (!ready.empty()) {
      candidates = ready.data();
      count = static_cast<uint32_t>(ready.size());
    } else if (!wait) {
      return false;
    } else if (!everyTag) {
      // A waiting poll takes one at once: any of the range.
      for (uint32_t tag : tags)
        if (inRange(tag)) ready.push_back(tag);
      candidates = ready.data();
      count = static_cast<uint32_t>(ready.size());
    }
    pick = static_cast<uint32_t>(splitmix(queue.orderRandom) % count);
  } else if (!everyTag) {
    ready.clear();
    for (uint32_t tag : tags)
      if (inRange(tag)) ready.push_back(tag);
    candidates = ready.data();
    count = static_cast<uint32_t>(ready.size());
  }
  if (hook_) pick = std::min(hook_->orderCompletion(candidates, count, pick), count - 1);
  uint32_t tag = candidates[pick];
  if (firstCompletion_ != UINT32_MAX && inRange(firstCompletion_)) {
    if (std::find(tags.begin(), tags.end(), firstCompletion_) != tags.end()) tag = firstCompletion_;
    firstCompletion_ = UINT32_MAX;
  }
  tags.erase(std::find(tags.begin(), tags.end(), tag));
  queue.size.store(static_cast<uint32_t>(tags.size()), std::memory_order_relaxed);

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

bool SimulatedDrive::overlapsOutstandingWrite(uint64_t lba, uint64_t blocks) const {
  // Asked with a hook only, when the queue is whole.
  for (uint32_t tag : queues_.front()->tags) {
    const Slot& w = slots_[tag];
    if (w.sequence != 0 && w.blockCount != 0 && lba < w.firstLba + w.blockCount && w.firstLba < lba + blocks)
      return true;
  }
  return false;
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
  for (const auto& queue : queues_) {
    s.commands += queue->commands.load(std::memory_order_relaxed);
    s.blocksWritten += queue->blocksWritten.load(std::memory_order_relaxed);
    s.blocksRead += queue->blocksRead.load(std::memory_order_relaxed);
  }
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
