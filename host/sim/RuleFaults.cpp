#include "sim/RuleFaults.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace varnox::sim {
namespace {

constexpr size_t kRememberedBlocks = 64;
// A unit error code the agent does not excuse as a known non-splice condition.
constexpr uint16_t kHardErrorUec = 0x4401;

int kindIndex(const std::string& name) {
  for (size_t i = 0; i < kFaultKindNames.size(); ++i)
    if (name == kFaultKindNames[i]) return static_cast<int>(i);
  return -1;
}

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool hasRange(const ParsedCdb& c) {
  return c.opcode == kOpRead16 || c.opcode == kOpVerify16 || c.opcode == kOpWriteSame16 || isDataWrite(c);
}

uint32_t atomicUnit(const ParsedCdb& c) {
  return c.atomicBoundary ? c.atomicBoundary : c.blocks;
}

bool overlap(uint64_t a, uint64_t aBlocks, uint64_t b, uint64_t bBlocks) {
  return a < b + bBlocks && b < a + aBlocks;
}

SenseFields hardError() {
  SenseFields sense{kSenseHardwareError, 0x44, 0x00, false, 0, kHardErrorUec};
  return sense;
}

}  // namespace

bool isDataWrite(const ParsedCdb& c) {
  return c.opcode == kOpWrite16 || c.opcode == kOpWriteAtomic16 ||
         (c.opcode == kOpWriteSame16 && !(c.flags & (kCdbUnmap | kCdbNdob)));
}

std::string faultRuleError(const FaultRule& rule, uint64_t capacityBlocks) {
  if (kindIndex(rule.kind) < 0) {
    std::string known;
    for (const char* name : kFaultKindNames) known += std::string(known.empty() ? "" : ", ") + name;
    return "kind \"" + rule.kind + "\" is not one of " + known;
  }
  if (rule.lba && *rule.lba >= capacityBlocks)
    return "lba = " + std::to_string(*rule.lba) + " is beyond the drive's " + std::to_string(capacityBlocks) +
           " blocks";
  if (rule.rate && !(*rule.rate > 0 && *rule.rate <= 1))
    return "rate = " + std::to_string(*rule.rate) + " is not a probability above 0 and at most 1";
  if (rule.kind == "misdirect" && capacityBlocks < 2) return "misdirect needs at least two blocks";
  if (rule.kind == "slow" && !(rule.delaySeconds > 0)) return "slow needs a delay longer than 0 s";
  if (rule.kind != "slow" && rule.delaySeconds != 0) return "delay applies only to kind \"slow\"";
  return {};
}

RuleFaults::RuleFaults(std::vector<FaultRule> rules, uint64_t seed, uint64_t capacityBlocks,
                       uint32_t logicalBlockSize, const BlockStore* store)
    : random_(seed ^ 0x6661756C74ull),
      capacityBlocks_(capacityBlocks),
      logicalBlockSize_(logicalBlockSize),
      store_(store),
      exposure_(records_, logicalBlockSize) {
  for (FaultRule& given : rules) {
    Kind kind = static_cast<Kind>(kindIndex(given.kind));
    if (kind == Kind::StaleRead && store_) keepOldBlocks_ = true;
    rules_.push_back(Rule{std::move(given), kind, 0});
  }
  if (keepOldBlocks_) {
    oldBlocks_.resize(kRememberedBlocks);
    // A stale read aimed at a fixed block always finds that block's previous content.
    for (const Rule& rule : rules_)
      if (rule.kind == Kind::StaleRead && rule.given.lba) pinned_.push_back(OldBlock{*rule.given.lba, {}, false});
    for (OldBlock& old : oldBlocks_) old.bytes.resize(store_->blockBytes());
    for (OldBlock& old : pinned_) old.bytes.resize(store_->blockBytes());
  }
  records_.reserve(2 * kFaultRecordLimit);  // armedRecord_ points into it
}

uint64_t RuleFaults::random() {
  return splitmix(random_);
}

const RuleFaults::OldBlock* RuleFaults::oldVersion(uint64_t lba) const {
  for (const OldBlock& old : pinned_)
    if (old.lba == lba && old.saved) return &old;
  // Newest first: the content before the block's latest write.
  for (size_t i = 0; i < oldBlocks_.size(); ++i) {
    const OldBlock& old = oldBlocks_[(oldNext_ + oldBlocks_.size() - 1 - i) % oldBlocks_.size()];
    if (old.lba == lba) return &old;
  }
  return nullptr;
}

int RuleFaults::recordIndex() const {
  return armedRecord_ ? static_cast<int>(armedRecord_ - records_.data()) : -1;
}

