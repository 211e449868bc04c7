#pragma once
// The fault rules of a test file, applied through the drive's fault seam.
//
// A rule fires on a command it matches: one that covers the rule's LBA when it names one, issued
// after `after` commands, then with probability `rate` when given; at most `count` times (0: no
// limit). Per command at most one rule on its blocks (corrupt, lost-write, misdirect, stale-read,
// torn-atomic, pi-corrupt) and one on its outcome (all others, and torn-atomic) fire, the first of each in
// file order: so a corruption can hit a write that is then aborted. Block faults hit the rule's
// LBA, else a block of the command drawn from the drive's seed.
//
//   corrupt          a write stores one byte of a block XORed with 0xA5; the command succeeds
//   lost-write       a block of a write is not stored; the command succeeds
//   misdirect        a block of a write lands on another LBA instead of its own
//   stale-read       a read returns what a block held before its latest write (only blocks whose
//                    previous content is remembered: a rule's own block, the last 64 written)
//   abort            TASK ABORTED; a write lands a drawn number of leading blocks
//   medium-error     a read or verify fails with 03/11/00, the block's LBA as information
//   hard-error       a command fails with 04/44/00 and unit error code 0x4401, and does nothing
//   recovered-error  a command executes and reports 01/18/00 with the block's LBA
//   torn-atomic      an atomic write is aborted with one of its units only partly stored
//   reorder          a read that overlaps an older outstanding write completes before it; the
//                    data is that of the write, as the drive still executes in order
//   reset            the drive resets itself: every outstanding command is lost
//   power-loss       the drive loses power, as a power toggle
//   splice           a write of two or more blocks is aborted after landing part of them, and
//                    from then on every read or verify overlapping its range fails with the hard
//                    error above, until a single write covers the whole range again
//   hang             a command executes but never completes (the host's command timeout ends
//                    the drive)
//   slow             a command executes and completes `delay` later (delay = "50ms"); the other
//                    commands complete meanwhile
//   pi-corrupt       a write stores one byte of a block's guard or reference tag XORed with 0xA5,
//                    its data untouched (drives with protection information only)
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/BlockStore.h"
#include "sim/FaultHook.h"
#include "tavik/Device.h"
#include "varnox/TestPlan.h"

namespace varnox::sim {

// Every kind a rule may name, in the order of the comment above.
inline constexpr auto kFaultKindNames = std::to_array<const char*>({
    "corrupt",    "lost-write",  "misdirect", "stale-read", "abort", "medium-error", "hard-error",
    "recovered-error", "torn-atomic", "reorder", "reset", "power-loss", "splice", "hang", "slow", "pi-corrupt"});

// True for a command that stores data blocks: WRITE, WRITE ATOMIC, and WRITE SAME unless it
// unmaps or writes zeros without data.
bool isDataWrite(const ParsedCdb& c);

// Empty when `rule` can be applied to a drive of `capacityBlocks`, else what is wrong with it.
std::string faultRuleError(const FaultRule& rule, uint64_t capacityBlocks);

class RuleFaults : public FaultHook {
 public:
  // `store` gives the blocks' previous contents for stale reads; without it (a device whose
  // medium this code cannot see) stale-read never fires.
  RuleFaults(std::vector<FaultRule> rules, uint64_t seed, uint64_t capacityBlocks, uint32_t logicalBlockSize,
             const BlockStore* store);

  Intervention beforeCommand(const CommandContext& ctx) override;
  void beforeStore(const CommandContext& ctx, StoreTarget& target) override;
  void afterStore(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) override;
  void afterLoad(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) override;
  uint64_t injected() const override { return silent_.load(std::memory_order_relaxed); }
  const std::vector<InjectedFault>& records() const { return records_; }
  std::vector<uint64_t> firedCounts() const;

 private:
  enum class Kind {
    Corrupt,
    LostWrite,
    Misdirect,
    StaleRead,
    Abort,
    MediumError,
    HardError,
    Recovered,
    TornAtomic,
    Reorder,
    Reset,
    PowerLoss,
    Splice,
    Hang,
    Slow,
    PiCorrupt
  };
  struct Rule {
    FaultRule given;
    Kind kind;
    uint32_t fired = 0;
  };
  struct OldBlock {
    uint64_t lba = UINT64_MAX;
    std::vector<uint8_t> bytes;
    bool saved = false;
  };
  struct Range {
    uint64_t lba;
    uint64_t blocks;
  };

  bool matches(const Rule& rule, const CommandContext& ctx, uint64_t& target);
  uint64_t random();
  const OldBlock* oldVersion(uint64_t lba) const;
  InjectedFault* record(Kind kind, const CommandContext& ctx, uint64_t lba);
  // A read or verify of a spliced range fails; a write covering one whole heals it.
  bool touchesSplice(const ParsedCdb& c);

  std::vector<Rule> rules_;
  uint64_t random_;
  uint64_t capacityBlocks_;
  uint32_t logicalBlockSize_;
  const BlockStore* store_;
  bool keepOldBlocks_ = false;
  std::vector<OldBlock> oldBlocks_;  // ring of blocks' previous contents, for stale reads
  std::vector<OldBlock> pinned_;     // the previous contents of the rules' fixed blocks
  size_t oldNext_ = 0;
  std::vector<Range> spliced_;
  std::vector<InjectedFault> records_;

  // The fault armed for the command being executed.
  Kind armedKind_ = Kind::Corrupt;
  uint64_t armedCommand_ = UINT64_MAX;
  uint64_t armedLba_ = 0;
  uint64_t armedEnd_ = 0;  // torn-atomic: blocks from armedLba_ below armedEnd_ are dropped
  InjectedFault* armedRecord_ = nullptr;
  std::atomic<uint64_t> silent_{0};
};

}  // namespace varnox::sim
