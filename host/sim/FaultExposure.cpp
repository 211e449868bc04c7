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

bool FaultExposure::overlaps(const Range& a, const Range& b) {
  if (!overlap(a.lba, a.end() - a.lba, b.lba, b.end() - b.lba)) return false;
  if (a.stride == 1 && b.stride == 1) return true;
  // A skip command touches every other block of its extent: test the shorter one's blocks.
  const Range& few = a.blocks <= b.blocks ? a : b;
  const Range& other = &few == &a ? b : a;
  for (uint64_t i = 0; i < few.blocks; ++i)
    if (other.covers(few.lba + i * few.stride)) return true;
  return false;
}

bool FaultExposure::writeOutstandingOver(uint64_t lba, uint64_t except, uint64_t acceptedBefore) const {
  for (uint32_t tag : writing_)
    for (const Range& r : commands_[tag].writes)
      if (commands_[tag].index != except && commands_[tag].index < acceptedBefore && r.covers(lba)) return true;
  return false;
}

bool FaultExposure::outstanding(uint64_t commandIndex) const {
  for (uint32_t tag : writing_)
    if (commands_[tag].index == commandIndex) return true;
  return false;
}

void FaultExposure::accepted(const CommandContext& ctx) {
  if (ctx.tag >= kTagLimit) return;
  Command& cmd = commands_[ctx.tag];
  cmd.index = ctx.index;
  cmd.op = Op::Other;
  cmd.writes.clear();
  cmd.candidates.clear();
  cmd.racing.clear();
  cmd.failed.clear();
  const ParsedCdb& c = *ctx.cdb;
  if (!c.known) return;
  cmd.range = Range{c.lba, c.blocks, ctx.lbaStride};
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
          cmd.writes.push_back(Range{r.lba, r.blocks, 1});
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
  } else if (cmd.op == Op::Read || cmd.op == Op::Verify) {
    if (cmd.op == Op::Verify && !pending_.empty())
      for (uint32_t tag : writing_)
        for (const Range& r : commands_[tag].writes)
          if (overlaps(r, cmd.range)) cmd.racing.push_back(commands_[tag].index);
    if (!pending_.empty()) collectCandidates(cmd, ctx);
  }
}

// A write accepted over a fault's blocks ends it, whether or not the write lands: from now on
// the host cannot know which content the block should hold until that write completes. A
// splice lasts until one data write covers its whole range, as the drive heals it then.
void FaultExposure::overwritten(const Range& r, bool dataWrite, uint64_t command) {
  if (!watched_.empty()) {
    if (r.blocks <= watched_.size()) {
      for (uint64_t i = 0; i < r.blocks; ++i)
        if (auto w = watched_.find(r.lba + i * r.stride); w != watched_.end())
          w->second = Watched{command, false};
    } else {
      for (auto& [lba, w] : watched_)
        if (r.covers(lba)) w = Watched{command, false};
    }
  }
  std::erase_if(pending_, [&](Pending& p) {
    if (p.staleOf != UINT64_MAX) return false;  // a stale read is decided by its own read
    if (!overlaps(p.range, r)) return false;
    if (p.isSplice) {
      // Healed: no read sent from now on fails, but one sent before still shows the splice.
      // Kept (splices are few), so that such a read finds it when it completes.
      if (dataWrite && r.lba <= p.range.lba && p.range.lba + p.range.blocks <= r.end()) p.closed = true;
      return false;
    }
    if (p.intact.empty()) {
      // A read sent while the fault's write was out and still out itself saw the fault, now
      // that the write completed GOOD: remembered for it.
      if (p.state == State::Settled) settledBeforeClosed_.insert(p.id);
      if (p.state != State::InFlight || !p.visibleInFlight) return true;
      p.closed = true;
      return false;
    }
    bool stored = false, kept = false;
    for (uint64_t i = 0; i < p.range.blocks; ++i) {
      const uint64_t lba = p.range.lba + i * p.range.stride;
      if (r.covers(lba)) p.intact[i] = false;
      if (p.intact[i]) (lba < p.split ? stored : kept) = true;
    }
    return !(stored && kept);
  });
}