std::vector<FaultTally> RuleFaults::tallies() const {
  std::vector<FaultTally> out;
  for (size_t k = 0; k < kFaultKindNames.size(); ++k) {
    const bool used = std::any_of(rules_.begin(), rules_.end(), [&](const Rule& r) { return static_cast<size_t>(r.kind) == k; });
    if (!used) continue;
    const bool corrupting = isCorrupting(static_cast<Kind>(k));
    out.push_back(FaultTally{kFaultKindNames[k], corrupting, injectedByKind_[k],
                             corrupting ? exposure_.exposed(static_cast<int>(k)) : 0});
  }
  return out;
}

void RuleFaults::tookEffect(Kind kind) {
  ++injectedByKind_[static_cast<size_t>(kind)];
}

InjectedFault* RuleFaults::record(Kind kind, const CommandContext& ctx, uint64_t lba) {
  // The corrupting kinds have their own share, so that a flood of benign faults cannot crowd
  // out the records a proof needs.
  size_t& kept = isCorrupting(kind) ? corruptingRecords_ : benignRecords_;
  if (kept >= kFaultRecordLimit) return nullptr;
  ++kept;
  InjectedFault& r = records_.emplace_back();
  r.kind = kFaultKindNames[static_cast<size_t>(kind)];
  r.command = ctx.index;
  r.firstLba = ctx.cdb->lba;
  r.blocks = ctx.cdb->blocks;
  r.lba = lba;
  return &r;
}

bool RuleFaults::matches(const Rule& rule, const CommandContext& ctx, uint64_t& target) {
  const ParsedCdb& c = *ctx.cdb;
  if (!c.known) return false;
  if (rule.given.count != 0 && rule.fired >= rule.given.count) return false;
  if (rule.given.after && ctx.index < *rule.given.after) return false;
  // A skip command's blocks are every lbaStride-th LBA from its first; the faults hit only those.
  const uint64_t stride = ctx.lbaStride;
  const uint64_t span = strideSpan(c.blocks, ctx.lbaStride);
  auto covers = [&](uint64_t lba) {
    return lba >= c.lba && (lba - c.lba) % stride == 0 && (lba - c.lba) / stride < c.blocks;
  };
  const bool ranged = hasRange(c) && c.blocks > 0 && c.lba < capacityBlocks_ && span <= capacityBlocks_ - c.lba;
  switch (rule.kind) {
    case Kind::Corrupt:
    case Kind::LostWrite:
    case Kind::Misdirect:
    case Kind::PiCorrupt:
      if (!ranged || !isDataWrite(c)) return false;
      break;
    case Kind::StaleRead:
      if (!ranged || c.opcode != kOpRead16) return false;
      break;
    case Kind::Reorder:
      if (!ranged || c.opcode != kOpRead16 || !ctx.overlapsOutstandingWrite) return false;
      break;
    case Kind::MediumError:
      if (!ranged || (c.opcode != kOpRead16 && c.opcode != kOpVerify16)) return false;
      break;
    case Kind::Abort:
    case Kind::HardError:
    case Kind::Recovered:
      if (!ranged) return false;
      break;
    case Kind::TornAtomic:
      if (!ranged || c.opcode != kOpWriteAtomic16 || std::min(atomicUnit(c), c.blocks) < 2) return false;
      break;
    case Kind::Splice:
      if (!ranged || c.opcode != kOpWrite16 || c.blocks < 2) return false;
      break;
    case Kind::Reset:
    case Kind::PowerLoss:
    case Kind::Hang:
    case Kind::Slow:
      break;
  }
  if (rule.given.lba) {
    if (!ranged || !covers(*rule.given.lba)) return false;
    target = *rule.given.lba;
    if (rule.kind == Kind::StaleRead && !oldVersion(target)) return false;
  } else if (rule.kind == Kind::StaleRead) {
    // Only a block whose earlier content is still known can be read stale.
    const OldBlock* found = nullptr;
    for (const OldBlock& old : oldBlocks_)
      if (covers(old.lba)) found = &old;
    if (!found) return false;
    target = found->lba;
  } else if (ranged) {
    target = c.lba + random() % c.blocks * stride;
  }
  if (rule.given.rate && static_cast<double>(random() >> 11) * 0x1.0p-53 >= *rule.given.rate) return false;
  return true;
}

bool RuleFaults::touchesSplice(const ParsedCdb& c) {
  if (spliced_.empty() || !c.known) return false;
  if (c.opcode == kOpRead16 || c.opcode == kOpVerify16) {
    for (const Range& r : spliced_)
      if (overlap(c.lba, c.blocks, r.lba, r.blocks)) return true;
  } else if (isDataWrite(c)) {
    std::erase_if(spliced_, [&](const Range& r) { return c.lba <= r.lba && r.lba + r.blocks <= c.lba + c.blocks; });
  }
  return false;
}

