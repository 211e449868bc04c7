#pragma once
// Which injected corrupting faults the host was shown: the oracle of every fault proof. A fault
// is exposed when the faulted data came back to the host in a way that a correct checker must
// report (the rules per kind are in RuleFaults.h). The tracker follows every command from its
// acceptance to its completion or loss, so it is told of each one, in the device's order:
//
//   accepted(ctx)          before the command's own faults are armed
//   blockFault/tornUnit/splice/staleRead   when a fault takes effect in the accepted command
//   completed(tag, c)      when the host is handed the completion
//   dropped(tag)           when the command is lost (reset, power loss)
//   cacheLost()            after a power loss took the volatile cache
//
// Cost: a few comparisons per command while no fault is pending.
#include <array>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim/FaultHook.h"
#include "tavik/Device.h"

namespace varnox::sim {

class FaultExposure {
 public:
  // `records` (not owned) gets `exposed` set on the faults it recorded; `record` arguments below
  // index it, or are -1 for a fault beyond the record limit.
  FaultExposure(std::vector<InjectedFault>& records, uint32_t logicalBlockSize);

  void accepted(const CommandContext& ctx);
  // corrupt, lost-write, misdirect: block `lba` of the accepted write holds the wrong data.
  // A read racing the write shows it too, once the write completes GOOD: the drive ran the read
  // after the write, and the agent then expects the write's data (a lost or misdirected block's
  // old content included). `neitherOldNorNew` (corrupt) in an atomic write shows even when the
  // write is then aborted: its unit landed whole, so the block must hold exactly its data.
  void blockFault(const CommandContext& ctx, int kind, uint64_t lba, int record, bool neitherOldNorNew,
                  bool atomicWrite);
  // torn-atomic: of the unit [unitLba, unitEnd) blocks from `firstDropped` on kept their old data.
  void tornUnit(const CommandContext& ctx, int kind, uint64_t unitLba, uint64_t unitEnd, uint64_t firstDropped,
                int record);
  // splice: the aborted write's range [lba, lba + blocks) reads with a hard error until healed.
  void splice(const CommandContext& ctx, int kind, uint64_t lba, uint64_t blocks, int record);
  // stale-read: the accepted read returns the old content of `lba`, which differs from what the
  // block holds now. After a power loss that may have taken the block's latest write, old
  // content is legal on its own; it is exposed by the next read that returns the block as it is.
  void staleRead(const CommandContext& ctx, int kind, uint64_t lba, int record);
  void completed(uint32_t tag, const DeviceCompletion& completion);
  void dropped(uint32_t tag);
  void cacheLost();

  // Follows the latest write of `lba`, which the accepted command is storing, so that staleRead
  // can tell whether old content is wrong there. A block that a misdirected write lands on has
  // no known latest write. forget(lba) once the block's old content is no longer kept.
  void watch(const CommandContext& ctx, uint64_t lba, bool misdirected);
  void forget(uint64_t lba) { watched_.erase(lba); }

  uint64_t exposed(int kind) const { return exposedByKind_[static_cast<size_t>(kind)]; }