uint64_t FaultExposure::sentBlockHash(const CommandContext& ctx, uint64_t index) const {
  const ParsedCdb& c = *ctx.cdb;
  const uint64_t unit = logicalBlockSize_ + (c.protect ? 8 : 0);
  if (c.opcode == kOpWriteSame16 || (c.opcode == kOpVerify16 && c.bytchk == kBytchkSame)) index = 0;  // one block for all
  if (ctx.dataOut == nullptr || (index + 1) * unit > ctx.dataOutBytes) return 0;
  uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a over the block's data (its protection bytes aside)
  for (const uint8_t* b = ctx.dataOut + index * unit; b != ctx.dataOut + index * unit + logicalBlockSize_; ++b)
    hash = (hash ^ *b) * 0x100000001b3ull;
  return hash | 1;
}

// The faults a read or verify accepted now would show, and how many of its leading blocks must
// come back for that: the fault's write completed (or is one whose wrong data no racing read may
// see either) and no other write is outstanding over the blocks.
void FaultExposure::collectCandidates(Command& read, const CommandContext& ctx) {
  const Range& r = read.range;
  for (const Pending& p : pending_) {
    if (p.staleOf != UINT64_MAX) continue;
    if (p.isSplice) {
      // What a splice check reads: exactly the write's range.
      if (!p.closed && read.op == Op::Read && r.lba == p.range.lba && r.blocks == p.range.blocks)
        read.candidates.push_back(Candidate{p.id, 0, p.kind, p.record, true, false});
      continue;
    }
    const bool inFlight = p.state == State::InFlight;
    if (p.closed || (inFlight && !p.visibleInFlight) || !overlaps(r, p.range)) continue;
    if (p.intact.empty()) {
      // Other writes outstanding over the block are older than the fault's (a newer one closed
      // it): the drive ran them first, and the agent expects the newest write a read follows.
      const uint64_t index = r.indexOf(p.range.lba);
      Candidate candidate{p.id, index + 1, p.kind, p.record, false, inFlight};
      candidate.mustMatch = read.op == Op::Verify && p.sentHash != 0 && sentBlockHash(ctx, index) != p.sentHash;
      read.candidates.push_back(candidate);
      continue;
    }
    // A torn unit shows only when one read returns a stored and a dropped block of it.
    bool stored = false, kept = false;
    for (uint64_t i = 0; i < p.range.blocks; ++i) {
      const uint64_t lba = p.range.lba + i * p.range.stride;
      if (!r.covers(lba) || !p.intact[i] || writeOutstandingOver(lba, p.command)) continue;
      (lba < p.split ? stored : kept) = true;
      if (stored && kept) {
        // Whatever becomes of the write, a unit seen mixed is a broken promise.
        read.candidates.push_back(Candidate{p.id, r.indexOf(lba) + 1, p.kind, p.record, false, false});
        break;
      }
    }
  }
}

void FaultExposure::blockFault(const CommandContext& ctx, int kind, uint64_t lba, int record, bool neitherOldNorNew,
                               bool atomicWrite) {
  pending_.push_back(Pending{nextId_++,
                             kind,
                             ctx.index,
                             State::InFlight,
                             Range{lba, 1},
                             0,
                             {},
                             false,
                             record,
                             true,
                             false,
                             neitherOldNorNew && atomicWrite});
  pending_.back().sentHash = sentBlockHash(ctx, ctx.lbaStride ? (lba - ctx.cdb->lba) / ctx.lbaStride : 0);
}

void FaultExposure::tornUnit(const CommandContext& ctx, int kind, uint64_t unitLba, uint64_t unitEnd,
                             uint64_t firstDropped, int record) {
  // An atomic unit is never seen mixed, not even by a read racing its write. With skip commands
  // its blocks are every other LBA.
  const uint64_t stride = ctx.lbaStride;
  const uint64_t blocks = (unitEnd - unitLba + stride - 1) / stride;
  pending_.push_back(Pending{nextId_++, kind, ctx.index, State::InFlight, Range{unitLba, blocks, stride},
                             firstDropped, std::vector<bool>(blocks, true), false, record, true});
}

void FaultExposure::splice(const CommandContext& ctx, int kind, uint64_t lba, uint64_t blocks, int record) {
  pending_.push_back(Pending{nextId_++, kind, ctx.index, State::InFlight, Range{lba, blocks}, 0, {}, true, record});
}