Intervention RuleFaults::beforeCommand(const CommandContext& ctx) {
  armedCommand_ = UINT64_MAX;
  armedRecord_ = nullptr;
  Intervention action;
  const ParsedCdb& c = *ctx.cdb;
  exposure_.accepted(ctx);
  if (touchesSplice(c)) {
    action.kind = Intervention::Kind::CheckCondition;
    action.sense = hardError();
    return action;
  }
  // A data fault (on the blocks) and a command fault (on the status) may hit the same command,
  // so that a corruption can land in a write whose outcome the host cannot know.
  bool blocksArmed = false;
  for (Rule& rule : rules_) {
    const bool onBlocks = rule.kind == Kind::Corrupt || rule.kind == Kind::LostWrite ||
                          rule.kind == Kind::Misdirect || rule.kind == Kind::StaleRead ||
                          rule.kind == Kind::TornAtomic || rule.kind == Kind::PiCorrupt;
    const bool onCommand = !onBlocks || rule.kind == Kind::TornAtomic;
    if ((onBlocks && blocksArmed) || (onCommand && action.kind != Intervention::Kind::None)) continue;
    uint64_t target = 0;
    if (!matches(rule, ctx, target)) continue;
    ++rule.fired;
    InjectedFault* recorded = record(rule.kind, ctx, target);
    // A corrupting fault counts where it changes data (a write aborted before its block does not).
    if (!onBlocks) tookEffect(rule.kind);
    if (onBlocks) {
      blocksArmed = true;
      armedKind_ = rule.kind;
      armedCommand_ = ctx.index;
      armedLba_ = target;
      armedRecord_ = recorded;
    }
    switch (rule.kind) {
      case Kind::Corrupt:
      case Kind::LostWrite:
      case Kind::Misdirect:
      case Kind::StaleRead:
      case Kind::PiCorrupt:
        silent_.fetch_add(1, std::memory_order_relaxed);
        break;
      case Kind::Abort:
        action.kind = Intervention::Kind::Abort;
        action.landedBlocks = isDataWrite(c) ? random() % (uint64_t{c.blocks} + 1) : 0;
        break;
      case Kind::MediumError:
        action.kind = Intervention::Kind::CheckCondition;
        action.sense = SenseFields{kSenseMediumError, 0x11, 0x00, true, target, 0};
        break;
      case Kind::HardError:
        action.kind = Intervention::Kind::CheckCondition;
        action.sense = hardError();
        break;
      case Kind::Recovered:
        action.kind = Intervention::Kind::CheckCondition;
        action.sense = SenseFields{kSenseRecoveredError, 0x18, 0x00, true, target, 0};
        action.execute = true;
        break;
      case Kind::TornAtomic: {
        // Units in the command's block indices, which a skip command maps to every other LBA.
        const uint64_t stride = ctx.lbaStride;
        uint64_t unit = atomicUnit(c);
        uint64_t end = c.blocks;
        uint64_t unitStart = (target - c.lba) / stride / unit * unit;
        if (end - unitStart < 2) unitStart = 0;  // the last unit is a single block
        uint64_t unitEnd = std::min(unitStart + unit, end);
        armedLba_ = c.lba + (unitStart + 1 + random() % (unitEnd - unitStart - 1)) * stride;
        armedUnit_ = c.lba + unitStart * stride;
        armedEnd_ = c.lba + (unitEnd - 1) * stride + 1;
        if (recorded) recorded->lba = armedLba_;
        action.kind = Intervention::Kind::Abort;
        action.landedBlocks = unitEnd;
        break;
      }
      case Kind::Reorder:
        action.kind = Intervention::Kind::Reorder;
        break;
      case Kind::Reset:
        action.kind = Intervention::Kind::Reset;
        break;
      case Kind::PowerLoss:
        action.kind = Intervention::Kind::PowerLoss;
        break;
      case Kind::Hang:
      case Kind::Slow:
        action.kind = Intervention::Kind::Delay;
        action.delayNs = rule.kind == Kind::Hang ? Intervention::kNever
                                                 : static_cast<uint64_t>(std::min(rule.given.delaySeconds, 1e9) * 1e9);
        if (recorded) recorded->lba = c.lba;  // the whole command
        break;
      case Kind::Splice:
        action.kind = Intervention::Kind::Abort;
        action.landedBlocks = 1 + random() % (uint64_t{c.blocks} - 1);
        spliced_.push_back(Range{c.lba, c.blocks});
        exposure_.splice(ctx, static_cast<int>(Kind::Splice), c.lba, c.blocks,
                         recorded ? static_cast<int>(recorded - records_.data()) : -1);
        break;
    }
  }
  return action;
}