 private:
  enum class State { InFlight, Settled };
  // A command's blocks: lba + i * stride for i below blocks (skip commands have stride 2).
  struct Range {
    uint64_t lba;
    uint64_t blocks;
    uint64_t stride = 1;
    uint64_t end() const { return blocks ? lba + (blocks - 1) * stride + 1 : lba; }
    bool covers(uint64_t block) const {
      return block >= lba && (block - lba) % stride == 0 && (block - lba) / stride < blocks;
    }
    uint64_t indexOf(uint64_t block) const { return (block - lba) / stride; }
  };
  static bool overlaps(const Range& a, const Range& b);
  struct Pending {
    uint64_t id;
    int kind;
    uint64_t command;  // the write that carried the fault (stale-read: the read)
    State state;
    Range range;               // the faulted block; the torn unit; the spliced write
    uint64_t split = 0;        // torn: first dropped block
    std::vector<bool> intact;  // torn: per block of the unit, not overwritten since
    bool isSplice = false;
    int record;
    bool visibleInFlight = false;  // a read racing the write shows it (corrupt, torn-atomic)
    bool shownInFlight = false;    // such a read returned it: exposed if the write completes GOOD
    bool survivesAbort = false;    // corrupt in an atomic write
    // A later write was accepted over the block: no new read can show the fault, but a racing
    // read sent before it may already have, and that is decided when the fault's write ends.
    bool closed = false;
    // stale-read: the latest write over the block before the read, whose content the read
    // missed. The drive ran the read after that write, so the old content is wrong once the
    // write completes GOOD, before or after the read. staleShown: the read delivered it.
    uint64_t staleOf = UINT64_MAX;
    bool staleShown = false;
    // A stale read after a power loss that may have taken the block's latest write (staleOf
    // kStaleAfterLoss): the old content it returned is legal on its own, but a later read of the
    // block that returns what the block really holds, with nothing written in between, shows
    // the host a block that changed by itself.
    static constexpr uint64_t kStaleAfterLoss = UINT64_MAX - 2;
    // The first write accepted over the block since such a stale read: a read accepted before it
    // still returned what the block held then (commands run when accepted), one accepted after
    // it cannot show the contradiction.
    uint64_t closedBy = UINT64_MAX;
    // What the fault's write sent for the block (a hash of its data; 0: not known). A verify
    // that sends other data for it (a checker that took the block as invalidated, or as open)
    // shows the fault only where the drive found the block equal to that data.
    uint64_t sentHash = 0;
  };
  struct Candidate {
    uint64_t id;
    uint64_t needBlocks;  // the read shows the fault once this many leading blocks came back
    int kind;
    int record;
    bool isSplice;
    bool inFlight;  // the fault's write was outstanding when the read was sent
    bool mustMatch = false;  // a verify sent other data than the fault's write for the block
    bool afterLoss = false;  // a stale read after a power loss: only a later read can expose it
  };
  enum class Op { Other, Write, Read, Verify, Sync };
  struct Command {
    uint64_t index = UINT64_MAX;
    Op op = Op::Other;
    Range range{0, 0};
    uint32_t transferBytes = 0;
    std::vector<Range> writes;  // what a write covers (UNMAP: its descriptors)
    std::vector<Candidate> candidates;
    // A verify: the writes outstanding over its range when it was accepted. While one of them is
    // still outstanding when the verify completes, the agent cannot tell which content the drive
    // compared: the verify shows nothing (it is sent again). Nor where one that ended without
    // success covers the block the drive found different (`failed`: their ranges).
    std::vector<uint64_t> racing;
    std::vector<Range> failed;
  };
  struct Watched {
    uint64_t latestWrite = UINT64_MAX;  // command index of the latest accepted write covering it
    bool good = false;                  // that write completed GOOD
    bool lossUnsure = false;            // a power loss since may have taken that write
  };

  // Any outstanding write over `lba` other than command `except`, accepted before command
  // `acceptedBefore`.
  bool writeOutstandingOver(uint64_t lba, uint64_t except = UINT64_MAX, uint64_t acceptedBefore = UINT64_MAX) const;
  // `read` completed GOOD: a stale read after a power loss that it contradicts is exposed.
  void contradictStaleAfterLoss(const Command& read);
  bool outstanding(uint64_t commandIndex) const;
  void overwritten(const Range& r, bool dataWrite, uint64_t command);
  void collectCandidates(Command& read, const CommandContext& ctx);
  // A hash of block `index` of the command's data out (0: none there).
  uint64_t sentBlockHash(const CommandContext& ctx, uint64_t index) const;
  void expose(uint64_t id, int kind, int record);

  std::vector<InjectedFault>& records_;
  uint32_t logicalBlockSize_;
  std::vector<Command> commands_;     // per tag
  std::vector<uint32_t> writing_;     // tags of outstanding writes
  std::vector<Pending> pending_;      // faults that may still be exposed
  std::unordered_map<uint64_t, Watched> watched_;  // by LBA: the blocks whose old content is kept
  std::unordered_set<uint64_t> exposedIds_;  // a fault counts once, however many reads showed it
  std::unordered_set<uint64_t>
      settledBeforeClosed_;  // faults whose write completed GOOD before a later one closed them
  uint64_t nextId_ = 1;
  uint64_t syncedBelow_ = 0;  // command index of the latest GOOD SYNCHRONIZE CACHE
  std::array<uint64_t, 16> exposedByKind_{};
};

}  // namespace varnox::sim