void FaultExposure::staleRead(const CommandContext& ctx, int kind, uint64_t lba, int record) {
  if (ctx.tag >= kTagLimit) return;
  // The read missed the latest write over the block, which the drive ran before it: wrong once
  // that write completes GOOD, whether before the read completes or after (the agent waits for
  // a write a read raced, then expects its data). A write that completed and may have been
  // lost with the cache since leaves the old content legal; so does one that failed.
  const auto w = watched_.find(lba);
  if (w == watched_.end() || w->second.latestWrite == UINT64_MAX) return;
  const bool stillOut = outstanding(w->second.latestWrite);
  const bool afterLoss = !stillOut && !w->second.good && w->second.lossUnsure;
  if (!stillOut && !w->second.good && !afterLoss) return;
  Command& read = commands_[ctx.tag];
  Pending p{nextId_, kind, ctx.index, State::Settled, Range{lba, 1}, 0, {}, false, record};
  p.staleOf = afterLoss ? Pending::kStaleAfterLoss
              : stillOut ? w->second.latestWrite
                         : UINT64_MAX - 1;  // UINT64_MAX - 1: completed GOOD
  pending_.push_back(p);
  read.candidates.push_back(Candidate{nextId_++, read.range.indexOf(lba) + 1, kind, record, false, false});
  read.candidates.back().afterLoss = afterLoss;
}

void FaultExposure::watch(const CommandContext& ctx, uint64_t lba, bool misdirected) {
  // New data over the block: a stale read after a power loss can no longer be contradicted by a
  // read sent from now on (it may see the new data); one already sent still can.
  for (Pending& p : pending_)
    if (p.staleOf == Pending::kStaleAfterLoss && p.range.lba == lba) p.closedBy = std::min(p.closedBy, ctx.index);
  watched_[lba] = Watched{misdirected ? UINT64_MAX : ctx.index, false};
}

void FaultExposure::completed(uint32_t tag, const DeviceCompletion& completion) {
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
        return false;
      });
      for (size_t i = pending_.size(); i-- > 0;)
        if (pending_[i].command == cmd.index && pending_[i].shownInFlight)
          expose(pending_[i].id, pending_[i].kind, pending_[i].record);
      // A fault closed by a later write while this one was out stays settled (shown to no new
      // read) for a racing read still out, which exposes it when it returns the block.
      for (auto& [lba, w] : watched_) {
        if (w.latestWrite == cmd.index) w.good = succeeded;
      }
      // Stale reads that missed this write: wrong if it succeeded, legal if not.
      for (size_t i = pending_.size(); i-- > 0;) {
        Pending& p = pending_[i];
        if (p.staleOf != cmd.index) continue;
        if (succeeded && p.staleShown) {
          expose(p.id, p.kind, p.record);
        } else if (!succeeded) {
          pending_.erase(pending_.begin() + static_cast<ptrdiff_t>(i));
        } else {
          p.staleOf = UINT64_MAX - 1;
        }
      }
      // A verify that raced this write cannot be judged where it failed.
      if (!succeeded)
        for (Command& other : commands_)
          if (other.op == Op::Verify && other.index != UINT64_MAX &&
              std::find(other.racing.begin(), other.racing.end(), cmd.index) != other.racing.end())
            other.failed.insert(other.failed.end(), cmd.writes.begin(), cmd.writes.end());
      break;
    case Op::Sync:
      // It flushed what the drive ran before it: the writes accepted before it, wherever their
      // completions fall among its own.
      if (succeeded) syncedBelow_ = std::max(syncedBelow_, cmd.index);
      break;
    case Op::Read:
    case Op::Verify: {
      uint64_t delivered = 0;
      uint64_t matched = 0;  // a verify: the leading blocks the drive found equal to the data sent
      if (good || kcq.key == kSenseRecoveredError) {
        delivered = matched = cmd.range.blocks;
      } else if (cmd.op == Op::Verify && kcq.key == kSenseMiscompare && cmd.transferBytes != 0) {
        delivered = std::min<uint64_t>(cmd.range.blocks, information / cmd.transferBytes + 1);
        matched = delivered - 1;
      }
      if (cmd.op == Op::Verify) {
        const uint64_t differing = cmd.range.lba + (delivered ? delivered - 1 : 0);
        if (std::any_of(cmd.racing.begin(), cmd.racing.end(), [&](uint64_t w) { return outstanding(w); }) ||
            std::any_of(cmd.failed.begin(), cmd.failed.end(),
                        [&](const Range& r) { return r.covers(differing); }))
          delivered = matched = 0;
      }
      for (const Candidate& c : cmd.candidates) {
        const auto p = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& x) { return x.id == c.id; });
        if (c.isSplice) {
          if (p != pending_.end() && p->state == State::Settled && completion.injected && kcq.key == kSenseHardwareError)
            expose(c.id, c.kind, c.record);
        } else if (c.mustMatch ? matched >= c.needBlocks : delivered >= c.needBlocks) {
          // Seen while its write was outstanding: decided by how that write ends. Otherwise the
          // read returned it, even if a write accepted since has ended the fault.
          if (c.afterLoss) {
            if (p != pending_.end()) p->staleShown = true;  // decided by the next read of the block
          } else if (p != pending_.end() && p->staleOf != UINT64_MAX && p->staleOf != UINT64_MAX - 1) {
            p->staleShown = true;  // the write it missed is still out: decided when that ends
          } else if (p != pending_.end() && p->state == State::InFlight && p->intact.empty()) {
            p->shownInFlight = true;
          } else if (p != pending_.end() || !c.inFlight || settledBeforeClosed_.count(c.id)) {
            expose(c.id, c.kind, c.record);
          }
        }
      }
      if (cmd.op == Op::Read && delivered == cmd.range.blocks && delivered != 0) contradictStaleAfterLoss(cmd);
      // A stale read not shown now never will be: its wrong data went nowhere else.
      std::erase_if(pending_, [&](const Pending& p) { return p.command == cmd.index && !p.staleShown; });
      break;
    }
    case Op::Other:
      break;
  }
  cmd.index = UINT64_MAX;
  cmd.candidates.clear();
  cmd.racing.clear();
  cmd.failed.clear();
}