void RuleFaults::beforeStore(const CommandContext& ctx, StoreTarget& target) {
  bool misdirected = false;
  if (ctx.index == armedCommand_) {
    if (armedKind_ == Kind::LostWrite && target.lba == armedLba_) {
      target.store = false;
      tookEffect(armedKind_);
      exposure_.blockFault(ctx, static_cast<int>(armedKind_), armedLba_, recordIndex(), false, false);
    } else if (armedKind_ == Kind::Misdirect && target.lba == armedLba_) {
      target.lba = (armedLba_ + 1 + random() % std::min<uint64_t>(1024, capacityBlocks_ - 1)) % capacityBlocks_;
      misdirected = true;
      if (armedRecord_) armedRecord_->landedAt = target.lba;
      tookEffect(armedKind_);
      exposure_.blockFault(ctx, static_cast<int>(armedKind_), armedLba_, recordIndex(), false, false);
    } else if (armedKind_ == Kind::TornAtomic && target.lba >= armedLba_ && target.lba < armedEnd_) {
      target.store = false;
      if (target.lba == armedLba_) {
        tookEffect(armedKind_);
        exposure_.tornUnit(ctx, static_cast<int>(armedKind_), armedUnit_, armedEnd_, armedLba_, recordIndex());
      }
    }
  }
  if (keepOldBlocks_ && target.store) {
    OldBlock* old = nullptr;
    for (OldBlock& p : pinned_)
      if (p.lba == target.lba) old = &p;
    if (old == nullptr) {
      old = &oldBlocks_[oldNext_];
      oldNext_ = (oldNext_ + 1) % oldBlocks_.size();
      const uint64_t leaving = old->lba;
      old->lba = target.lba;
      // The oracle follows exactly the blocks whose old content is kept.
      if (leaving != target.lba && leaving != UINT64_MAX && !oldVersion(leaving)) exposure_.forget(leaving);
    }
    old->saved = true;
    std::memcpy(old->bytes.data(), store_->block(target.lba), old->bytes.size());
    exposure_.watch(ctx, target.lba, misdirected);
  }
}

void RuleFaults::afterStore(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) {
  if (ctx.index != armedCommand_ || lba != armedLba_) return;
  if (armedKind_ != Kind::Corrupt && (armedKind_ != Kind::PiCorrupt || bytes <= logicalBlockSize_)) return;
  // The guard (bytes 0-1) or the reference tag (4-7) of the protection bytes: the application
  // tag is not checked, so damage there would go unseen by design.
  static constexpr uint32_t kCheckedPiBytes[] = {0, 1, 4, 5, 6, 7};
  const uint32_t offset = static_cast<uint32_t>(
      armedKind_ == Kind::Corrupt ? random() % logicalBlockSize_ : logicalBlockSize_ + kCheckedPiBytes[random() % 6]);
  block[offset] ^= 0xA5;
  if (armedRecord_) {
    armedRecord_->byteOffset = static_cast<int32_t>(offset);
    armedRecord_->xorMask = 0xA5;
  }
  tookEffect(armedKind_);
  // Damaged protection bytes reach the host as the drive's own check failing, not as data a
  // read delivers: the data oracle does not count them (the pi-corrupt case names its exit).
  if (armedKind_ == Kind::Corrupt)
    exposure_.blockFault(ctx, static_cast<int>(Kind::Corrupt), lba, recordIndex(), true,
                         ctx.cdb->opcode == kOpWriteAtomic16);
  armedCommand_ = UINT64_MAX;  // one block per firing, also when a WRITE SAME repeats the LBA
}

void RuleFaults::afterLoad(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) {
  if (ctx.index != armedCommand_ || armedKind_ != Kind::StaleRead || lba != armedLba_) return;
  if (const OldBlock* old = oldVersion(lba)) {
    // Old content equal to the current (the same data written twice, two trims) is no fault.
    const size_t n = std::min(bytes, old->bytes.size());
    if (std::memcmp(block, old->bytes.data(), n) == 0) return;
    std::memcpy(block, old->bytes.data(), n);
    tookEffect(Kind::StaleRead);
    exposure_.staleRead(ctx, static_cast<int>(Kind::StaleRead), lba, recordIndex());
  }
}

void RuleFaults::completed(uint32_t tag, const DeviceCompletion& completion) {
  exposure_.completed(tag, completion);
}

void RuleFaults::dropped(uint32_t tag) {
  exposure_.dropped(tag);
}

void RuleFaults::cacheLost() {
  exposure_.cacheLost();
}

std::vector<uint64_t> RuleFaults::firedCounts() const {
  std::vector<uint64_t> counts;
  for (const Rule& rule : rules_) counts.push_back(rule.fired);
  return counts;
}

}  // namespace varnox::sim
