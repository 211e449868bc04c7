#include "sim/FaultExposure.h"

#include <algorithm>

#include "sim/RuleFaults.h"
#include "tavik/Kcq.h"
#include "tavik/SenseBuilder.h"
#include "tavik/SenseParser.h"

namespace varnox::sim {
namespace {

constexpr uint32_t kTagLimit = 1024;

bool overlap(uint64_t a, uint64_t aBlocks, uint64_t b, uint64_t bBlocks) {
  return a < b + bBlocks && b < a + aBlocks;
}

}  // namespace

FaultExposure::FaultExposure(std::vector<InjectedFault>& records, uint32_t logicalBlockSize)
    : records_(records), logicalBlockSize_(logicalBlockSize), commands_(kTagLimit) {}

bool FaultExposure::writeOutstandingOver(uint64_t lba, uint64_t except) const {
  for (uint32_t tag : writing_)
    for (const Range& r : commands_[tag].writes)
      if (commands_[tag].index != except && overlap(lba, 1, r.lba, r.blocks)) return true;
  return false;
}

void FaultExposure::accepted(const CommandContext& ctx) {
  if (ctx.tag >= kTagLimit) return;
  Command& cmd = commands_[ctx.tag];
  cmd.index = ctx.index;
  cmd.op = Op::Other;
  cmd.writes.clear();
  cmd.candidates.clear();
  const ParsedCdb& c = *ctx.cdb;
  if (!c.known) return;
  cmd.range = Range{c.lba, c.blocks};
  cmd.transferBytes = logicalBlockSize_ + (c.protect ? 8 : 0);
  switch (c.opcode) {
    case kOpWrite16:
    case kOpWriteAtomic16:
    case kOpWriteSame16:
      cmd.op = Op::Write;
      cmd.writes.push_back(cmd.range);
      break;
    case kOpUnmap:
      cmd.op = Op::Write;
      if (ctx.dataOut && ctx.dataOutBytes >= c.parameterListBytes) {
        const int count = unmapDescriptorCount(ctx.dataOut, c.parameterListBytes);
        for (int i = 0; i < count; ++i) {
          const UnmapRange r = unmapDescriptor(ctx.dataOut, i);
          cmd.writes.push_back(Range{r.lba, r.blocks});
        }
      }
      break;
    case kOpRead16:
      cmd.op = Op::Read;
      break;
    case kOpVerify16:
      if (c.bytchk != 0) cmd.op = Op::Verify;  // without a byte compare nothing comes back
      break;
    case kOpSynchronizeCache16:
      cmd.op = Op::Sync;
      break;
  }
  if (cmd.op == Op::Write) {
    writing_.push_back(ctx.tag);
    for (const Range& r : cmd.writes) overwritten(r, isDataWrite(c), ctx.index);
  } else if ((cmd.op == Op::Read || cmd.op == Op::Verify) && !pending_.empty()) {
    collectCandidates(cmd);
  }
}

// A write accepted over a fault's blocks ends it, whether or not the write lands: from now on
// the host cannot know which content the block should hold until that write completes. A
// splice lasts until one data write covers its whole range, as the drive heals it then.
void FaultExposure::overwritten(const Range& r, bool dataWrite, uint64_t command) {
  for (Watched& w : watched_) {
    if (w.lba != UINT64_MAX && overlap(w.lba, 1, r.lba, r.blocks)) {
      w.latestWrite = command;
      w.good = false;
    }
  }
  std::erase_if(pending_, [&](Pending& p) {
    if (!overlap(p.range.lba, p.range.blocks, r.lba, r.blocks)) return false;
    if (p.isSplice) return dataWrite && r.lba <= p.range.lba && p.range.lba + p.range.blocks <= r.lba + r.blocks;
    if (p.intact.empty()) {
      if (p.state != State::InFlight || !p.visibleInFlight) return true;
      p.closed = true;
      return false;
    }
    bool stored = false, kept = false;
    for (uint64_t i = 0; i < p.range.blocks; ++i) {
      const uint64_t lba = p.range.lba + i;
      if (overlap(lba, 1, r.lba, r.blocks)) p.intact[i] = false;
      if (p.intact[i]) (lba < p.split ? stored : kept) = true;
    }
    return !(stored && kept);
  });
}

// The faults a read or verify accepted now would show, and how many of its leading blocks must
// come back for that: the fault's write completed (or is one whose wrong data no racing read may
// see either) and no other write is outstanding over the blocks.
void FaultExposure::collectCandidates(Command& read) {
  const Range& r = read.range;
  for (const Pending& p : pending_) {
    if (p.isSplice) {
      // What a splice check reads: exactly the write's range.
      if (read.op == Op::Read && r.lba == p.range.lba && r.blocks == p.range.blocks)
        read.candidates.push_back(Candidate{p.id, 0, p.kind, p.record, true, false});
      continue;
    }
    const bool inFlight = p.state == State::InFlight;
    if (p.closed || (inFlight && !p.visibleInFlight) || !overlap(r.lba, r.blocks, p.range.lba, p.range.blocks)) continue;
    if (p.intact.empty()) {
      if (!writeOutstandingOver(p.range.lba, p.command))
        read.candidates.push_back(Candidate{p.id, p.range.lba - r.lba + 1, p.kind, p.record, false, inFlight});
      continue;
    }
    // A torn unit shows only when one read returns a stored and a dropped block of it.
    bool stored = false, kept = false;
    const uint64_t first = std::max(r.lba, p.range.lba);
    const uint64_t end = std::min(r.lba + r.blocks, p.range.lba + p.range.blocks);
    for (uint64_t lba = first; lba < end; ++lba) {
      if (!p.intact[lba - p.range.lba] || writeOutstandingOver(lba, p.command)) continue;
      (lba < p.split ? stored : kept) = true;
      if (stored && kept) {
        // Whatever becomes of the write, a unit seen mixed is a broken promise.
        read.candidates.push_back(Candidate{p.id, lba - r.lba + 1, p.kind, p.record, false, false});
        break;
      }
    }
  }
}

void FaultExposure::blockFault(const CommandContext& ctx, int kind, uint64_t lba, int record, bool neitherOldNorNew,
                               bool atomicWrite) {
  pending_.push_back(Pending{nextId_++, kind, ctx.index, State::InFlight, 0, Range{lba, 1}, 0, {}, false, record,
                             neitherOldNorNew, false, neitherOldNorNew && atomicWrite});
}

void FaultExposure::tornUnit(const CommandContext& ctx, int kind, uint64_t unitLba, uint64_t unitEnd,
                             uint64_t firstDropped, int record) {
  // An atomic unit is never seen mixed, not even by a read racing its write.
  pending_.push_back(Pending{nextId_++, kind, ctx.index, State::InFlight, 0, Range{unitLba, unitEnd - unitLba},
                             firstDropped, std::vector<bool>(unitEnd - unitLba, true), false, record, true});
}

void FaultExposure::splice(const CommandContext& ctx, int kind, uint64_t lba, uint64_t blocks, int record) {
  pending_.push_back(Pending{nextId_++, kind, ctx.index, State::InFlight, 0, Range{lba, blocks}, 0, {}, true, record});
}

void FaultExposure::staleRead(const CommandContext& ctx, int kind, uint64_t lba, int record) {
  if (ctx.tag >= kTagLimit) return;
  // Old content is wrong only where the latest write completed GOOD before this read and none
  // is outstanding over the block: otherwise the host may legally see it.
  const auto w = std::find_if(watched_.begin(), watched_.end(), [&](const Watched& x) { return x.lba == lba; });
  if (w == watched_.end() || !w->good || writeOutstandingOver(lba)) return;
  Command& read = commands_[ctx.tag];
  pending_.push_back(Pending{nextId_, kind, ctx.index, State::Settled, 0, Range{lba, 1}, 0, {}, false, record});
  read.candidates.push_back(Candidate{nextId_++, lba - read.range.lba + 1, kind, record, false, false});
}

void FaultExposure::watch(const CommandContext& ctx, uint64_t lba, bool misdirected, bool pinned) {
  if (watched_.empty()) watched_.resize(kWatched);  // only drives with stale reads follow blocks
  auto w = std::find_if(watched_.begin(), watched_.end(), [&](const Watched& x) { return x.lba == lba; });
  if (w == watched_.end()) {
    if (pinned) {
      w = watched_.insert(watched_.end(), Watched{});
    } else {
      do {
        w = watched_.begin() + static_cast<ptrdiff_t>(watchNext_);
        watchNext_ = (watchNext_ + 1) % kWatched;
      } while (w->pinned);
    }
  }
  *w = Watched{lba, misdirected ? UINT64_MAX : ctx.index, false, 0, pinned || w->pinned};
}

void FaultExposure::completed(uint32_t tag, const DeviceCompletion& completion) {
  ++completions_;
  if (tag >= kTagLimit || commands_[tag].index == UINT64_MAX) return;
  Command& cmd = commands_[tag];
  const bool good = completion.status == kStatusGood;
  Kcq kcq;
  uint64_t information = 0;
  if (completion.status == kStatusCheckCondition &&
      SenseParser::getKey(completion.sense.data(), completion.sense.size(), kcq) == 0) {
    uint8_t info[8] = {};
    if (SenseParser::getInformationBytes(completion.sense.data(), completion.sense.size(), info) == 0)
      for (uint8_t b : info) information = information << 8 | b;
  } else {
    kcq.key = 0xFF;
  }
  // A write or sync cache that reports a recovered error did its work.
  const bool succeeded = good || kcq.key == kSenseRecoveredError;
  switch (cmd.op) {
    case Op::Write:
      std::erase(writing_, tag);
      std::erase_if(pending_, [&](Pending& p) {
        if (p.command != cmd.index || p.state != State::InFlight) return false;
        // A torn unit and a splice come from an aborted write by design; any other fault in a
        // write that did not complete GOOD leaves the block's content open to the host, except
        // a corrupted block of an atomic write, whose unit landed whole.
        if (!succeeded && p.intact.empty() && !p.isSplice && !(p.survivesAbort && completion.status == kStatusTaskAborted))
          return true;
        p.state = State::Settled;
        p.completedAt = completions_;
        return false;
      });
      for (size_t i = pending_.size(); i-- > 0;)
        if (pending_[i].command == cmd.index && pending_[i].shownInFlight)
          expose(pending_[i].id, pending_[i].kind, pending_[i].record);
      // A fault closed by a later write while this one was out stays settled (shown to no new
      // read) for a racing read still out, which exposes it when it returns the block.
      for (Watched& w : watched_) {
        if (w.latestWrite == cmd.index) {
          w.good = succeeded;
          w.completedAt = completions_;
        }
      }
      break;
    case Op::Sync:
      if (succeeded) lastSyncAt_ = completions_;
      break;
    case Op::Read:
    case Op::Verify: {
      uint64_t delivered = 0;
      if (good || kcq.key == kSenseRecoveredError) {
        delivered = cmd.range.blocks;
      } else if (cmd.op == Op::Verify && kcq.key == kSenseMiscompare && cmd.transferBytes != 0) {
        delivered = std::min<uint64_t>(cmd.range.blocks, information / cmd.transferBytes + 1);
      }
      for (const Candidate& c : cmd.candidates) {
        const auto p = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& x) { return x.id == c.id; });
        if (c.isSplice) {
          if (p != pending_.end() && p->state == State::Settled && completion.injected && kcq.key == kSenseHardwareError)
            expose(c.id, c.kind, c.record);
        } else if (delivered >= c.needBlocks) {
          // Seen while its write was outstanding: decided by how that write ends. Otherwise the
          // read returned it, even if a write accepted since has ended the fault.
          if (p != pending_.end() && p->state == State::InFlight && p->intact.empty()) {
            p->shownInFlight = true;
          } else if (p != pending_.end() || !c.inFlight) {
            expose(c.id, c.kind, c.record);
          }
        }
      }
      // A stale read not shown now never will be: its wrong data went nowhere else.
      std::erase_if(pending_, [&](const Pending& p) { return p.command == cmd.index; });
      break;
    }
    case Op::Other:
      break;
  }
  cmd.index = UINT64_MAX;
  cmd.candidates.clear();
}