void FaultExposure::dropped(uint32_t tag) {
  if (tag >= kTagLimit || commands_[tag].index == UINT64_MAX) return;
  Command& cmd = commands_[tag];
  if (cmd.op == Op::Write) {
    std::erase(writing_, tag);
    std::erase_if(pending_, [&](const Pending& p) {
      return (p.command == cmd.index && p.state == State::InFlight) || p.staleOf == cmd.index;
    });
  } else {
    std::erase_if(pending_, [&](const Pending& p) { return p.command == cmd.index; });  // a stale read
  }
  cmd.index = UINT64_MAX;
  cmd.candidates.clear();
}

// Writes accepted after the last completed SYNCHRONIZE CACHE was may be lost with the cache (one
// that completed before that sync did too): their blocks may legally show older content now.
void FaultExposure::cacheLost() {
  std::erase_if(pending_, [&](const Pending& p) {
    return !p.isSplice && p.staleOf == UINT64_MAX && p.state == State::Settled && p.command >= syncedBelow_;
  });
  for (auto& [lba, w] : watched_) {
    if (w.good && w.latestWrite >= syncedBelow_) {
      w.good = false;
      w.lossUnsure = true;
    }
  }
  // What a read showed before this loss may be gone now.
  std::erase_if(pending_, [](const Pending& p) { return p.staleOf == Pending::kStaleAfterLoss; });
}

void FaultExposure::contradictStaleAfterLoss(const Command& read) {
  for (size_t i = pending_.size(); i-- > 0;) {
    const Pending& p = pending_[i];
    if (p.staleOf != Pending::kStaleAfterLoss || !p.staleShown || p.command == read.index ||
        read.index > p.closedBy || !read.range.covers(p.range.lba) ||
        writeOutstandingOver(p.range.lba, UINT64_MAX, read.index))
      continue;
    // This read is not stale there itself: it returned what the block held when it ran (a write
    // sent after it, still out, changes nothing of that).
    const bool staleHere = std::any_of(pending_.begin(), pending_.end(), [&](const Pending& q) {
      return q.command == read.index && q.staleOf != UINT64_MAX && q.range.lba == p.range.lba;
    });
    if (!staleHere) expose(p.id, p.kind, p.record);
  }
}

void FaultExposure::expose(uint64_t id, int kind, int record) {
  std::erase_if(pending_, [&](const Pending& p) { return p.id == id; });
  if (!exposedIds_.insert(id).second) return;
  if (record >= 0 && static_cast<size_t>(record) < records_.size()) records_[static_cast<size_t>(record)].exposed = true;
  ++exposedByKind_[static_cast<size_t>(kind)];
}

}  // namespace varnox::sim
