// Judging journaled blocks by the rules in JournalJudge.h.
#include "journal/JournalJudge.h"

#include <algorithm>

namespace varnox::journal {

uint64_t JournaledCommand::hashOf(uint32_t k, uint64_t zeroHash) const {
  if (kind == JournalKind::Trim || kind == JournalKind::ZoneReset) return zeroHash;
  if (hashes.empty()) return zeroHash;
  return kind == JournalKind::WriteSame ? hashes[0] : hashes[k];
}

JournalJudge::JournalJudge(const std::vector<JournalRecord>& records, bool volatileCache, uint32_t blockBytes) {
  const std::vector<uint8_t> zeros(blockBytes, 0);
  zeroHash_ = blockHash(zeros.data(), zeros.size());
  std::unordered_map<uint64_t, int> byIdentity;
  for (const JournalRecord& r : records) {
    if (r.type == kIntentRecord) {
      JournaledCommand c;
      c.kind = r.kind;
      c.identity = r.identity;
      c.intentSequence = r.sequence;
      c.tag = r.tag;
      c.lba = r.lba;
      c.blocks = r.blocks;
      c.lbaStride = r.lbaStride == 0 ? 1 : r.lbaStride;
      c.atomicUnit = r.atomicUnit;
      c.hashes = r.hashes;
      byIdentity[r.identity] = static_cast<int>(commands_.size());
      commands_.push_back(std::move(c));
    } else if (const auto found = byIdentity.find(r.identity); found != byIdentity.end()) {
      JournaledCommand& c = commands_[found->second];
      if (c.completionSequence == 0) {
        c.completionSequence = r.sequence;
        c.outcome = r.outcome;
      }
    }
  }
  // A sync cache that completed covers every write whose completion was recorded before it, unless
  // the drive lost power in between: what the cache held then was gone before the sync.
  std::vector<uint64_t> syncs, losses;
  for (const JournaledCommand& c : commands_) {
    if (c.kind == JournalKind::SyncCache && c.completionSequence != 0 && c.outcome == JournalOutcome::Done)
      syncs.push_back(c.intentSequence);
    if (c.kind == JournalKind::PowerLoss) losses.push_back(c.intentSequence);
  }
  auto covered = [&](uint64_t completion) {
    const auto loss = std::upper_bound(losses.begin(), losses.end(), completion);
    const uint64_t before = loss == losses.end() ? UINT64_MAX : *loss;
    const auto sync = std::upper_bound(syncs.begin(), syncs.end(), completion);
    return sync != syncs.end() && *sync < before;
  };
  for (size_t i = 0; i < commands_.size(); ++i) {
    JournaledCommand& c = commands_[i];
    c.durable = c.completionSequence != 0 && c.outcome == JournalOutcome::Done &&
                (!volatileCache || covered(c.completionSequence));
    if (c.kind == JournalKind::SyncCache || c.kind == JournalKind::PowerLoss) continue;
    for (uint32_t k = 0; k < c.blocks; ++k) byLba_[c.lbaOf(k)].push_back(Touch{static_cast<int>(i), k});
  }
}

std::vector<uint64_t> JournalJudge::lbas() const {
  std::vector<uint64_t> all;
  all.reserve(byLba_.size());
  for (const auto& [lba, touches] : byLba_) all.push_back(lba);
  std::sort(all.begin(), all.end());
  return all;
}

uint64_t JournalJudge::lastDurableIntent(const std::vector<Touch>& touches) const {
  uint64_t last = 0;
  for (const Touch& t : touches) {
    const JournaledCommand& c = commands_[t.command];
    // A trim may leave the old data: it never rules anything out.
    if (c.durable && c.kind != JournalKind::Trim) last = std::max(last, c.intentSequence);
  }
  return last;
}

bool JournalJudge::isRuledOut(const JournaledCommand& c, uint64_t lastDurable) const {
  // Completed before a durable write was sent: that write is certainly the later one.
  return c.completionSequence != 0 && c.completionSequence < lastDurable;
}

int JournalJudge::newestDurable(uint64_t lba) const {
  const auto found = byLba_.find(lba);
  if (found == byLba_.end()) return -1;
  int newest = -1;
  for (const Touch& t : found->second) {
    const JournaledCommand& c = commands_[t.command];
    if (c.durable && c.kind != JournalKind::Trim) newest = t.command;
  }
  return newest;
}

std::vector<int> JournalJudge::legal(uint64_t lba) const {
  std::vector<int> out;
  const auto found = byLba_.find(lba);
  if (found == byLba_.end()) return out;
  const uint64_t last = lastDurableIntent(found->second);
  for (auto t = found->second.rbegin(); t != found->second.rend(); ++t)
    if (!isRuledOut(commands_[t->command], last)) out.push_back(t->command);
  return out;
}

std::vector<int> JournalJudge::ruledOut(uint64_t lba) const {
  std::vector<int> out;
  const auto found = byLba_.find(lba);
  if (found == byLba_.end()) return out;
  const uint64_t last = lastDurableIntent(found->second);
  for (auto t = found->second.rbegin(); t != found->second.rend(); ++t)
    if (isRuledOut(commands_[t->command], last)) out.push_back(t->command);
  return out;
}

bool JournalJudge::earlierLegal(uint64_t lba) const {
  const auto found = byLba_.find(lba);
  return found == byLba_.end() || lastDurableIntent(found->second) == 0;
}

std::vector<BlockJudgement> JournalJudge::judge(const std::vector<uint64_t>& lbas,
                                                const std::vector<uint64_t>& held) const {
  std::vector<BlockJudgement> out(lbas.size());
  std::unordered_map<uint64_t, size_t> index;
  index.reserve(lbas.size());
  for (size_t i = 0; i < lbas.size(); ++i) index[lbas[i]] = i;
  for (size_t i = 0; i < lbas.size(); ++i) {
    const auto found = byLba_.find(lbas[i]);
    BlockJudgement& j = out[i];
    if (found == byLba_.end()) {
      j.verdict = BlockVerdict::Unknown;
      continue;
    }
    const uint64_t last = lastDurableIntent(found->second);
    // Newest first: of several legal writes with the same data the newest is the one held.
    for (auto t = found->second.rbegin(); t != found->second.rend(); ++t) {
      const JournaledCommand& c = commands_[t->command];
      if (!isRuledOut(c, last) && c.hashOf(t->block, zeroHash_) == held[i]) {
        j.verdict = BlockVerdict::Held;
        j.matched = t->command;
        break;
      }
    }
    if (j.matched < 0) j.verdict = last == 0 ? BlockVerdict::Unknown : BlockVerdict::Wrong;
  }

  // Atomic units: where one block holds the write, no block of the unit may hold older content.
  for (size_t a = 0; a < commands_.size(); ++a) {
    const JournaledCommand& atomic = commands_[a];
    if (atomic.kind != JournalKind::Atomic || atomic.blocks == 0) continue;
    const uint32_t unit = atomic.atomicUnit == 0 ? atomic.blocks : atomic.atomicUnit;
    for (uint32_t first = 0; first < atomic.blocks; first += unit) {
      const uint32_t end = std::min(atomic.blocks, first + unit);
      bool landed = false;
      for (uint32_t k = first; k < end && !landed; ++k) {
        const auto at = index.find(atomic.lbaOf(k));
        landed = at != index.end() && out[at->second].matched == static_cast<int>(a);
      }
      if (!landed) continue;
      for (uint32_t k = first; k < end; ++k) {
        const auto at = index.find(atomic.lbaOf(k));
        if (at == index.end()) continue;
        BlockJudgement& j = out[at->second];
        if (j.matched == static_cast<int>(a) || j.verdict == BlockVerdict::Wrong) continue;
        // Held by an older write (completed before the atomic write was sent) or the earlier content.
        const bool older = j.matched < 0 || (commands_[j.matched].completionSequence != 0 &&
                                             commands_[j.matched].completionSequence < atomic.intentSequence);
        if (older) {
          j.verdict = BlockVerdict::Wrong;
          j.torn = true;
          j.tornWith = static_cast<int>(a);
        }
      }
    }
  }
  return out;
}

}  // namespace varnox::journal