void FaultExposure::dropped(uint32_t tag) {
  if (tag >= kTagLimit || commands_[tag].index == UINT64_MAX) return;
  Command& cmd = commands_[tag];
  if (cmd.op == Op::Write) {
    std::erase(writing_, tag);
    std::erase_if(pending_, [&](const Pending& p) { return p.command == cmd.index && p.state == State::InFlight; });
  } else {
    std::erase_if(pending_, [&](const Pending& p) { return p.command == cmd.index; });  // a stale read
  }
  cmd.index = UINT64_MAX;
  cmd.candidates.clear();
}

// Writes that completed after the last completed SYNCHRONIZE CACHE may be lost with the cache:
// their blocks may legally show older content now.
void FaultExposure::cacheLost() {
  std::erase_if(pending_, [&](const Pending& p) {
    return !p.isSplice && p.state == State::Settled && p.completedAt > lastSyncAt_;
  });
  for (Watched& w : watched_)
    if (w.good && w.completedAt > lastSyncAt_) w.good = false;
}

void FaultExposure::expose(uint64_t id, int kind, int record) {
  std::erase_if(pending_, [&](const Pending& p) { return p.id == id; });
  if (!exposedIds_.insert(id).second) return;
  if (record >= 0 && static_cast<size_t>(record) < records_.size()) records_[static_cast<size_t>(record)].exposed = true;
  ++exposedByKind_[static_cast<size_t>(kind)];
}

}  // namespace varnox::sim
