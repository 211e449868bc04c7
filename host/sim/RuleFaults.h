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
// What each kind does. The legal kinds only do what a correct drive may do, so a run with them
// alone must pass; the corrupting kinds break a promise of the drive, and once the host was shown
// the broken data (exposed, below) the run must fail at that block.
//
//   legal:
//   abort            TASK ABORTED; a write lands a drawn number of leading blocks (never a torn
//                    atomic unit: WRITE ATOMIC lands whole units only)
//   medium-error     a read or verify fails with 03/11/00, the block's LBA as information; it
//                    delivers no data
//   hard-error       a command fails with 04/44/00 and unit error code 0x4401, and does nothing
//   recovered-error  a command executes and reports 01/18/00 with the block's LBA; a read still
//                    delivers its data. It never replaces another outcome of the command (a
//                    verify's MISCOMPARE, an ILLEGAL REQUEST stay as they are)
//   reorder          a read that overlaps an older outstanding write completes before it; the
//                    data is that of the write, as the drive still executes in order
//   reset            the drive resets itself: every outstanding command is lost (a lost write
//                    is kept, lost or kept in part, as after a cut transfer)
//   power-loss       the drive loses power, as a power toggle; with a volatile cache every block
//                    written since the last SYNCHRONIZE CACHE goes back to its content then
//   Neither a reset nor a power loss takes back what a completed command made visible: a
//   completed write stays (except in a volatile cache, as above), and once a read or verify has
//   returned blocks of an outstanding write, those blocks are no longer undone.
//
//   corrupting (each may fire on any block; "exposed" is what a correct checker must report):
//   corrupt          a write stores one byte of a block XORed with 0xA5; the command succeeds.
//                    Exposed: the write completed GOOD, then a read returned the block or a
//                    verify's byte compare reached it (a verify that sent other data for it
//                    than the write did, as for a block taken as overwritten by another
//                    writer, only where the drive found the block equal to it); also a read racing the write, once the
//                    write completes GOOD (the block is neither old nor new), and in an atomic
//                    write also when it is then aborted (its unit landed whole).
//   lost-write       a block of a write is not stored; the command succeeds. Exposed: as corrupt
//                    (a read racing the write ran after it, so old content there is wrong too).
//   misdirect        a block of a write lands on another LBA (the record's landedAt) instead of
//                    its own. Exposed through its own block, which kept its old content: as corrupt.
//   stale-read       a read returns what a block held before its latest write (only blocks whose
//                    previous content is remembered: a rule's own block, the last 64 written;
//                    content equal to what the block holds is no fault). Exposed: the read
//                    delivered its data and the latest write over the block before it completed
//                    GOOD, before or after the read (the drive ran the read after it), and was
//                    not since lost with a volatile cache.
//   torn-atomic      an atomic write is aborted with one of its units only partly stored (a
//                    leading part new, the rest old). Exposed: one read returned, or one verify
//                    compared, both a stored and a dropped block of that unit, also while the
//                    write was outstanding (a unit is never seen mixed).
//   splice           a write of two or more blocks is aborted after landing part of them, and
//                    from then on every read or verify overlapping its range fails with the hard
//                    error above, until a single write covers the whole range again. Exposed: a
//                    read of exactly that write's range (a splice check) completed with that
//                    error after the abort was handed back, also when a write healed the range
//                    after the read was sent; only a checker that looks for splices ("Write
//                    Splice Detection") reports it.
//   hang             a command executes but never completes (the host's command timeout ends
//                    the drive)
//   slow             a command executes and completes `delay` later (delay = "50ms"); the other
//                    commands complete meanwhile
//   pi-corrupt       a write stores one byte of a block's guard or reference tag XORed with 0xA5,
//                    its data untouched (drives with protection information only)
//
// "Completed GOOD" below includes RECOVERED ERROR: such a write did its work.
// Common to the corrupting kinds: a fault in a write that did not complete GOOD is never exposed
// (the host cannot know what the block holds), except as said above and for torn-atomic and
// splice, whose writes are aborted by design. A read or verify counts only when sent after that
// write's completion was handed back (except as said above), and only when it completes with its
// data (GOOD, RECOVERED ERROR, or a verify's MISCOMPARE at or after the block); a command lost at
// a reset shows nothing. Other writes outstanding over the block are older than the fault's (the
// drive ran them first) and do not hide it from a read. A verify shows nothing when a write that
// was outstanding over its range when it was sent is still outstanding when it completes, or
// failed over the block the drive found different: the drive compared either content, and the
// agent verifies the range again. Commands
// are followed at their stride (skip commands cover every other block). Once a later write
// over the block has been accepted (whether it lands or not) the fault can no longer be exposed,
// and neither can one whose write was accepted after the last completed SYNCHRONIZE CACHE when a
// power loss takes the volatile cache.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/BlockStore.h"
#include "sim/FaultExposure.h"
#include "sim/FaultHook.h"
#include "tavik/Device.h"
#include "tavik/DeviceSettings.h"

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
  RuleFaults(const RuleFaults&) = delete;
  RuleFaults& operator=(const RuleFaults&) = delete;

  Intervention beforeCommand(const CommandContext& ctx) override;
  void beforeStore(const CommandContext& ctx, StoreTarget& target) override;
  void afterStore(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) override;
  void afterLoad(const CommandContext& ctx, uint64_t lba, uint8_t* block, size_t bytes) override;
  void completed(uint32_t tag, const DeviceCompletion& completion) override;
  void dropped(uint32_t tag) override;
  void cacheLost() override;
  uint64_t injected() const override { return silent_.load(std::memory_order_relaxed); }
  const std::vector<InjectedFault>& records() const { return records_; }
  std::vector<uint64_t> firedCounts() const;
  // Per kind of the rules: how many took effect, and how many corrupting ones were exposed.
  std::vector<FaultTally> tallies() const;

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

  static bool isCorrupting(Kind kind) {
    return kind == Kind::Corrupt || kind == Kind::LostWrite || kind == Kind::Misdirect || kind == Kind::StaleRead ||
           kind == Kind::TornAtomic || kind == Kind::Splice;
  }
  void tookEffect(Kind kind);
  int recordIndex() const;  // of armedRecord_, -1 without one
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
  size_t corruptingRecords_ = 0, benignRecords_ = 0;
  FaultExposure exposure_;
  std::array<uint64_t, kFaultKindNames.size()> injectedByKind_{};

  // The fault armed for the command being executed.
  Kind armedKind_ = Kind::Corrupt;
  uint64_t armedCommand_ = UINT64_MAX;
  uint64_t armedLba_ = 0;
  uint64_t armedUnit_ = 0;  // torn-atomic: the first block of the torn unit
  uint64_t armedEnd_ = 0;   // torn-atomic: blocks from armedLba_ below armedEnd_ are dropped
  InjectedFault* armedRecord_ = nullptr;
  std::atomic<uint64_t> silent_{0};
};

}  // namespace varnox::sim
