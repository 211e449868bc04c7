#pragma once
// What each journaled block may legally hold after the host died, and whether what it holds is
// one of those contents. Judged by hashes of the blocks' data.
//
// The rules, per block, over the journaled commands that touched it:
// - A write is durable when it completed with its data on the drive and, on a volatile write
//   cache, a SYNCHRONIZE CACHE recorded after that completion completed too (a sync covers the
//   writes that completed before it was sent; one still in flight then is not covered), with no
//   power loss of the drive in between (the cache lost the write before the sync).
// - A write W is ruled out when a durable write D was sent after W completed (W's completion is
//   recorded before D's intent). Every write not ruled out is legal: the newest durable one and
//   any in flight, failed, lost or not yet covered, since the drive may have kept old or new.
// - The content from before the journal is legal until a durable write covers the block; it is
//   not known, so a block that holds none of the legal writes then is unknown, not wrong.
// - A trim may leave zeros or the old data: it adds zeros and rules nothing out. A zone reset
//   leaves zeros and rules out like a write.
// - An atomic write is all or nothing per atomic unit: a unit where one block holds it and
//   another holds older content (a write that completed before it was sent, or the earlier
//   content) is torn.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "journal/JournalFormat.h"

namespace varnox::journal {

struct JournaledCommand {
  JournalKind kind = JournalKind::Write;
  uint64_t identity = 0;
  uint64_t intentSequence = 0;
  uint64_t completionSequence = 0;  // 0: no completion recorded (in flight when the host died)
  JournalOutcome outcome = JournalOutcome::Lost;
  uint32_t tag = 0;
  uint64_t lba = 0;
  uint32_t blocks = 0;
  uint32_t lbaStride = 1;
  uint32_t atomicUnit = 0;
  std::vector<uint64_t> hashes;
  bool durable = false;

  uint64_t lbaOf(uint32_t k) const { return lba + uint64_t{k} * lbaStride; }
  // The hash block k was written with; zeros for trims and zone resets.
  uint64_t hashOf(uint32_t k, uint64_t zeroHash) const;
};

enum class BlockVerdict { Held, Unknown, Wrong };

struct BlockJudgement {
  BlockVerdict verdict = BlockVerdict::Wrong;
  int matched = -1;            // the command whose content the block holds; -1 none
  bool torn = false;           // Wrong: part of an atomic unit that landed only in part
  int tornWith = -1;           // the atomic write that landed elsewhere in the unit
};

class JournalJudge {
 public:
  // `volatileCache`: completed writes are durable only once a sync covers them. `blockBytes`
  // sizes the zero block whose hash stands for trimmed and reset blocks.
  JournalJudge(const std::vector<JournalRecord>& records, bool volatileCache, uint32_t blockBytes);

  // Every journaled LBA, ascending.
  std::vector<uint64_t> lbas() const;
  // Judges every block from its hash (`held` by LBA, as lbas() lists them), atomic units included.
  std::vector<BlockJudgement> judge(const std::vector<uint64_t>& lbas, const std::vector<uint64_t>& held) const;

  const std::vector<JournaledCommand>& commands() const { return commands_; }
  uint64_t zeroHash() const { return zeroHash_; }
  // The newest durable write of the block (-1 none) and the legal commands, newest first.
  int newestDurable(uint64_t lba) const;
  std::vector<int> legal(uint64_t lba) const;
  // Whether the earlier content (from before the journal) is still legal at the block.
  bool earlierLegal(uint64_t lba) const;
  // Commands whose write of the block was ruled out, newest first.
  std::vector<int> ruledOut(uint64_t lba) const;

 private:
  struct Touch {
    int command;
    uint32_t block;
  };
  uint64_t lastDurableIntent(const std::vector<Touch>& touches) const;
  bool isRuledOut(const JournaledCommand& c, uint64_t lastDurable) const;

  std::vector<JournaledCommand> commands_;
  std::unordered_map<uint64_t, std::vector<Touch>> byLba_;  // in intent order
  uint64_t zeroHash_;
};

}  // namespace varnox::journal
