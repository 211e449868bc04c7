#pragma once
// The fault rules of a test file, applied through the drive's fault seam.
//
// A rule fires on a command it matches: one that covers the rule's LBA when it names one, issued
// after `after` commands, then with probability `rate` when given; at most `count` times (0: no
// limit). At most one rule fires per command, the first in file order. Block faults hit the
// rule's LBA, else a block of the command drawn from the drive's seed.
//
//   corrupt            a write stores one flipped byte in a block; the command succeeds
//   lost-write         a block of a write is not stored; the command succeeds
//   misdirected-write  a block of a write lands on another LBA instead of its own
//   stale-read         a read returns what a block held before its latest write (only blocks whose
//                      previous content is still remembered: the last 64 blocks written)
//   abort              TASK ABORTED; a write lands a drawn number of leading blocks
//   medium-error       a read or verify fails with 03/11/00, the block's LBA as information
//   hardware-error     a command fails with 04/44/00 and does nothing
//   recovered-error    a command executes and reports 01/18/00 with the block's LBA
//   torn-atomic        an atomic write is aborted with one of its units only partly stored
//   reset              the drive resets itself: every outstanding command is lost
//   power-loss         the drive loses power, as a power toggle
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/BlockStore.h"
#include "sim/FaultHook.h"
#include "varnox/TestPlan.h"

namespace varnox::sim {

// Empty when `rule` can be applied to a drive of `capacityBlocks`, else what is wrong with it.
std::string faultRuleError(const FaultRule& rule, uint64_t capacityBlocks);

class RuleFaults : public FaultHook {
 public:
  RuleFaults(std::vector<FaultRule> rules, uint64_t seed, const BlockStore& store, uint32_t logicalBlockSize);

  Intervention beforeCommand(const CommandContext& ctx) override;
  void beforeStore(const CommandContext& ctx, StoreTarget& target) override;
  void afterStore(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) override;
  void afterLoad(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) override;
  uint64_t injected() const override { return silent_.load(std::memory_order_relaxed); }

 private:
  enum class Kind {
    Corrupt,
    LostWrite,
    Misdirected,
    StaleRead,
    Abort,
    MediumError,
    HardwareError,
    Recovered,
    TornAtomic,
    Reset,
    PowerLoss
  };
  struct Rule {
    FaultRule given;
    Kind kind;
    uint32_t fired = 0;
  };
  struct OldBlock {
    uint64_t lba = UINT64_MAX;
    std::vector<uint8_t> bytes;
  };

  bool matches(const Rule& rule, const CommandContext& ctx, uint64_t& target);
  uint64_t random();
  const OldBlock* oldVersion(uint64_t lba) const;

  std::vector<Rule> rules_;
  uint64_t random_;
  const BlockStore& store_;
  uint32_t logicalBlockSize_;
  bool keepOldBlocks_ = false;
  std::vector<OldBlock> oldBlocks_;  // ring of blocks' previous contents, for stale reads
  size_t oldNext_ = 0;

  // The fault armed for the command being executed.
  Kind armedKind_ = Kind::Corrupt;
  uint64_t armedCommand_ = UINT64_MAX;
  uint64_t armedLba_ = 0;
  uint64_t armedEnd_ = 0;  // torn-atomic: blocks from armedLba_ below armedEnd_ are dropped
  std::atomic<uint64_t> silent_{0};
};

}  // namespace varnox::sim
