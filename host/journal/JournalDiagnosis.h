#pragma once
// What a wrong block says about the drive, in the run's diagnosis classes: lost (zeros), stale
// (a write the journal rules out), misdirected (another block's data), torn (an atomic unit
// landed in part), corrupted (its embedded LBA is its own, its data none of the legal ones) or
// unrecognisable. Hashes decide; the block's embedded LBA (bytes 8..15, big-endian, as the data
// agent writes it) is read only for this diagnosis.
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "journal/JournalJudge.h"

namespace varnox::journal {

// Which journaled write, and of which block, carried a hash: for misdirected data.
struct HashOrigin {
  int command = -1;
  uint64_t lba = 0;
};
std::unordered_map<uint64_t, HashOrigin> hashOrigins(const JournalJudge& judge);

// The diagnosis's key=value pairs (DriveThread.h lists the keys): failure, class, lba, text,
// expectedCmdId, foundCmdId, foundLba.
std::map<std::string, std::string> diagnoseBlock(const JournalJudge& judge, uint64_t lba, const uint8_t* block,
                                                 uint32_t blockBytes, uint64_t hash, const BlockJudgement& judgement,
                                                 const std::unordered_map<uint64_t, HashOrigin>& origins);

// "Write of 8 blocks from LBA 0x..., command 12, completed" and the like.
std::string describeCommand(const JournaledCommand& command);

}  // namespace varnox::journal
